// The manager with farm settings, against the "redis" fixture's server: the
// caches they name live on the farm and are shared with another web server
// (a peer FarmCache); every other cache stays in process as before.
#include "tests/common/farm_manager_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace qc::test {
namespace {

using FarmRouting = FarmManagerTest;

TEST_F(FarmRouting, ANamedCacheLivesOnTheFarmAndEveryOtherStaysInProcess) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);

    ASSERT_EQ(m_manager->Add("alice", std::string("caf\xC3\xA9\0!", 7), "FARM"), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "in process", "Local"), S_OK);
    auto peer = Peer("Farm");
    EXPECT_EQ(PeerText(*peer, "alice"), std::string("caf\xC3\xA9\0!", 7));
    EXPECT_EQ(GetText("Farm", "alice"), std::string("caf\xC3\xA9\0!", 7));
    EXPECT_EQ(GetText("Local", "alice"), "in process");
    EXPECT_EQ(Entries("Local"), 1);
    auto localOnFarm = Peer("Local");
    EXPECT_EQ(PeerText(*localOnFarm, "alice"), "<absent>");

    // What the peer writes, this server reads; a replaced text is the newest.
    ASSERT_EQ(peer->Add("bob", "from the peer"), S_OK);
    EXPECT_EQ(GetText("farm", "bob"), "from the peer");
    ASSERT_EQ(m_manager->Add("bob", "replaced", "Farm"), S_OK);
    EXPECT_EQ(PeerText(*peer, "bob"), "replaced");

    // Free removes it for both; absent is E_FAIL, with the text untouched.
    EXPECT_EQ(m_manager->Free("alice", "Farm"), S_OK);
    EXPECT_EQ(PeerText(*peer, "alice"), "<absent>");
    EXPECT_EQ(m_manager->Free("alice", "Farm"), E_FAIL);
    std::string text = "untouched";
    EXPECT_EQ(m_manager->Get("Farm", "alice", &text), E_FAIL);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(m_manager->Get("Farm", "alice", nullptr), E_POINTER);
}

TEST_F(FarmRouting, AFarmCacheThisProcessHasNotCreatedAnswersAsAnUnknownCache) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    auto peer = Peer("Shared");
    ASSERT_EQ(peer->Open(), S_OK);
    ASSERT_EQ(peer->Add("ann", "text"), S_OK);

    ExpectAnUnknownCache("Shared");
    EXPECT_EQ(PeerText(*peer, "ann"), "text");

}

// Initialize holds its lines (the settings' problems, then the farm's state)
// until the process's log writer is in place, and they are written once.
TEST_F(FarmRouting, InitializeHoldsItsLinesUntilTheyAreWrittenOnce) {
    s_readResult = E_INVALIDARG;
    s_notes = {"Server 'redis1:x': the port is not a number"};
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "here", "Farm"), S_OK);
    EXPECT_EQ(Entries("Farm"), 1);
    EXPECT_TRUE(LogLines().empty());
    m_manager->WriteHeldLog();
    m_manager->WriteHeldLog();
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "QuorCache farm: Server 'redis1:x': the port is not a number",
                  "QuorCache farm: its settings cannot be used (0x80070057); every cache stays in this process"}));

    // The state line of every other outcome.
    const std::string server = "QuorCache farm: server " + s_settings.ServerText();
    const std::pair<const char*, std::string> kStates[] = {
        {"farm", server + "; caches on the farm: Farm, shared"},
        {"no caches", server + ", but no cache is kept on it; every cache stays in this process"},
        {"no host", "QuorCache farm: no farm settings; every cache stays in this process"},
    };
    s_readResult = S_OK;
    s_notes.clear();
    for (const auto& [what, line] : kStates) {
        ASSERT_EQ(m_manager->Terminate(), S_OK);
        if (what == std::string("no caches")) s_settings.caches.clear();
        if (what == std::string("no host")) s_settings.host.clear();
        ASSERT_EQ(m_manager->Initialize(), S_OK);
        m_manager->WriteHeldLog();
        EXPECT_EQ(LogLines().back(), line);
    }
    EXPECT_EQ(LogLines().size(), 5u);
}

