// The tool's commands as an operator runs them, against a real server, with
// settings given as the registry would give them; a running FarmCache plays
// a web server of the farm.
#include "farm_tool/farm_tool.h"

#include "farm/farm_cache.h"
#include "platform/protected_secret.h"
#include "tests/common/farm_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <sstream>

namespace qc::farm {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ToolSystem final : public FarmToolSystem {
public:
    HRESULT ReadSettings(FarmSettings* out, std::vector<std::string>* notesOut) override {
        *notesOut = notes;
        if (SUCCEEDED(readResult)) *out = settings;
        return readResult;
    }
    HRESULT ReadSecretLine(std::string* line) override {
        *line = typed;
        return S_OK;
    }
    HRESULT WriteBinaryValue(FarmValue which, const std::vector<unsigned char>& bytes) override {
        written.emplace_back(which, bytes);
        return S_OK;
    }

    FarmSettings settings;
    std::vector<std::string> notes;
    HRESULT readResult = S_OK;
    std::string typed;
    std::vector<std::pair<FarmValue, std::vector<unsigned char>>> written;
};

// The rest of the line that starts with `label`; "<none>" when none does.
std::string LineAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find("\n" + label);
    if (at == std::string::npos) return "<none>";
    const std::size_t from = at + 1 + label.size();
    return text.substr(from, text.find('\n', from) - from);
}

struct ToolRun {
    int status;
    std::string out, err;
};

class FarmToolTest : public ::testing::Test {
protected:
    FarmToolTest() : m_pool(MakePool(TestEndpoint())) {
        m_system.settings.host = "127.0.0.1";
        m_system.settings.port = TestEndpoint().port;
        m_system.settings.prefix = m_prefix;
        m_system.settings.caches = {"Inbox", "Carts", "Dom \xC3\x9C{x}"};
        m_system.settings.timeoutMs = 500;
    }
    ToolRun Tool(std::vector<std::string> arguments) {
        std::ostringstream out, err;
        const int status = RunFarmTool(arguments, m_system, out, err);
        return {status, out.str(), err.str()};
    }
    std::unique_ptr<FarmCache> Server(const std::string& name, ULONG limit, LONG lifetime) {
        auto cache = std::make_unique<FarmCache>(MakePool(TestEndpoint()), m_prefix, name, limit, lifetime);
        EXPECT_EQ(cache->Open(), S_OK);
        return cache;
    }
    std::string Field(const FarmCache& cache, const char* field) {
        return Command(*m_pool, {"HGET", cache.Keys().Settings(), field}).text;
    }

    const std::string m_prefix = UniquePrefix();
    std::shared_ptr<redis::RespConnectionPool> m_pool;
    ToolSystem m_system;
};

TEST_F(FarmToolTest, SetLimitsReachesRunningServersAtTheirNextFlushAndNoneWritesItsOwnBack) {
    auto a = Server("Inbox", 10, 5);
    auto b = Server("INBOX", 50, 50);  // takes the farm's 10 and 5
    for (int user = 0; user < 6; ++user) ASSERT_EQ(a->Add("u" + std::to_string(user), "t"), S_OK);

    const ToolRun set = Tool({"set-limits", "inbox", "3", "7"});
    ASSERT_EQ(set.status, kToolDone) << set.err;
    EXPECT_THAT(set.out, HasSubstr("MaxEntries 3, LifetimeMinutes 7"));
    EXPECT_THAT(set.out, Not(HasSubstr("No server has created it")));
    EXPECT_EQ(a->MaxEntries(), 10u);  // until its flush

    // One flush: the new limit is adopted and trims at once.
    ASSERT_EQ(a->Flush(), S_OK);
    EXPECT_EQ(a->MaxEntries(), 3u);
    EXPECT_EQ(a->LifetimeMinutes(), 7);
    unsigned long long count = 0;
    ASSERT_EQ(a->Count(&count), S_OK);
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(a->Add("late", "t"), S_OK);  // its entry gets the new lifetime
    const long long ttl = Command(*m_pool, {"PTTL", a->Keys().Entry("late")}).integer;
    EXPECT_GT(ttl, 5 * 60 * 1000 + FarmCache::kBackstopMarginMs);
    EXPECT_LE(ttl, 7 * 60 * 1000 + FarmCache::kBackstopMarginMs);

    // The other server's flush reads them too, and leaves them as they are.
    ASSERT_EQ(b->Flush(), S_OK);
    EXPECT_EQ(b->MaxEntries(), 3u);
    EXPECT_EQ(b->LifetimeMinutes(), 7);
    EXPECT_EQ(Field(*a, "max"), "3");
    EXPECT_EQ(Field(*a, "lifems"), std::to_string(7 * 60 * 1000));

    // Settings deleted by hand come back at the next flush, as adopted.
    Command(*m_pool, {"DEL", a->Keys().Settings()});
    ASSERT_EQ(b->Flush(), S_OK);
    EXPECT_EQ(Field(*a, "max"), "3");
    EXPECT_EQ(Field(*a, "life"), "7");
    EXPECT_GT(Command(*m_pool, {"PTTL", a->Keys().Settings()}).integer, 7 * 60 * 1000);

    // Limits set before any server created a cache are the ones its first takes;
    // -1 and 0 are read as CreateCache reads them.
    const ToolRun first = Tool({"set-limits", "Carts", "-1", "0"});
    ASSERT_EQ(first.status, kToolDone) << first.err;
    EXPECT_THAT(first.out, HasSubstr("No server has created it yet"));
    auto carts = Server("Carts", 99, 99);
    EXPECT_EQ(carts->MaxEntries(), 0xFFFFFFFFu);
    EXPECT_EQ(carts->LifetimeMinutes(), 0);
    EXPECT_GT(Command(*m_pool, {"PTTL", carts->Keys().Settings()}).integer, 29LL * 24 * 60 * 60 * 1000);
}

