// What the tool's commands share (farm_tool.h): the settings read for a
// command that needs a farm, the pool it reaches the server through, and
// how a failure is told.
#pragma once

#include "farm/farm_server_pool.h"
#include "farm_tool/farm_tool.h"
#include "redis/resp_connection_pool.h"
#include "redis/sentinel_locator.h"

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace qc::farm {

// Reads the settings, tells their notes on `err`, and is true when they set
// up a farm that can be used; else it has said why.
bool ReadFarm(FarmToolSystem& system, std::ostream& err, FarmSettings* settings);

// The server's side of one command: the pool, and what the pool told of the
// server meanwhile (the tool has no log, so that it can say it at the end).
class FarmConnection final : redis::IOutageObserver, redis::IPrimaryObserver {
public:
    explicit FarmConnection(const FarmSettings& settings) : m_settings(settings) {}
    HRESULT Create();
    // Where the first questions go: the primary the sentinels name, or the
    // Server (with Servers, the first of them).
    const std::shared_ptr<redis::RespConnectionPool>& Pool() const { return m_pool; }
    // Every server as the DLL reaches them, a cluster's nodes included.
    const FarmServers& Servers() const { return m_servers; }

    // The server calls went to: the primary the sentinels named, when they did.
    std::string Address() const;
    // "failed: ADDRESS: 0xHRESULT: the reason in words", and "; it said
    // '...'" with the server's own text when it answered an error.
    void TellFailure(HRESULT why, std::ostream& err) const;

private:
    void OnOutage(HRESULT) override {}
    void OnRecovered() override {}
    void OnErrorReply(std::string_view text) override { m_errorReply.assign(text.data(), text.size()); }
    void OnPrimary(const redis::RespAddress& primary) override { m_primary = primary.Text(); }

    const FarmSettings& m_settings;
    std::string m_errorReply;
    std::string m_primary;
    // Last: they call the observers.
    FarmServers m_servers;
    std::shared_ptr<redis::RespConnectionPool> m_pool;  // one of m_servers'
};

// "0x8007274D"
std::string HexOf(HRESULT hr);

int Check(FarmToolSystem& system, std::ostream& out, std::ostream& err);

}  // namespace qc::farm
