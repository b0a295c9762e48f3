// Fallback Local against a private server that the test stops and starts:
// while the farm is out its caches are served in process, quickly, with one
// log line; once the server answers, calls go back to it, the entries made
// meanwhile are gone, and one line says so, however many threads call
// across the change.
#include "tests/common/farm_manager_fixture.h"
#include "tests/common/private_redis_server.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace qc::test {
namespace {

using std::chrono::steady_clock;
constexpr auto kBackWithin = std::chrono::seconds(10);  // after the server answers

class FarmFallback : public FarmManagerTest {
protected:
    void SetUp() override {
        FarmManagerTest::SetUp();
        s_settings.timeoutMs = 400;
        s_settings.fallback = qc::farm::FarmSettings::Fallback::Local;
    }
    unsigned short DefaultPort() override { return m_server.Port(); }

    static int LinesWith(const std::string& part) {
        int count = 0;
        for (const std::string& line : LogLines()) count += line.find(part) != std::string::npos;
        return count;
    }
    static constexpr const char* kBegun = "cannot be reached (0x";
    static constexpr const char* kEnded = "answers: farm caches are served from it again";

    qc::farm::PrivateRedisServer m_server;
};

TEST_F(FarmFallback, AFarmDownFromTheStartIsServedInProcessUntilItAnswersThenItsEntriesAreDropped) {
    m_server.Stop();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    const auto start = steady_clock::now();
    for (int user = 0; user < 20; ++user)
        ASSERT_EQ(m_manager->Add("u" + std::to_string(user), "t" + std::to_string(user), "FARM"), S_OK);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1)) << "20 Adds";

    // Every call answers as an in-process cache of the farm cache's limit
    // and lifetime would.
    EXPECT_EQ(GetText("Farm", "u19"), "t19");
    EXPECT_EQ(m_manager->Free("u19", "Farm"), S_OK);
    EXPECT_EQ(m_manager->Free("u19", "Farm"), E_FAIL);
    ASSERT_EQ(m_manager->FlushCache("Farm"), S_OK);
    EXPECT_EQ(Entries("Farm"), 10);
    EXPECT_TRUE(Exists("Farm", "u18"));
    EXPECT_EQ(LimitAndLifetime("Farm"), (std::vector<LONG>{10, 5}));
    MoveClock(6 * kMinute);
    ASSERT_EQ(m_manager->FlushCache("Farm"), S_OK);
    EXPECT_EQ(Entries("Farm"), 0);
    ASSERT_EQ(m_manager->Add("kept", "meanwhile", "Farm"), S_OK);
    ASSERT_EQ(m_manager->Add("cleared", "meanwhile", "Farm"), S_OK);
    EXPECT_EQ(m_manager->Clear("Farm"), S_OK);
    EXPECT_FALSE(Exists("Farm", "cleared"));
    ASSERT_EQ(m_manager->Add("kept", "meanwhile", "Farm"), S_OK);
    std::vector<std::string> names, farmNames;
    ASSERT_EQ(m_manager->CacheNames(&names, &farmNames), S_OK);
    EXPECT_EQ(names, std::vector<std::string>{"Local"});
    EXPECT_EQ(farmNames, std::vector<std::string>{"Farm"});
    EXPECT_EQ(LinesWith(kBegun), 1) << ::testing::PrintToString(LogLines());
    EXPECT_EQ(LinesWith(kEnded), 0);

    m_server.Restart();
    auto peer = Peer("Farm");
    const auto restarted = steady_clock::now();
    while (PeerText(*peer, "alice") != "on the farm") {
        ASSERT_LT(steady_clock::now() - restarted, kBackWithin) << "no Add reached the farm";
        ASSERT_EQ(m_manager->Add("alice", "on the farm", "Farm"), S_OK);
    }
    std::string text = "untouched";
    EXPECT_EQ(m_manager->Get("Farm", "kept", &text), E_FAIL) << "an entry of the outage came back: " << text;
    EXPECT_EQ(Entries("Farm"), 1);
    EXPECT_EQ(LinesWith(kEnded), 1) << ::testing::PrintToString(LogLines());
    // "kept", and the Adds of alice that came while the breaker still held
    // the server out.
    EXPECT_EQ(LinesWith("the entries this process kept meanwhile ("), 1);
    EXPECT_EQ(LinesWith(kBegun), 1);

    // DestroyCache takes the twin with the farm cache, so that a later
    // outage starts from an empty one.
    m_server.Stop();
    ASSERT_EQ(m_manager->Add("bob", "second outage", "Farm"), S_OK);
    EXPECT_EQ(LinesWith(kBegun), 2);
    ASSERT_EQ(m_manager->DestroyCache("Farm"), S_OK);
    ExpectAnUnknownCache("Farm");
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    EXPECT_FALSE(Exists("Farm", "bob"));
}

// Threads call across the outage's end: every Add succeeds, served in
// process or by the farm, and the log has one line for each change.
TEST_F(FarmFallback, CallsOfManyThreadsAcrossTheFarmsReturnBeginAndEndTheFallbackOnce) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 1000, 5), S_OK);
    m_server.Stop();

    std::atomic<bool> restarted{false};
    std::vector<std::future<int>> callers;
    for (int thread = 0; thread < 4; ++thread) {
        callers.push_back(std::async(std::launch::async, [&, thread] {
            int failures = 0;
            std::string text;
            const std::string user = "user" + std::to_string(thread);
            // Until some time after the restart, when the farm serves again.
            for (int call = 0; !restarted.load() || call % 200 != 0; ++call) {
                failures += m_manager->Add(user, std::to_string(call), "Farm") != S_OK;
                // Absent when the fallback that kept it has ended since.
                const HRESULT read = m_manager->Get("Farm", user, &text);
                failures += read != S_OK && read != E_FAIL;
            }
            return failures;
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_server.Restart();
    const auto restartedAt = steady_clock::now();
    restarted.store(true);
    for (auto& caller : callers) EXPECT_EQ(caller.get(), 0);
    auto peer = Peer("Farm");
    while (PeerText(*peer, "last") != "on the farm") {
        ASSERT_LT(steady_clock::now() - restartedAt, kBackWithin) << "no Add reached the farm";
        ASSERT_EQ(m_manager->Add("last", "on the farm", "Farm"), S_OK);
    }
    EXPECT_EQ(LinesWith(kBegun), 1) << ::testing::PrintToString(LogLines());
    EXPECT_EQ(LinesWith(kEnded), 1);
}

}  // namespace
}  // namespace qc::test
