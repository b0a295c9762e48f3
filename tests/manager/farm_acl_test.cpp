// Farm caches as an ACL user of a server whose default user is disabled,
// given the least rule the README states: every farm operation works with
// it, and no command outside it is even tried (the server's ACL log stays
// empty); a wrong password, a command the rule leaves out and a key outside
// the prefix are each access denied, with the server's text logged once.
// Natively: a private server of the test's own.
#include "redis/sentinel_locator.h"
#include "tests/common/fake_resp_server.h"
#include "tests/common/farm_manager_fixture.h"
#include "tests/common/private_redis_server.h"

#include <chrono>
#include <string>
#include <thread>

namespace qc::test {
namespace {

constexpr const char* kUser = "quorcache";
constexpr const char* kPassword = "farm pass\xC3\xA9";
constexpr const char* kAdminPassword = "admin-pass";

// The README's rule for a farm with a Database other than 0 (+select) and
// Sentinels (+role), for `prefix`, as redis-server options (quoted for the
// shell the private server's script runs under).
std::string AclOptions(const std::string& prefix) {
    return "--user admin on '>" + std::string(kAdminPassword) + "' '~*' '&*' '+@all' --user default off --user " +
           kUser + " on '>" + kPassword + "' resetkeys '~" + prefix +
           "*' resetchannels -@all +eval +evalsha +get +exists +zcard +zadd +zrem +zcount +zrange +zrangebyscore "
           "+hget +hmget +hset +set +unlink +pexpire +time +select +role";
}

class FarmAcl : public FarmManagerTest {
protected:
    unsigned short DefaultPort() override { return 0; }  // the test's own server
    void SetUp() override {
        FarmManagerTest::SetUp();
        m_server = std::make_unique<qc::farm::PrivateRedisServer>(AclOptions(s_settings.prefix));
        s_settings.port = m_server->Port();
        s_settings.user = kUser;
        s_settings.password = kPassword;
        s_settings.database = 1;
        s_settings.timeoutMs = 2000;
        qc::redis::RespEndpoint admin = s_settings.Endpoint();
        admin.database = 0;
        admin.user = "admin";
        admin.password = kAdminPassword;
        m_admin = qc::farm::MakePool(admin);
    }
    void TearDown() override {
        FarmManagerTest::TearDown();
        m_admin.reset();
        m_server.reset();
    }

    qc::redis::RespReply Admin(std::initializer_list<std::string_view> words) {
        return qc::farm::Command(*m_admin, words);
    }
    static std::vector<std::string> LinesWith(const std::string& part) {
        std::vector<std::string> lines;
        for (const std::string& line : LogLines())
            if (line.find(part) != std::string::npos) lines.push_back(line);
        return lines;
    }

    std::unique_ptr<qc::farm::PrivateRedisServer> m_server;
    std::shared_ptr<qc::redis::RespConnectionPool> m_admin;
};

TEST_F(FarmAcl, EveryFarmOperationWorksWithTheLeastRuleAndNothingElseIsTried) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 2, 5), S_OK);
    for (const char* user : {"alice", "bob", "carol"}) ASSERT_EQ(m_manager->Add(user, user, "Farm"), S_OK);
    EXPECT_EQ(GetText("Farm", "alice"), "alice");
    bool exists = false;
    ASSERT_EQ(m_manager->Exists("Farm", "bob", &exists), S_OK);
    EXPECT_TRUE(exists);
    ASSERT_EQ(m_manager->Free("bob", "Farm"), S_OK);
    EXPECT_EQ(m_manager->Free("bob", "Farm"), E_FAIL);
    ASSERT_EQ(m_manager->Add("dave", "dave", "Farm"), S_OK);
    ASSERT_EQ(m_manager->FlushCache("Farm"), S_OK);  // trims the oldest beyond the limit of 2
    CCacheManager::CacheStatistics figures;
    ASSERT_EQ(m_manager->GetCacheStatistics("Farm", &figures), S_OK);
    EXPECT_EQ(figures.entries, 2);
    EXPECT_EQ(figures.peakEntries, 3);
    std::vector<std::string> names, farmNames;
    ASSERT_EQ(m_manager->CacheNames(&names, &farmNames), S_OK);
    EXPECT_EQ(farmNames, std::vector<std::string>{"Farm"});
    ASSERT_EQ(m_manager->Clear("Farm"), S_OK);
    ASSERT_EQ(m_manager->GetCacheStatistics("Farm", &figures), S_OK);
    EXPECT_EQ(figures.entries, 0);

    // All of it in the database chosen (database 0 holds nothing), and no
    // command was refused: the greeting asks an ACL user's server for no INFO.
    EXPECT_EQ(Admin({"ACL", "LOG"}).elements.size(), 0u);
    EXPECT_EQ(Admin({"DBSIZE"}).integer, 0);
    EXPECT_TRUE(LogLines().empty()) << ::testing::PrintToString(LogLines());

    // With Sentinels, the primary they name is checked with ROLE as the user.
    qc::farm::FakeRespServer sentinel;
    const std::string port = std::to_string(m_server->Port());
    sentinel.Queue({"*2\r\n$9\r\n127.0.0.1\r\n$" + std::to_string(port.size()) + "\r\n" + port + "\r\n"});
    std::shared_ptr<qc::redis::SentinelLocator> locator;
    ASSERT_EQ(qc::redis::SentinelLocator::Create({{{"127.0.0.1", sentinel.Port()}}, "site", {}, kPassword, kUser},
                                                 nullptr, &locator),
              S_OK);
    qc::redis::RespAddress primary;
    ASSERT_EQ(locator->Locate(qc::redis::DeadlineAfter(2000), &primary), S_OK);
    EXPECT_EQ(primary.port, m_server->Port());
}

