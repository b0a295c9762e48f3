// The manager's fixture with farm settings the test chooses: the caches
// "Farm" and "Shared" on the "redis" fixture's server (or another), under a
// key prefix of the test's own, and the farm's log lines kept for checking.
// A peer FarmCache plays another web server of the site.
#pragma once

#include "farm/farm_cache.h"
#include "tests/farm/farm_test_support.h"
#include "tests/manager/manager_test_fixture.h"

#include <mutex>
#include <string>
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
