// What the farm's tests share: names meant to break key building, the hash
// tag Redis would slot a key by, and the test server of the "redis" fixture.
#pragma once

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_connection_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qc::farm {

inline std::vector<std::string> HostileNames() {
    return {"",          "a",       "A",          "{",         "}",           "{}",      "}{",     ":",
            "a:b",       "a}:s",    "%7B",        "%",         "'\"",         "\\",      "*",      "?[x]",
            "e:",        "s",       ":e:x",       std::string("n\0ul", 4),    std::string(1, '\0'),
            "\r\n",      "\xC3\xA9", "\xFF\xFE",  std::string(3000, 'L'),     "Inbox}:e:alice"};
}

// The hostile names that are distinct cache names ("a" and "A" are one).
inline std::vector<std::string> DistinctCacheNames() {
    std::vector<std::string> names = HostileNames();
    names.erase(std::find(names.begin(), names.end(), "A"));
    return names;
}

// The part of a key that picks its cluster slot: between the first '{' and
// the first '}' after it, when that is not empty; else the whole key.
inline std::string HashTagOf(const std::string& key) {
    const std::size_t open = key.find('{');
    if (open == std::string::npos) return key;
    const std::size_t close = key.find('}', open + 1);
    if (close == std::string::npos || close == open + 1) return key;
    return key.substr(open + 1, close - open - 1);
}

// The fixture's server; tests that need it are skipped-as-failed without it.
inline redis::RespEndpoint TestEndpoint() {
    redis::RespEndpoint endpoint;
    const char* port = std::getenv("QC_REDIS_PORT");
    EXPECT_NE(port, nullptr) << "QC_REDIS_PORT is not set: run under the redis fixture";
    endpoint.port = static_cast<unsigned short>(port ? std::atoi(port) : 0);
    return endpoint;
}

// A key prefix no other test, program or run uses, so tests share one server.
inline std::string UniquePrefix() {
    std::random_device random;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return "qctest:" + std::to_string(random()) + std::to_string(random()) + ":" + test->name() + ":";
}

inline std::shared_ptr<redis::RespConnectionPool> MakePool(const redis::RespEndpoint& endpoint,
                                                    redis::IOutageObserver* observer = nullptr) {
    std::shared_ptr<redis::RespConnectionPool> pool;
    EXPECT_EQ(redis::RespConnectionPool::Create(endpoint, observer, redis::RespConnectionPool::kDefaultMaxIdle, &pool), S_OK);
    return pool;
}

// One command that must be answered; the reply, error replies included.
inline redis::RespReply Command(redis::RespConnectionPool& pool, std::initializer_list<std::string_view> words) {
    redis::RespCommand command;
    for (const std::string_view word : words) command.Add(word);
    redis::RespReply reply;
    EXPECT_EQ(pool.Execute(command.Encoded(), &reply), S_OK);
    return reply;
}

// Calls `call` every 50 ms until it gives S_OK or `limit` has passed; how
// long that took (a server that is back is let through by its breaker soon).
template <class Call>
std::chrono::steady_clock::duration UntilSucceeds(std::chrono::steady_clock::duration limit, Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    while (FAILED(call()) && std::chrono::steady_clock::now() - start < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return std::chrono::steady_clock::now() - start;
}

// Calls `call`, which must succeed, every 100 ms for a little longer than a
// server must stay up to count as back.
template <class Call>
void SucceedsUntilCountedBack(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < redis::ServerBreaker::kSteadyTime + std::chrono::milliseconds(200)) {
        ASSERT_EQ(call(), S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(call(), S_OK);
}

}  // namespace qc::farm