TEST_F(FarmToolTest, AWrongCommandLineGivesTheUsageAndSettingsThatCannotServeAreRefused) {
    const ToolRun help = Tool({"--help"});
    EXPECT_EQ(help.status, kToolDone);
    EXPECT_THAT(help.out, HasSubstr("set-limits CACHE MAXENTRIES LIFETIMEMINUTES"));
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"bogus"},
        {"check", "now"},
        {"set-password", "--other"},
        {"set-limits", "Inbox", "3"},
        {"set-limits", "Inbox", "3", "7", "8"},
        {"set-limits", "Inbox", "abc", "7"},
        {"set-limits", "Inbox", "2147483648", "7"},  // CreateCache takes a 32-bit signed number
        {"set-limits", "Inbox", "3", "-2147483649"},
        {"set-limits", "Inbox", "1.5", "7"},
        {"set-limits", "Inbox", "+3", "7"},
        {"set-limits", "Inbox", "", "7"},
    };
    for (const std::vector<std::string>& arguments : wrong) {
        const ToolRun run = Tool(arguments);
        EXPECT_EQ(run.status, kToolUsage) << ::testing::PrintToString(arguments);
        EXPECT_THAT(run.err, HasSubstr("Usage: quorcache-farm"));
    }
    EXPECT_EQ(Command(*m_pool, {"KEYS", m_prefix + "*"}).elements.size(), 0u);  // nothing was written

    const ToolRun local = Tool({"set-limits", "Local only", "3", "7"});
    EXPECT_EQ(local.status, kToolFailed);
    EXPECT_THAT(local.err, HasSubstr("'Local only' is not a farm cache here"));

    m_system.readResult = E_INVALIDARG;
    m_system.notes = {"Database has the type REG_SZ; it must be REG_DWORD"};
    for (const char* command : {"check", "show"}) {
        const ToolRun run = Tool({command});
        EXPECT_EQ(run.status, kToolFailed) << command;
        EXPECT_THAT(run.out + run.err, HasSubstr("note: Database has the type REG_SZ"));
        EXPECT_THAT(run.err, HasSubstr("cannot be used (0x80070057)"));
    }
    m_system.readResult = S_OK;
    m_system.notes.clear();
    m_system.settings.host.clear();
    EXPECT_EQ(Tool({"check"}).status, kToolFailed);
    EXPECT_THAT(Tool({"show"}).out, HasSubstr("No farm is set up"));
}

