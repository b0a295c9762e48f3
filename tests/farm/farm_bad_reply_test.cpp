// Replies no real server sends, from a fake one: each fails the call with
// why, closes that connection only, and the next call is served afresh (once
// the breaker lets one through, for a failure that puts the server out).
#include "tests/common/fake_resp_server.h"
#include "tests/common/farm_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qc::farm {
namespace {

std::string Repeated(const std::string& part, int times) {
    std::string whole;
    while (times-- > 0) whole += part;
    return whole;
}

TEST(FarmBadReply, FailsTheCallClosesTheConnectionAndTheNextCallIsServed) {
    struct Case {
        const char* what;
        FakeRespServer::Answer answer;
        HRESULT result;
    };
    const Case kCases[] = {
        {"CR without LF", {"+OK\r\r\n"}, redis::kMalformedReply},
        {"unknown type", {"%2\r\n"}, redis::kMalformedReply},
        {"bytes nobody asked for", {"+OK\r\n+MORE\r\n"}, redis::kMalformedReply},
        {"an endless line", {"+" + std::string(9000, 'x')}, redis::kTooLarge},
        {"a bulk beyond the cap", {"$99999999999\r\n"}, redis::kTooLarge},
        {"arrays too deep", {Repeated("*1\r\n", 20) + ":1\r\n"}, redis::kTooLarge},
        {"cut short, then closed", {"$5\r\nab", true}, platform::kSocketReset},
        {"no answer at all", {"", false, true}, platform::kSocketTimedOut},
    };
    FakeRespServer server;
    redis::RespEndpoint endpoint;
    endpoint.port = server.Port();
    endpoint.timeoutMs = 200;
    auto pool = MakePool(endpoint);
    const std::string ping = redis::RespCommand("PING").Encoded();
    for (const Case& sample : kCases) {
        SCOPED_TRACE(sample.what);
        server.Queue(sample.answer);
        server.Queue({"+PONG\r\n"});
        redis::RespReply reply;
        EXPECT_EQ(pool->Execute(ping, &reply), sample.result);
        EXPECT_EQ(pool->IdleCount(), 0u);
        // A server that failed so is out for the breaker's first window.
        if (redis::IsConnectionFailure(sample.result))
            std::this_thread::sleep_for(redis::ServerBreaker::kFirstWindow + std::chrono::milliseconds(50));
        ASSERT_EQ(pool->Execute(ping, &reply), S_OK);
        EXPECT_EQ(reply.text, "PONG");
        EXPECT_EQ(pool->IdleCount(), 1u);
    }
}

}  // namespace
}  // namespace qc::farm
