// A farm cache over TLS against a real TLS-only server, with certificates
// made for each test: it works and keeps its connections, and every
// certificate the client must refuse fails the connection with the code that
// says why, never falling back to clear text.
#include "farm/farm_cache.h"
#include "tests/common/fake_resp_server.h"
#include "tests/common/farm_test_support.h"
#include "tests/common/private_redis_server.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::farm {
namespace {

class RecordingObserver : public redis::IOutageObserver {
public:
    void OnOutage(HRESULT why) override { events += "outage:" + std::to_string(why) + " "; }
    void OnRecovered() override { events += "recovered "; }
    std::string events;
};

// A TLS-only server showing `certificate` (a name of the script's).
std::string Showing(const std::string& certs, const std::string& certificate) {
    return "--tls " + certs + certificate + ".crt " + certs + "server.key";
}

redis::RespEndpoint TlsEndpoint(const PrivateRedisServer& server, const std::string& caFile,
                                std::string serverName = {}) {
    redis::RespEndpoint endpoint;
    endpoint.port = server.Port();
    endpoint.timeoutMs = 2000;
    endpoint.tls = true;
    endpoint.caCertificate = caFile;
    endpoint.tlsServerName = std::move(serverName);
    return endpoint;
}

unsigned long long ConnectionsReceived(redis::RespConnectionPool& pool) {
    const std::string info = Command(pool, {"INFO", "stats"}).text;
    const std::string field = "total_connections_received:";
    return std::stoull(info.substr(info.find(field) + field.size()));
}

TEST(FarmTls, AFarmCacheWorksOverTlsAndKeepsItsConnections) {
    const std::string certs = PrivateRedisServer::MakeCertificates();
    PrivateRedisServer server({}, Showing(certs, "localhost"));
    // By address (the certificate names 127.0.0.1 too), by a name given
    // apart from the address, with the CA in PEM and in DER.
    for (const auto& [caFile, serverName] : {std::pair<std::string, std::string>{certs + "ca.crt", ""},
                                             {certs + "ca.der", "localhost"}}) {
        SCOPED_TRACE(caFile);
        auto pool = MakePool(TlsEndpoint(server, caFile, serverName));
        FarmCache cache(pool, UniquePrefix(), "Inbox", 100, 20);
        ASSERT_EQ(cache.Open(), S_OK);
        const unsigned long long before = ConnectionsReceived(*pool);
        // Texts over one TLS record, and many calls: all on the one resting
        // connection, whatever the server sent the session after its handshake.
        const std::string large(200 * 1024, 'x');
        std::string text;
        for (int call = 0; call < 20; ++call) {
            ASSERT_EQ(cache.Add("alice", large + std::to_string(call)), S_OK);
            ASSERT_EQ(cache.Get("alice", &text), S_OK);
            ASSERT_EQ(text, large + std::to_string(call));
        }
        EXPECT_EQ(ConnectionsReceived(*pool), before);
    }
}

TEST(FarmTls, ACertificateTheClientMustRefuseFailsWithItsReasonAndIsNoOutageToProbe) {
    const std::string certs = PrivateRedisServer::MakeCertificates();
    struct Case {
        const char* shown;
        std::string caFile;
        const char* serverName;
        HRESULT result;
    };
    const Case kCases[] = {
        {"untrusted", certs + "ca.crt", "", platform::kCertUntrustedRoot},
        {"localhost", "", "", platform::kCertUntrustedRoot},  // the machine's roots alone do not know the test CA
        {"other", certs + "ca.crt", "", platform::kCertNameMismatch},
        {"localhost", certs + "ca.crt", "other.test", platform::kCertNameMismatch},
        {"expired", certs + "ca.crt", "", platform::kCertExpired},
        {"localhost", certs + "missing.crt", "", platform::kCaFileUnreadable},
        {"localhost", certs + "server.key", "", platform::kCaFileEmpty},
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(std::string(sample.shown) + " " + sample.caFile + " " + sample.serverName);
        PrivateRedisServer server({}, Showing(certs, sample.shown));
        RecordingObserver observer;
        std::shared_ptr<redis::RespConnectionPool> pool;
        ASSERT_EQ(redis::RespConnectionPool::Create(TlsEndpoint(server, sample.caFile, sample.serverName), &observer,
                                                    4, &pool),
                  S_OK);
        FarmCache cache(pool, UniquePrefix(), "Inbox", 100, 20);
        EXPECT_EQ(cache.Open(), sample.result);
        // Every call tries again (the breaker does not hold the server out)
        // and fails alike; the log hears it once.
        std::string text;
        EXPECT_EQ(cache.Get("alice", &text), sample.result);
        EXPECT_EQ(cache.Add("alice", "t"), sample.result);
        EXPECT_EQ(observer.events, "outage:" + std::to_string(sample.result) + " ");
    }
}

TEST(FarmTls, NeitherSideFallsBackToClearText) {
    const std::string certs = PrivateRedisServer::MakeCertificates();
    PrivateRedisServer tlsServer({}, Showing(certs, "localhost"));
    redis::RespEndpoint plain = TlsEndpoint(tlsServer, "");
    plain.tls = false;
    plain.timeoutMs = 500;
    FarmCache toTlsPort(MakePool(plain), UniquePrefix(), "Inbox", 100, 20);
    const HRESULT cleared = toTlsPort.Open();
    EXPECT_TRUE(cleared == platform::kSocketReset || cleared == platform::kSocketTimedOut) << std::hex << cleared;

    // A plain server waits for the end of a line that a TLS greeting
    // never sends.
    PrivateRedisServer plainServer;
    redis::RespEndpoint secured = TlsEndpoint(plainServer, certs + "ca.crt");
    secured.timeoutMs = 300;
    FarmCache toPlainPort(MakePool(secured), UniquePrefix(), "Inbox", 100, 20);
    EXPECT_EQ(toPlainPort.Open(), platform::kSocketTimedOut);

    // One that answers the greeting in clear text is no TLS server.
    FakeRespServer clear;
    clear.Queue({"-ERR unknown command\r\n", true});
    redis::RespEndpoint toClear = secured;
    toClear.port = clear.Port();
    FarmCache toClearServer(MakePool(toClear), UniquePrefix(), "Inbox", 100, 20);
    EXPECT_EQ(toClearServer.Open(), platform::kTlsIllegalMessage);
}

}  // namespace
}  // namespace qc::farm
