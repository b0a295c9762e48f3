// The manager's farm caches when their server goes away, stops answering or
// refuses the password (natively: a private server of the test's own, which
// it stops, pauses and restarts). Farm calls fail clearly within the
// time-out, the log tells of each outage once, the cache recovers by itself,
// and in-process caches never wait, not even for a Terminate.
#include "platform/tls.h"
#include "tests/common/fake_resp_server.h"
#include "tests/common/farm_manager_fixture.h"
#include "tests/common/private_redis_server.h"

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace qc::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
constexpr DWORD kTimeoutMs = 400;

class FarmOutageRouting : public FarmManagerTest {
protected:
    void SetUp() override {
        FarmManagerTest::SetUp();
        s_settings.timeoutMs = kTimeoutMs;
    }
    unsigned short DefaultPort() override { return m_server.Port(); }

    // The call's result, checked to come within the time-out (and a margin
    // for a loaded machine: what matters is that it never hangs).
    template <class Call>
    static HRESULT Bounded(Call&& call) {
        const auto start = steady_clock::now();
        const HRESULT hr = call();
        EXPECT_LT(steady_clock::now() - start, milliseconds(3 * kTimeoutMs));
        return hr;
    }
    static int LinesWith(const std::string& part) {
        int count = 0;
        for (const std::string& line : LogLines()) count += line.find(part) != std::string::npos;
        return count;
    }

    qc::farm::PrivateRedisServer m_server;
};

TEST_F(FarmOutageRouting, AStoppedServerFailsFarmCallsOnceLoggedWhileLocalCachesWorkAndTheCacheRecovers) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "before", "Farm"), S_OK);

    m_server.Stop();
    for (int call = 0; call < 3; ++call) {
        std::string text = "untouched";
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Add("alice", "during", "Farm"); })));
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Get("Farm", "alice", &text); })));
        EXPECT_EQ(text, "untouched");
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Free("alice", "Farm"); })));
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->FlushCache("Farm"); })));
        bool exists = true;
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Exists("Farm", "alice", &exists); })));
        EXPECT_FALSE(exists);
        CCacheManager::CacheStatistics figures;
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->GetCacheStatistics("Farm", &figures); })));
        EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Clear("Farm"); })));
    }
    ASSERT_EQ(m_manager->Add("bob", "local", "Local"), S_OK);
    EXPECT_EQ(GetText("Local", "bob"), "local");
    EXPECT_EQ(LinesWith(" fail (0x"), 1) << ::testing::PrintToString(LogLines());

    m_server.Restart();  // empty: it keeps nothing
    qc::farm::UntilSucceeds(std::chrono::seconds(5), [&] { return m_manager->Add("alice", "after", "Farm"); });
    EXPECT_EQ(GetText("Farm", "alice"), "after");
    EXPECT_EQ(LinesWith("answers again"), 0);  // not before it has stayed up
    std::string text;
    qc::farm::SucceedsUntilCountedBack([&] { return m_manager->Get("Farm", "alice", &text); });
    EXPECT_EQ(LinesWith("answers again"), 1);
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(FarmOutageRouting, ACacheCreatedDuringAnOutageIsRegisteredAndTakesTheFarmsSettingsOnceItAnswers) {
    m_server.Stop();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(Bounded([&] { return m_manager->CreateCache("Shared", 50, 1); }), qc::platform::kSocketRefused);

    m_server.Restart();
    auto first = Peer("Shared", 3, 7);  // another server reaches the farm first
    ASSERT_EQ(first->Open(), S_OK);
    // As the next flush does, once the breaker lets a call through.
    qc::farm::UntilSucceeds(std::chrono::seconds(5), [&] { return m_manager->FlushCache("Shared"); });
    EXPECT_EQ(LimitAndLifetime("Shared"), (std::vector<LONG>{3, 7}));
    EXPECT_EQ(m_manager->CreateCache("Shared", 50, 1), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "text", "Shared"), S_OK);
    EXPECT_EQ(PeerText(*first, "ann"), "text");
}

// With NearCache, a paused server's copies are still served (it can change
// nothing), but the first failed call opens the breaker and drops them all:
// nothing near is served until the farm answers again, and then not what an
// emptied server no longer holds.
TEST_F(FarmOutageRouting, WithNearCacheAnOutageDropsEveryCopyUntilTheFarmAnswersAgain) {
    s_settings.nearCache = true;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "before", "Farm"), S_OK);
    auto observer = qc::farm::MakePool(s_settings.Endpoint());
    ASSERT_TRUE(ServedNear(*observer, "Farm", "alice", "before"));

    m_server.Pause();
    std::string text;
    EXPECT_EQ(Bounded([&] { return m_manager->Get("Farm", "alice", &text); }), S_OK);
    EXPECT_EQ(text, "before");
    EXPECT_EQ(Bounded([&] { return m_manager->Add("bob", "paused", "Farm"); }), qc::platform::kSocketTimedOut);
    text = "untouched";
    EXPECT_TRUE(FAILED(Bounded([&] { return m_manager->Get("Farm", "alice", &text); })));
    EXPECT_EQ(text, "untouched");

    m_server.Resume();
    m_server.Stop();
    m_server.Restart();  // empty
    qc::farm::UntilSucceeds(std::chrono::seconds(5), [&] { return m_manager->Add("carol", "after", "Farm"); });
    EXPECT_EQ(m_manager->Get("Farm", "alice", &text), E_FAIL);
    ASSERT_EQ(m_manager->Add("alice", "after", "Farm"), S_OK);
    EXPECT_TRUE(ServedNear(*observer, "Farm", "alice", "after"));
}

