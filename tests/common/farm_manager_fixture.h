// The manager's fixture with farm settings the test chooses: the caches
// "Farm" and "Shared" on the "redis" fixture's server (or another), under a
// key prefix of the test's own, and the farm's log lines kept for checking.
// A peer FarmCache plays another web server of the site.
#pragma once

#include "farm/farm_cache.h"
#include "tests/common/farm_test_support.h"
#include "tests/common/manager_test_fixture.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qc::test {

class FarmManagerTest : public CacheManagerTest {
protected:
    void SetUp() override {
        s_settings = qc::farm::FarmSettings();
        s_settings.host = "127.0.0.1";
        s_settings.port = DefaultPort();
        s_settings.caches = {"Farm", "shared"};
        s_settings.prefix = qc::farm::UniquePrefix();
        s_readResult = S_OK;
        s_notes.clear();
        {
            std::lock_guard<std::mutex> lock(s_logLock);
            s_log.clear();
        }
        GetCacheManager()->SetFarmEnvironment(FarmEnvironment{&ReadSettings, &Log});
        CacheManagerTest::SetUp();
    }
    void TearDown() override {
        CacheManagerTest::TearDown();
        m_manager->SetFarmEnvironment(SystemFarmEnvironment());
    }

    // The "redis" fixture's server, when the program runs under it.
    virtual unsigned short DefaultPort() { return qc::farm::TestEndpoint().port; }

    // Another web server of the site: its own pool, the same prefix.
    std::unique_ptr<qc::farm::FarmCache> Peer(const std::string& name, ULONG limit = 10, LONG lifetime = 5) {
        qc::redis::RespEndpoint endpoint = s_settings.Endpoint();
        return std::make_unique<qc::farm::FarmCache>(qc::farm::MakePool(endpoint), s_settings.prefix, name, limit,
                                                     lifetime);
    }
    static std::string PeerText(qc::farm::FarmCache& peer, const std::string& user) {
        std::string text;
        return SUCCEEDED(peer.Get(user, &text)) ? text : "<absent>";
    }
    // The GETs the server has run, as `observer` (a user that may run INFO) sees.
    static long FarmGets(qc::redis::RespConnectionPool& observer) {
        const std::string stats = qc::farm::Command(observer, {"INFO", "commandstats"}).text;
        const std::string field = "cmdstat_get:calls=";
        const auto at = stats.find(field);
        return at == std::string::npos ? 0 : std::stol(stats.substr(at + field.size()));
    }
    // Whether, within `limit`, a Get gives `expected` with no GET reaching
    // the server: served near. A copy is kept once the channel is live and
    // this process's own writes have come back from it.
    bool ServedNear(qc::redis::RespConnectionPool& observer, const std::string& cache, const std::string& user,
                    const std::string& expected, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            const long before = FarmGets(observer);
            if (GetText(cache, user) == expected && FarmGets(observer) == before) return true;
            if (std::chrono::steady_clock::now() - start > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    static std::vector<std::string> LogLines() {
        std::lock_guard<std::mutex> lock(s_logLock);
        return s_log;
    }

    static inline qc::farm::FarmSettings s_settings;
    static inline HRESULT s_readResult = S_OK;  // what reading the settings gives
    static inline std::vector<std::string> s_notes;  // and the lines it has for the log

private:
    static HRESULT ReadSettings(qc::farm::FarmSettings* settings, std::vector<std::string>* notes) {
        *settings = s_settings;
        *notes = s_notes;
        return s_readResult;
    }
    static void Log(const char* line) {
        std::lock_guard<std::mutex> lock(s_logLock);
        s_log.emplace_back(line);
    }
    static inline std::mutex s_logLock;
    static inline std::vector<std::string> s_log;
};

}  // namespace qc::test
