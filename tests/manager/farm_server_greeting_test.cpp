// What a farm's server is told and asked on each new connection: the
// database farms sharing a server keep apart in, the server's version (one
// too old puts the farm out, with one line saying so), and AUTH, whose only
// access denied is a rejected password. Natively: a private server of the
// test's own, and a fake one for answers a real server will not give.
#include "redis/resp_connection.h"
#include "tests/common/fake_resp_server.h"
#include "tests/common/farm_manager_fixture.h"
#include "tests/common/private_redis_server.h"

#include <string>

namespace qc::test {
namespace {

class FarmServerGreeting : public FarmManagerTest {
protected:
    unsigned short DefaultPort() override { return 0; }  // each test starts a server of its own
    static int LinesWith(const std::string& part) {
        int count = 0;
        for (const std::string& line : LogLines()) count += line.find(part) != std::string::npos;
        return count;
    }
};

TEST_F(FarmServerGreeting, ADatabaseKeepsFarmsOnOneServerApart) {
    qc::farm::PrivateRedisServer server;
    s_settings.port = server.Port();
    s_settings.database = 1;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "site one", "Farm"), S_OK);

    // Another site: the same prefix and cache name, its own database.
    s_settings.database = 2;
    auto otherSite = Peer("Farm");
    ASSERT_EQ(otherSite->Open(), S_OK);
    EXPECT_EQ(PeerText(*otherSite, "alice"), "<absent>");
    ASSERT_EQ(otherSite->Add("alice", "site two"), S_OK);
    EXPECT_EQ(GetText("Farm", "alice"), "site one");

    // Another web server of the first site sees its entries.
    s_settings.database = 1;
    EXPECT_EQ(PeerText(*Peer("Farm"), "alice"), "site one");

    // Database 0 holds nothing of either.
    s_settings.database = 0;
    auto databaseZero = qc::farm::MakePool(s_settings.Endpoint());
    const qc::redis::RespReply keys = qc::farm::Command(*databaseZero, {"KEYS", s_settings.prefix + "*"});
    EXPECT_TRUE(keys.elements.empty());
    EXPECT_EQ(qc::farm::Command(*databaseZero, {"DBSIZE"}).integer, 0);
}

TEST_F(FarmServerGreeting, AServerOlderThan5PutsTheFarmOutWithOneLineAndLocalCachesWork) {
    qc::farm::FakeRespServer server;
    server.SetServerInfo("# Server\r\nredis_git_sha1:00000000\r\nredis_version:4.0.9\r\nredis_mode:standalone\r\n");
    s_settings.port = server.Port();
    s_settings.timeoutMs = 500;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kServerTooOld);
    EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), qc::redis::kServerTooOld);
    ASSERT_EQ(m_manager->CreateCache("Local", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("bob", "local", "Local"), S_OK);
    EXPECT_EQ(GetText("Local", "bob"), "local");
    EXPECT_EQ(LinesWith("runs a Redis older than 5.0, which the farm needs"), 1)
        << ::testing::PrintToString(LogLines());
    EXPECT_EQ(LogLines().size(), 1u);

    std::unique_ptr<qc::redis::RespConnection> connection;
    std::string refusal;
    EXPECT_EQ(qc::redis::RespConnection::Open(s_settings.Endpoint(), qc::redis::DeadlineAfter(500), &connection,
                                              &refusal),
              qc::redis::kServerTooOld);
    EXPECT_EQ(refusal, "the server runs Redis 4.0.9; 5.0 or later is needed");

    // A version it cannot read, or none, is taken at the server's word.
    for (const char* info : {"redis_version:5.0.0\r\n", "# Server\r\nredis_mode:standalone\r\n", "redis_version:x"}) {
        connection.reset();  // the fake server serves one connection at a time
        server.SetServerInfo(info);
        EXPECT_EQ(qc::redis::RespConnection::Open(s_settings.Endpoint(), qc::redis::DeadlineAfter(500), &connection),
                  S_OK)
            << info;
    }
}

TEST_F(FarmServerGreeting, OnlyARejectedPasswordIsAccessDeniedAndAnyOtherAuthErrorKeepsItsText) {
    qc::farm::FakeRespServer server;
    s_settings.port = server.Port();
    s_settings.password = "secret";
    struct Case {
        const char* reply;
        HRESULT result;
    };
    const Case kCases[] = {
        {"-ERR max number of clients reached\r\n", qc::redis::kServerError},
        {"-LOADING Redis is loading the dataset in memory\r\n", qc::redis::kServerNotReady},
        {"-WRONGPASS invalid username-password pair or user is disabled.\r\n", qc::redis::kAccessDenied},
        {"-ERR invalid password\r\n", qc::redis::kAccessDenied},
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(sample.reply);
        server.Queue({sample.reply, true});
        std::unique_ptr<qc::redis::RespConnection> connection;
        std::string refusal;
        EXPECT_EQ(qc::redis::RespConnection::Open(s_settings.Endpoint(), qc::redis::DeadlineAfter(500), &connection,
                                                  &refusal),
                  sample.result);
        EXPECT_EQ(refusal + "\r\n", sample.reply + 1);
    }

    // Through the manager, the same.
    server.Queue({"-ERR max number of clients reached\r\n", true});
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kServerError);
}

}  // namespace
}  // namespace qc::test