TEST_F(FarmToolTest, CheckTellsTheServerAndItsCachesOrWhyItCannotReachThem) {
    auto inbox = Server("Inbox", 10, 5);
    auto odd = Server("Dom \xC3\x9C{x}", 4, -1);
    for (const char* user : {"alice", "bob"}) ASSERT_EQ(inbox->Add(user, "t"), S_OK);
    ASSERT_EQ(odd->Add("alice", "t"), S_OK);
    // An entry whose user makes its key look like another cache's settings.
    ASSERT_EQ(inbox->Add("x}:s", "t"), S_OK);

    const ToolRun check = Tool({"check"});
    ASSERT_EQ(check.status, kToolDone) << check.err;
    EXPECT_THAT(check.out, HasSubstr("Server:   127.0.0.1:" + std::to_string(TestEndpoint().port) + "\n"));
    const std::string version = LineAfter(check.out, "Redis:    ");
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(version[0])) && version.find('.') != std::string::npos)
        << check.out;
    EXPECT_THAT(check.out, HasSubstr("Role:     master\n"));
    EXPECT_THAT(LineAfter(check.out, "PING:     "), ::testing::EndsWith(" ms"));
    EXPECT_THAT(check.out, HasSubstr("Farm caches under '" + m_prefix + "': 2\n"));
    EXPECT_THAT(check.out, HasSubstr("'inbox': entries 3, MaxEntries 10, LifetimeMinutes 5\n"));
    EXPECT_THAT(check.out, HasSubstr("'dom \xC3\x9C{x}': entries 1, MaxEntries 4, LifetimeMinutes -1\n"));

    // A password the server does not take: its own words come along.
    m_system.settings.password = "not this one";
    const ToolRun refused = Tool({"check"});
    EXPECT_EQ(refused.status, kToolFailed);
    EXPECT_THAT(refused.err, ::testing::StartsWith("failed: 127.0.0.1:" + std::to_string(TestEndpoint().port) +
                                                   ": 0x8007054F: the server answered an error; it said 'ERR"));
    EXPECT_THAT(refused.out + refused.err, Not(HasSubstr("not this one")));

    // Nothing listens: refused, within the time-out.
    m_system.settings.password = SecretText();
    m_system.settings.port = 1;
    const auto start = std::chrono::steady_clock::now();
    const ToolRun stopped = Tool({"check"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(m_system.settings.timeoutMs + 500));
    EXPECT_EQ(stopped.status, kToolFailed);
    EXPECT_EQ(stopped.err, "failed: 127.0.0.1:1: 0x8007274D: the connection is refused: nothing listens there\n");
    EXPECT_EQ(Tool({"set-limits", "Inbox", "3", "7"}).err, stopped.err);
}

TEST_F(FarmToolTest, ShowTellsOnlyWhetherAPasswordIsSetAndSetPasswordStoresItProtected) {
    m_system.settings.password = "hunter2";
    m_system.notes = {"without Sentinels these are not used: MasterName"};
    const ToolRun show = Tool({"show"});
    ASSERT_EQ(show.status, kToolDone);
    EXPECT_THAT(show.out, HasSubstr("note: without Sentinels these are not used: MasterName\n"));
    EXPECT_THAT(show.out, HasSubstr("Server:           127.0.0.1:"));
    EXPECT_THAT(show.out, HasSubstr("Password:         set\n"));
    EXPECT_THAT(show.out, HasSubstr("Caches:           Inbox, Carts"));
    EXPECT_THAT(show.out, HasSubstr("Tls:              off\n"));
    EXPECT_THAT(show.out, Not(HasSubstr("hunter2")));

    m_system.typed = "";
    EXPECT_EQ(Tool({"set-password"}).status, kToolFailed);
    m_system.typed = "pass word";
    const ToolRun stored = Tool({"set-password", "--sentinel"});
    std::vector<unsigned char> probe;
    if (platform::ProtectSecret("probe", &probe) == platform::kSecretProtectionUnsupported) {
        EXPECT_EQ(stored.status, kToolFailed);
        EXPECT_THAT(stored.err, HasSubstr("could not be protected for this machine (0x80004001)"));
        EXPECT_TRUE(m_system.written.empty());
        return;
    }
    ASSERT_EQ(stored.status, kToolDone) << stored.err;
    ASSERT_EQ(m_system.written.size(), 1u);
    EXPECT_EQ(m_system.written[0].first, FarmValue::SentinelPassword);
    std::string password;
    ASSERT_EQ(platform::UnprotectSecret(m_system.written[0].second, &password), S_OK);
    EXPECT_EQ(password, "pass word");
}

}  // namespace
}  // namespace qc::farm