TEST_F(FarmAcl, AWrongPasswordAMissingCommandAndAKeyOutsideThePrefixAreAccessDeniedWithTheServersText) {
    s_settings.password = "wrong";
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kAccessDenied);
    EXPECT_EQ(LinesWith("answered an error: 'WRONGPASS").size(), 1u) << ::testing::PrintToString(LogLines());
    // Without the user, AUTH goes to the default user, which is off.
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    s_settings.user.clear();
    s_settings.password = kPassword;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kAccessDenied);

    // A command the rule leaves out, run by a script: denied at every call,
    // logged once with the server's words.
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    s_settings.user = kUser;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    Admin({"ACL", "SETUSER", kUser, "-zadd"});
    const std::size_t before = LogLines().size();
    for (int call = 0; call < 3; ++call) EXPECT_EQ(m_manager->Add("alice", "text", "Farm"), qc::redis::kAccessDenied);
    const std::vector<std::string> refused = LinesWith("can't run this command");
    ASSERT_EQ(refused.size(), 1u) << ::testing::PrintToString(LogLines());
    EXPECT_EQ(refused[0].rfind("QuorCache farm: 127.0.0.1:" + std::to_string(m_server->Port()) +
                                   " answered an error: 'ERR The user executing the script can't",
                               0),
              0u)
        << refused[0];
    // Besides, one notice that calls fail, which says why (no gate opens).
    EXPECT_EQ(LogLines().size(), before + 2) << ::testing::PrintToString(LogLines());
    EXPECT_NE(LogLines().back().find("fail (0x80070005): access is denied; check User, Password and the user's ACL rule"),
              std::string::npos)
        << LogLines().back();
    std::string text;
    EXPECT_EQ(m_manager->Get("Farm", "alice", &text), E_FAIL);  // reading is still allowed

    // Keys outside the prefix the rule names.
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    s_settings.prefix = "elsewhere:";
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Farm", 10, 5), qc::redis::kAccessDenied);
    EXPECT_EQ(LinesWith("answered an error: 'NOPERM this user has no permissions to access one of the keys").size(),
              1u)
        << ::testing::PrintToString(LogLines());
}

// With NearCache, the least rule lets the farm work but not the channel:
// reads go to the farm, and the log says once why. The README's addition,
// given meanwhile, makes reads near without a restart, and nothing the
// channel does (its heartbeat included) is refused.
TEST_F(FarmAcl, NearCacheWithoutTheRulesAdditionSaysOnceWhyReadsAreNotNearAndWorksOnceItIsGiven) {
    s_settings.nearCache = true;
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Farm", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("alice", "text", "Farm"), S_OK);
    const std::string refusal = "refuses the near cache's invalidations: 'NOPERM";
    const auto start = std::chrono::steady_clock::now();
    while (LinesWith(refusal).empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long before = FarmGets(*m_admin);
    for (int read = 0; read < 8; ++read) {  // the channel is refused again meanwhile
        EXPECT_EQ(GetText("Farm", "alice"), "text");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(FarmGets(*m_admin), before + 8);
    const std::vector<std::string> refused = LinesWith(refusal);
    ASSERT_EQ(refused.size(), 1u) << ::testing::PrintToString(LogLines());
    EXPECT_NE(refused[0].find("farm reads are not kept near"), std::string::npos) << refused[0];

    Admin({"ACL", "SETUSER", kUser, "+client|id", "+client|tracking", "+subscribe", "+ping", "&__redis__:invalidate"});
    Admin({"ACL", "LOG", "RESET"});
    EXPECT_TRUE(ServedNear(*m_admin, "Farm", "alice", "text", std::chrono::seconds(6)));
    std::this_thread::sleep_for(qc::farm::InvalidationChannel::kHeartbeat + std::chrono::milliseconds(200));
    EXPECT_EQ(Admin({"ACL", "LOG"}).elements.size(), 0u);
    EXPECT_TRUE(ServedNear(*m_admin, "Farm", "alice", "text", std::chrono::milliseconds(0)));
    EXPECT_EQ(LinesWith(refusal).size(), 1u);
}

}  // namespace
}  // namespace qc::test