TEST_F(FarmRouting, TheFirstServersLimitAndLifetimeWinAndTheFlushHoldsThemFarmWide) {
    auto first = Peer("Shared", 3, 7);
    ASSERT_EQ(first->Open(), S_OK);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("SHARED", 50, 1), S_OK);
    EXPECT_EQ(LimitAndLifetime("shared"), (std::vector<LONG>{3, 7}));

    // Two servers' entries, trimmed oldest first by either server's flush.
    for (const char* user : {"u1", "u2"}) ASSERT_EQ(m_manager->Add(user, user, "Shared"), S_OK);
    for (const char* user : {"u3", "u4"}) ASSERT_EQ(first->Add(user, user), S_OK);
    ASSERT_EQ(m_manager->Add("u5", "u5", "Shared"), S_OK);
    ASSERT_EQ(m_manager->FlushCache("Shared"), S_OK);
    unsigned long long count = 0;
    ASSERT_EQ(first->Count(&count), S_OK);
    EXPECT_EQ(count, 3u);
    std::string text;
    EXPECT_EQ(m_manager->Get("Shared", "u2", &text), E_FAIL);
    EXPECT_EQ(GetText("Shared", "u3"), "u3");

    // An expired entry stays readable until a flush: the peer's clock runs
    // past the lifetime, and its flush takes them from this server too.
    EXPECT_EQ(GetText("Shared", "u5"), "u5");
    first->SetClockOffsetMs(8 * 60 * 1000);
    ASSERT_EQ(first->Flush(), S_OK);
    EXPECT_EQ(m_manager->Get("Shared", "u5", &text), E_FAIL);
    ASSERT_EQ(first->Count(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(FarmRouting, DestroyAndTerminateEndThisProcessesUseAndLeaveTheEntries) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("carol", "kept", "Farm"), S_OK);
    ASSERT_EQ(m_manager->DestroyCache("farm"), S_OK);
    EXPECT_EQ(m_manager->Add("carol", "lost", "Farm"), S_FALSE);
    auto peer = Peer("Farm");
    EXPECT_EQ(PeerText(*peer, "carol"), "kept");

    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    EXPECT_EQ(GetText("Farm", "carol"), "kept");
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(PeerText(*peer, "carol"), "kept");
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    EXPECT_EQ(GetText("Farm", "carol"), "kept");
}

// What ICOMCache2 asks of a farm cache is the farm's answer: the peer's
// entries count, Clear empties the cache for both, and only the hits and
// misses are this process's own.
TEST_F(FarmRouting, InspectionOfAFarmCacheAnswersForTheWholeFarm) {
    auto first = Peer("Shared", 4, 9);
    ASSERT_EQ(first->Open(), S_OK);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("SHARED", 50, 1), S_OK);
    ASSERT_EQ(first->Add("peer", "from the peer"), S_OK);
    ASSERT_EQ(m_manager->Add("mine", "from here", "Shared"), S_OK);
    std::string text;
    ASSERT_EQ(m_manager->Get("Shared", "mine", &text), S_OK);
    ASSERT_EQ(m_manager->Get("Shared", "absent", &text), E_FAIL);
    ASSERT_EQ(first->Get("peer", &text), S_OK);  // the peer's hit is not this process's

    bool exists = false;
    EXPECT_EQ(m_manager->Exists("shared", "peer", &exists), S_OK);
    EXPECT_TRUE(exists);
    EXPECT_EQ(m_manager->Exists("shared", "absent", &exists), S_OK);
    EXPECT_FALSE(exists);
    CCacheManager::CacheStatistics figures;
    ASSERT_EQ(m_manager->GetCacheStatistics("shared", &figures), S_OK);
    EXPECT_EQ(figures.name, "SHARED");
    EXPECT_EQ(figures.maxEntries, 4u);
    EXPECT_EQ(figures.lifetimeMinutes, 9);
    EXPECT_EQ(figures.entries, 2);
    EXPECT_EQ(figures.peakEntries, 2);
    EXPECT_EQ(figures.size, 80);
    EXPECT_EQ(figures.hits, 1);  // Exists counted neither way
    EXPECT_EQ(figures.misses, 1);

    std::vector<std::string> names;
    std::vector<std::string> farmNames;
    ASSERT_EQ(m_manager->CacheNames(&names, &farmNames), S_OK);
    EXPECT_EQ(names, std::vector<std::string>{"Local"});
    EXPECT_EQ(farmNames, std::vector<std::string>{"SHARED"});

    EXPECT_EQ(m_manager->Clear("Shared"), S_OK);
    EXPECT_EQ(PeerText(*first, "peer"), "<absent>");
    ASSERT_EQ(m_manager->GetCacheStatistics("Shared", &figures), S_OK);
    EXPECT_EQ(figures.entries, 0);
    EXPECT_EQ(figures.peakEntries, 2);
    EXPECT_EQ(figures.maxEntries, 4u);
}

// Calls on farm caches run outside the manager lock while other threads
// create, destroy and use caches of both kinds (run under ThreadSanitizer).
TEST_F(FarmRouting, ThreadsShareFarmAndLocalCachesWhileTheyComeAndGo) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Local", 100, 5), S_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string user = "user" + std::to_string(t);
            while (!stop.load()) {
                for (const char* cache : {"Farm", "Local"}) {
                    const HRESULT added = m_manager->Add(user, user, cache);
                    std::string text;
                    const HRESULT got = m_manager->Get(cache, user, &text);
                    if (FAILED(added) || (FAILED(got) && got != E_FAIL) || (got == S_OK && text != user)) ++wrong;
                }
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(m_manager->CreateCache("Farm", 100, 5), S_OK);
        ASSERT_EQ(m_manager->FlushCache("Farm"), S_OK);
        ASSERT_EQ(m_manager->DestroyCache("Farm"), S_OK);
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qc::test