// A server that stops answering holds its farm call for the time-out, and
// only that call: the manager lock is free, so an in-process cache answers
// meanwhile.
TEST_F(FarmOutageRouting, AFarmCallWaitingForItsServerHoldsUpNoInProcessCache) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    auto pauser = qc::farm::MakePool(s_settings.Endpoint());
    qc::farm::Command(*pauser, {"CLIENT", "PAUSE", std::to_string(4 * kTimeoutMs), "ALL"});

    std::promise<void> started;
    auto farmCall = std::async(std::launch::async, [&] {
        started.set_value();
        return Bounded([&] { return m_manager->Add("alice", "paused", "Farm"); });
    });
    started.get_future().wait();
    std::this_thread::sleep_for(milliseconds(kTimeoutMs / 4));
    ASSERT_EQ(m_manager->Add("bob", "local", "Local"), S_OK);
    EXPECT_EQ(GetText("Local", "bob"), "local");
    EXPECT_EQ(farmCall.wait_for(milliseconds(0)), std::future_status::timeout) << "the farm call ended early";
    EXPECT_EQ(farmCall.get(), qc::platform::kSocketTimedOut);
}

// Terminate while the flush thread's pass waits for a paused server: the
// pass ends after the step under way, Terminate waits for it after leaving
// the manager lock (another thread's calls answer meanwhile), and returns
// within the shutdown bound, where a pass that went on to its second cache
// would not. The next Initialize works.
TEST_F(FarmOutageRouting, TerminateDuringAFlushPassWaitingForAPausedServerHoldsUpNoOtherCall) {
    constexpr DWORD kPausedTimeoutMs = 6000;  // each flush step's wait
    s_settings.timeoutMs = kPausedTimeoutMs;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Shared", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("bob", "local", "Local"), S_OK);

    m_server.Pause();
    // The flush thread's next pass (one comes every 5 s) sends its first step.
    const auto paused = steady_clock::now();
    while (!m_server.HasUnreadRequest()) {
        ASSERT_LT(steady_clock::now() - paused, std::chrono::seconds(20)) << "no flush pass reached the server";
        std::this_thread::sleep_for(milliseconds(10));
    }
    const auto start = steady_clock::now();
    auto terminated = std::async(std::launch::async, [&] { return m_manager->Terminate(); });
    // Once Terminate has left the lock every cache is unknown.
    std::string text;
    while (m_manager->Get("Local", "bob", &text) == S_OK) std::this_thread::yield();
    EXPECT_EQ(m_manager->Add("bob", "again", "Local"), S_FALSE);
    EXPECT_EQ(terminated.wait_for(milliseconds(0)), std::future_status::timeout)
        << "the calls above waited for Terminate";
    EXPECT_TRUE(m_manager->IsStarted()) << "the flush thread is still ending";
    EXPECT_EQ(terminated.get(), S_OK);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));  // the shutdown bound
    EXPECT_FALSE(m_manager->IsStarted());

    m_server.Resume();
    s_settings.timeoutMs = kTimeoutMs;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "after", "Farm"), S_OK);
    EXPECT_EQ(GetText("Farm", "alice"), "after");
}

TEST_F(FarmOutageRouting, AWrongPasswordIsAccessDenied) {
    qc::farm::PrivateRedisServer guarded("--requirepass secret");
    s_settings.port = guarded.Port();
    s_settings.password = "wrong";
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kAccessDenied);
    EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), qc::redis::kAccessDenied);
    EXPECT_EQ(LinesWith(" fail (0x80070005)"), 1) << ::testing::PrintToString(LogLines());

    ASSERT_EQ(m_manager->Terminate(), S_OK);
    s_settings.password = "secret";
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), S_OK);
}

// A certificate the client refuses fails the farm's calls with its reason,
// logged once in words, and is not an outage that a fallback would cover.
TEST_F(FarmOutageRouting, ARefusedCertificateFailsFarmCallsWithItsReasonAndNoFallback) {
    const std::string certs = qc::farm::PrivateRedisServer::MakeCertificates();
    qc::farm::PrivateRedisServer secured({}, "--tls " + certs + "other.crt " + certs + "server.key");
    s_settings.port = secured.Port();
    s_settings.tls = true;
    s_settings.caCertificate = certs + "ca.crt";
    s_settings.fallback = qc::farm::FarmSettings::Fallback::Local;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::platform::kCertNameMismatch);
    EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), qc::platform::kCertNameMismatch);
    const std::string line = "QuorCache farm: TLS with 127.0.0.1:" + std::to_string(secured.Port()) +
                             " is refused: its certificate names another server (0x800B010F); farm caches fail";
    EXPECT_EQ(LinesWith(line), 1) << ::testing::PrintToString(LogLines());
    EXPECT_EQ(LinesWith("served from this process"), 0);
}

// The server's own text of an error reply reaches the log, once per kind a
// minute.
TEST_F(FarmOutageRouting, ErrorRepliesAreLoggedWithTheServersTextOncePerKind) {
    qc::farm::FakeRespServer fake;
    s_settings.port = fake.Port();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    fake.Queue({"-BUSY Redis is busy running a script\r\n"});
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kServerError);
    for (int call = 0; call < 2; ++call) {
        fake.Queue({"-ERR Error running script: @user_script:2: odd\tthing\r\n"});
        EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), qc::redis::kServerError);
    }
    const std::string server = "QuorCache farm: 127.0.0.1:" + std::to_string(fake.Port());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              server + " answered an error: 'BUSY Redis is busy running a script'",
                              server + " answered an error: 'ERR Error running script: @user_script:2: odd?thing'"}));
}

}  // namespace
}  // namespace qc::test
