// What the farm's registry values come to, and what the log is told of them:
// the mistakes an administrator makes, each read as meant or refused with a
// line naming the value and why.
#include "farm/farm_registry_values.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qc::farm {
namespace {

using namespace registry_type;
constexpr DWORD kBinary = 3, kQword = 11;

RegistryValue Text(std::u16string_view text, DWORD type = kSz) {
    RegistryValue value{true, type, {}};
    for (const char16_t unit : std::u16string(text) + u'\0') {
        value.bytes.push_back(static_cast<unsigned char>(unit));
        value.bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return value;
}
RegistryValue Number(DWORD number, DWORD type = kDword) {
    RegistryValue value{true, type, {}};
    for (int shift = 0; shift < 32; shift += 8) value.bytes.push_back(static_cast<unsigned char>(number >> shift));
    return value;
}

// A working farm's Server and Caches with `changed` put over them, read as
// "server|caches|time-out|connections", then "|dbN" for a database other
// than 0 and "|tls[ as NAME][ trusting FILE]" for TLS ("unchanged" when
// refused), then "|near N" for near copies, and the notes.
std::pair<std::string, std::vector<std::string>> Interpret(std::vector<std::pair<FarmValue, RegistryValue>> changed) {
    FarmRegistryValues values;
    values[FarmValue::Server] = Text(u"127.0.0.1:6379");
    values[FarmValue::Caches] = Text(u"*");
    for (auto& [which, value] : changed) values[which] = std::move(value);
    FarmSettings settings;
    settings.host = "unchanged";
    std::vector<std::string> notes;
    const HRESULT hr = InterpretFarmValues(values, &settings, &notes);
    if (hr != S_OK) return {hr == E_INVALIDARG ? "unchanged" : "failed", notes};
    const std::string database = settings.database ? "|db" + std::to_string(settings.database) : "";
    std::string tls = settings.tls ? "|tls" : "";
    if (!settings.tlsServerName.empty()) tls += " as " + settings.tlsServerName;
    if (!settings.caCertificate.empty()) tls += " trusting " + settings.caCertificate;
    const std::string nearCache = settings.nearCache ? "|near " + std::to_string(settings.nearCacheEntries) : "";
    return {settings.ServerText() + "|" + Listed(settings.caches) + "|" + std::to_string(settings.timeoutMs) + "|" +
                std::to_string(settings.maxConnections) + database + tls + nearCache,
            notes};
}

TEST(FarmRegistryValues, EachMistakeIsReadAsMeantOrNamedWithWhy) {
    const std::string farm = "127.0.0.1:6379|*|1000|32", refused = "unchanged";
    const struct {
        FarmValue which;
        RegistryValue value;
        std::string read;
        std::string note;  // the one line for the log, if any
    } kCases[] = {
        // Read as meant.
        {FarmValue::Caches, Text(u" Sessions, Carts ;Cart Items;; "), "127.0.0.1:6379|Sessions, Carts, Cart Items|1000|32",
         ""},
        {FarmValue::Caches, Text({u" Sessions \0\0Carts", 17}, kMultiSz), "127.0.0.1:6379|Sessions, Carts|1000|32", ""},
        {FarmValue::Caches, Text(u"Sessions;Carts", kMultiSz), "127.0.0.1:6379|Sessions;Carts|1000|32",
         "Caches 'Sessions;Carts' is one name: the entries of a REG_MULTI_SZ are not split"},
        {FarmValue::TimeoutMs, Text(u" 250 "), "127.0.0.1:6379|*|250|32", ""},
        {FarmValue::TimeoutMs, Text(u"0"), farm, ""},
        {FarmValue::TimeoutMs, Number(0xFFFFFFFF), "127.0.0.1:6379|*|30000|32", "TimeoutMs 4294967295 is held to 30000"},
        {FarmValue::TimeoutMs, Text(u"123456789012345678901"), "127.0.0.1:6379|*|30000|32",
         "TimeoutMs 123456789012345678901 is held to 30000"},
        {FarmValue::Server, Text(u" REDIS://[::1]:6380/0 "), "[::1]:6380|*|1000|32", ""},
        {FarmValue::MaxConnections, Number(4), "127.0.0.1:6379|*|1000|4", ""},
        {FarmValue::MaxConnections, Text(u" 64"), "127.0.0.1:6379|*|1000|64", ""},
        {FarmValue::MaxConnections, Number(0), farm, ""},
        {FarmValue::MaxConnections, Number(100000), "127.0.0.1:6379|*|1000|1024", "MaxConnections 100000 is held to 1024"},
        {FarmValue::Server, Text(u"redis://h/3"), "h:6379|*|1000|32|db3", ""},
        {FarmValue::Database, Number(2), "127.0.0.1:6379|*|1000|32|db2", ""},
        {FarmValue::Database, Text(u" 15 "), "127.0.0.1:6379|*|1000|32|db15", ""},
        {FarmValue::Server, Text(u"rediss://h:6380/1"), "h:6380|*|1000|32|db1|tls", ""},
        {FarmValue::Tls, Number(1), "127.0.0.1:6379|*|1000|32|tls", ""},
        {FarmValue::Tls, Text(u" 1 "), "127.0.0.1:6379|*|1000|32|tls", ""},
        {FarmValue::Tls, Number(0), farm, ""},
        {FarmValue::CaCertificate, Text(u"C:\\ca.pem"), farm, "without Tls these are not used: CaCertificate"},
        // Nothing would be shared: said so.
        {FarmValue::Caches, RegistryValue(), "127.0.0.1:6379||1000|32",
         "Server is set but Caches is missing or empty: no cache is kept on the farm"},
        {FarmValue::Caches, Text(u" ; , "), "127.0.0.1:6379||1000|32",
         "Server is set but Caches is missing or empty: no cache is kept on the farm"},
        {FarmValue::Server, Text(u""), ":6379||1000|32", "without a Server, Servers or Sentinels value these are not used: Caches"},
        // Refused: every cache stays in process.
        {FarmValue::Server, Text(u"redis1:notaport"), refused, "Server 'redis1:notaport': the port is not a number"},
        {FarmValue::Server, Text(u"redis1:70000"), refused, "Server 'redis1:70000': the port is not 1 to 65535"},
        {FarmValue::Server, Text(u" :6379"), refused, "Server ' :6379': the host is missing"},
        {FarmValue::Server, Text(u"http://h"), refused,
         "Server 'http://h': a URL must start with redis:// or rediss://"},
        {FarmValue::Tls, Number(2), refused, "Tls 2: it must be 0 or 1"},
        {FarmValue::Tls, Text(u"yes"), refused, "Tls 'yes': it must be 0 or 1"},
        {FarmValue::Tls, Text(u"1", kMultiSz), refused, "Tls has the type REG_MULTI_SZ; it must be REG_DWORD or REG_SZ"},
        {FarmValue::Server, Text(u"redis://u:secret@h"), refused,
         "Server 'redis://...@h': a user or password in the URL is not supported"},
        {FarmValue::Server, Text(u"redis://h/x"), refused,
         "Server 'redis://h/x': only a database number may follow the host in the URL"},
        {FarmValue::Database, Text(u"two"), refused, "Database 'two': it must be a database number"},
        {FarmValue::Database, Number(0x80000000), refused, "Database 2147483648 is over 2147483647"},
        {FarmValue::Server, Number(1), refused, "Server has the type REG_DWORD; it must be REG_SZ"},
        {FarmValue::Caches, Number(1, kBinary), refused,
         "Caches has the type REG_BINARY; it must be REG_MULTI_SZ or REG_SZ"},
        {FarmValue::Password, Text(u"a", kMultiSz), refused,
         "Password has the type REG_MULTI_SZ; it must be REG_SZ or REG_BINARY"},
        {FarmValue::Prefix, Text(u"site{2}:"), refused, "Prefix 'site{2}:': it may hold no brace"},
        {FarmValue::TimeoutMs, Text(u"-1"), refused, "TimeoutMs '-1': it must be a number of milliseconds"},
        {FarmValue::TimeoutMs, Number(5, kQword), refused,
         "TimeoutMs has the type REG_QWORD; it must be REG_DWORD or REG_SZ"},
        {FarmValue::TimeoutMs, RegistryValue{true, kDword, {1, 2}}, refused, "TimeoutMs is a REG_DWORD of 2 bytes"},
        {FarmValue::MaxConnections, Text(u"many"), refused, "MaxConnections 'many': it must be a number of connections"},
        {FarmValue::MaxConnections, Text(u"8", kMultiSz), refused,
         "MaxConnections has the type REG_MULTI_SZ; it must be REG_DWORD or REG_SZ"},
        {FarmValue::NearCache, Number(1), farm + "|near 10000", ""},
        {FarmValue::NearCache, Number(0), farm, ""},
        {FarmValue::NearCache, Number(2), refused, "NearCache 2: it must be 0 or 1"},
        {FarmValue::NearCacheEntries, Number(50), farm, "without NearCache 1 these are not used: NearCacheEntries"},
    };
    for (const auto& sample : kCases) {
        const auto [read, notes] = Interpret({{sample.which, sample.value}});
        EXPECT_EQ(read, sample.read) << sample.note;
        EXPECT_EQ(notes, sample.note.empty() ? std::vector<std::string>() : std::vector<std::string>{sample.note});
    }

    // Every problem is named at once, and an odd or long text is cut for the log.
    std::string cut = "Prefix '?{";
    for (int count = 0; count < 31; ++count) cut += "\xC3\xA9";
    const std::vector<std::string> both = {cut + "...': it may hold no brace",
                                           "TimeoutMs '1e3': it must be a number of milliseconds"};
    EXPECT_EQ(Interpret({{FarmValue::Prefix, Text(u"\x01{" + std::u16string(70, u'\u00E9'))},
                         {FarmValue::TimeoutMs, Text(u"1e3")}}),
              std::make_pair(refused, both));

    // TLS with its name and CA file; turned on twice, or on and off.
    EXPECT_EQ(Interpret({{FarmValue::Server, Text(u"10.0.0.5")},
                         {FarmValue::Tls, Number(1)},
                         {FarmValue::TlsServerName, Text(u" redis.example ")},
                         {FarmValue::CaCertificate, Text(u"C:\\site-ca.pem")}}),
              std::make_pair(std::string("10.0.0.5:6379|*|1000|32|tls as redis.example trusting C:\\site-ca.pem"),
                             std::vector<std::string>()));
    EXPECT_EQ(Interpret({{FarmValue::Server, Text(u"rediss://h")}, {FarmValue::Tls, Number(1)}}).first,
              "h:6379|*|1000|32|tls");
    EXPECT_EQ(Interpret({{FarmValue::Server, Text(u"rediss://h")}, {FarmValue::Tls, Number(0)}}),
              std::make_pair(refused, std::vector<std::string>{"Tls 0 and the Server URL's rediss:// differ"}));

    // Near copies, their number held to the most.
    EXPECT_EQ(Interpret({{FarmValue::NearCache, Text(u"1")}, {FarmValue::NearCacheEntries, Number(50)}}).first,
              farm + "|near 50");
    EXPECT_EQ(Interpret({{FarmValue::NearCache, Number(1)}, {FarmValue::NearCacheEntries, Number(5000000)}}),
              std::make_pair(farm + "|near 1000000",
                             std::vector<std::string>{"NearCacheEntries 5000000 is held to 1000000"}));

    // A database named twice must be named alike.
    EXPECT_EQ(Interpret({{FarmValue::Server, Text(u"redis://h/3")}, {FarmValue::Database, Number(3)}}).first,
              "h:6379|*|1000|32|db3");
    EXPECT_EQ(Interpret({{FarmValue::Server, Text(u"redis://h/0")}, {FarmValue::Database, Number(4)}}),
              std::make_pair(refused, std::vector<std::string>{
                                          "Database 4 and the database the Server URL names (0) differ"}));
}

TEST(FarmRegistryValues, FallbackIsLocalOnlyWhenItSaysSo) {
    using Fallback = FarmSettings::Fallback;
    const struct {
        RegistryValue value;
        Fallback read;
        std::string note;
    } kCases[] = {
        {RegistryValue(), Fallback::None, ""},
        {Text(u"None"), Fallback::None, ""},
        {Text(u" local\t", kExpandSz), Fallback::Local, ""},
        {Text(u"LOCAL"), Fallback::Local, ""},
        {Text(u"Redis"), Fallback::None, "Fallback 'Redis': it must be None or Local; None is used"},
        {Text(u"Local2"), Fallback::None, "Fallback 'Local2': it must be None or Local; None is used"},
    };
    for (const auto& sample : kCases) {
        FarmRegistryValues values;
        values[FarmValue::Server] = Text(u"127.0.0.1:6379");
        values[FarmValue::Caches] = Text(u"*");
        values[FarmValue::Fallback] = sample.value;
        FarmSettings settings;
        std::vector<std::string> notes;
        ASSERT_EQ(InterpretFarmValues(values, &settings, &notes), S_OK) << sample.note;
        EXPECT_EQ(settings.fallback, sample.read) << sample.note;
        EXPECT_EQ(notes, sample.note.empty() ? std::vector<std::string>() : std::vector<std::string>{sample.note});
    }
    // A value of the wrong type is refused, as every other value's is.
    EXPECT_EQ(Interpret({{FarmValue::Fallback, Number(1)}}),
              std::make_pair(std::string("unchanged"),
                             std::vector<std::string>{"Fallback has the type REG_DWORD; it must be REG_SZ"}));
}

TEST(FarmRegistryValues, SentinelsNameThePrimaryOrServersACluster) {
    const std::string refused = "unchanged";
    const std::pair<FarmValue, RegistryValue> name{FarmValue::MasterName, Text(u"site")};
    const std::pair<FarmValue, RegistryValue> noServer{FarmValue::Server, RegistryValue()};
    const std::u16string multi = std::u16string(u" 10.0.0.1:26380 ") + u'\0' + u"[::1]" + u'\0' + u"s3;s4";
    const struct {
        std::vector<std::pair<FarmValue, RegistryValue>> values;
        std::string read;
        std::string note;
    } kCases[] = {
        // A host holds no comma: a REG_MULTI_SZ's entries are split too.
        {{{FarmValue::Sentinels, Text(multi, kMultiSz)}, name},
         "the primary of 'site' named by the sentinels 10.0.0.1:26380, [::1]:26379, s3:26379, s4:26379|*|1000|32",
         "Server is not used: the primary is the one the Sentinels name"},
        {{noServer, {FarmValue::Sentinels, Text(u"s1, s2:1")}, name, {FarmValue::SentinelPassword, Text(u"p")}},
         "the primary of 'site' named by the sentinels s1:26379, s2:1|*|1000|32", ""},
        {{noServer, {FarmValue::Sentinels, Text(u"s1")}, name, {FarmValue::Caches, RegistryValue()}},
         "the primary of 'site' named by the sentinels s1:26379||1000|32",
         "Sentinels is set but Caches is missing or empty: no cache is kept on the farm"},
        {{{FarmValue::MasterName, Text(u"site")}}, "127.0.0.1:6379|*|1000|32",
         "without Sentinels these are not used: MasterName"},
        {{noServer, {FarmValue::SentinelPassword, Text(u"p")}}, ":6379||1000|32",
         "without a Server, Servers or Sentinels value these are not used: Caches, SentinelPassword"},
        // Refused: every cache stays in process.
        {{noServer, {FarmValue::Sentinels, Text(u"s1")}}, refused,
         "Sentinels is set but MasterName is missing: the sentinels cannot be asked for the primary"},
        {{noServer, {FarmValue::Sentinels, Text(u"s1:0")}, name}, refused,
         "Sentinels 's1:0': the port is not 1 to 65535"},
        {{{FarmValue::Sentinels, Number(1)}, name}, refused,
         "Sentinels has the type REG_DWORD; it must be REG_MULTI_SZ or REG_SZ"},
        // A cluster's nodes, after the Server when it is set too.
        {{noServer, {FarmValue::Servers, Text(std::u16string(u"n1:7000") + u'\0' + u"n2, [::1]:7001", kMultiSz)}},
         "the cluster of the nodes n1:7000, n2:6379, [::1]:7001|*|1000|32", ""},
        {{{FarmValue::Servers, Text(u"n2")}}, "the cluster of the nodes 127.0.0.1:6379, n2:6379|*|1000|32", ""},
        {{noServer, {FarmValue::Servers, Text(u"n1")}, {FarmValue::Caches, RegistryValue()}},
         "the cluster of the nodes n1:6379||1000|32",
         "Servers is set but Caches is missing or empty: no cache is kept on the farm"},
        {{noServer, {FarmValue::Servers, Text(u"n1")}, {FarmValue::Sentinels, Text(u"s1")}, name}, refused,
         "Sentinels and Servers are both set: the farm is either the primary the sentinels name or a Redis cluster; "
         "keep one of them"},
        {{{FarmValue::Servers, Text(u"n1")}, {FarmValue::Database, Number(2)}}, refused,
         "Database 2 cannot be used with Servers: a Redis cluster has only database 0"},
        {{{FarmValue::Servers, Text(u"n1:0")}}, refused, "Servers 'n1:0': the port is not 1 to 65535"},
    };
    for (const auto& sample : kCases) {
        const auto [read, notes] = Interpret(sample.values);
        EXPECT_EQ(read, sample.read) << sample.note;
        EXPECT_EQ(notes, sample.note.empty() ? std::vector<std::string>() : std::vector<std::string>{sample.note});
    }
}

// The unprotect step of these tests: a blob "sealed:" + password opens,
// anything else is a blob of another machine.
constexpr HRESULT kNotThisMachine = static_cast<HRESULT>(0x8009000B);
HRESULT Unseal(const std::vector<unsigned char>& blob, std::string* secret) {
    const std::string text(blob.begin(), blob.end());
    if (text.rfind("sealed:", 0) != 0) return kNotThisMachine;
    *secret = text.substr(7);
    return S_OK;
}
RegistryValue Sealed(const std::string& password) {
    const std::string blob = "sealed:" + password;
    return RegistryValue{true, kBinary, {blob.begin(), blob.end()}};
}

TEST(FarmRegistryValues, PasswordsComeAsTextOrProtectedAndAnAclUserNeedsOne) {
    const struct Case {
        std::vector<std::pair<FarmValue, RegistryValue>> values;
        std::string read;  // "user|password|sentinel password", or "unchanged"
        std::string note;
    } kCases[] = {
        {{{FarmValue::Password, Sealed("pÃ© 1")}}, "|pÃ© 1|", ""},
        {{{FarmValue::Password, Text(u" p ")}, {FarmValue::User, Text(u" app ")}}, "app| p |", ""},
        {{{FarmValue::Password, Sealed("p")}, {FarmValue::User, Text(u"app", kExpandSz)}}, "app|p|", ""},
        {{{FarmValue::Sentinels, Text(u"s1")}, {FarmValue::MasterName, Text(u"site")},
          {FarmValue::SentinelPassword, Sealed("sp")}, {FarmValue::Password, Text(u"p")}},
         "|p|sp", "Server is not used: the primary is the one the Sentinels name"},
        {{{FarmValue::Server, RegistryValue()}, {FarmValue::User, Text(u"app")}}, "||",
         "without a Server, Servers or Sentinels value these are not used: Caches, User"},
        // Refused, and the password never shows in the line.
        {{{FarmValue::Password, RegistryValue{true, kBinary, {'p', 'w'}}}}, "unchanged",
         "Password is a REG_BINARY that cannot be unprotected on this machine (0x8009000B): store it again, "
         "protected here, or as a REG_SZ"},
        {{{FarmValue::Server, RegistryValue()}, {FarmValue::Sentinels, Text(u"s1")},
          {FarmValue::MasterName, Text(u"site")}, {FarmValue::SentinelPassword, RegistryValue{true, kBinary, {}}}},
         "unchanged",
         "SentinelPassword is a REG_BINARY that cannot be unprotected on this machine (0x8009000B): store it "
         "again, protected here, or as a REG_SZ"},
        {{{FarmValue::User, Text(u"app")}}, "unchanged",
         "User is set but Password is missing or empty: an ACL user cannot authenticate without one"},
        {{{FarmValue::User, Text(u"app")}, {FarmValue::Password, Text(u"")}}, "unchanged",
         "User is set but Password is missing or empty: an ACL user cannot authenticate without one"},
        {{{FarmValue::User, Text(u"app")}, {FarmValue::Password, Number(7)}}, "unchanged",
         "Password has the type REG_DWORD; it must be REG_SZ or REG_BINARY"},
        {{{FarmValue::User, Number(1)}, {FarmValue::Password, Text(u"p")}}, "unchanged",
         "User has the type REG_DWORD; it must be REG_SZ"},
    };
    for (const Case& sample : kCases) {
        FarmRegistryValues values;
        values[FarmValue::Server] = Text(u"127.0.0.1:6379");
        values[FarmValue::Caches] = Text(u"*");
        for (const auto& [which, value] : sample.values) values[which] = value;
        FarmSettings settings;
        std::vector<std::string> notes;
        const HRESULT hr = InterpretFarmValues(values, &settings, &notes, Unseal);
        const std::string read = hr == E_INVALIDARG ? "unchanged"
                                                    : settings.user + "|" + std::string(settings.password.View()) +
                                                          "|" + std::string(settings.sentinelPassword.View());
        EXPECT_EQ(read, sample.read) << sample.note;
        EXPECT_EQ(notes, sample.note.empty() ? std::vector<std::string>() : std::vector<std::string>{sample.note});
    }
}

TEST(FarmRegistryValues, ValuesLeftInThe32BitViewAreNamedWithWhereTheyBelong) {
    FarmRegistryValues values;
    values[FarmValue::Password] = Text(u"secret");
    values.in32BitView = {true, true, true, false, false, false};  // the 64-bit view's Password is its own
    std::vector<std::string> notes;
    FarmSettings settings;
    ASSERT_EQ(InterpretFarmValues(values, &settings, &notes), S_OK);
    EXPECT_FALSE(settings.HasFarm());
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "the 32-bit registry view holds Server, Caches; settings there are not used: they "
                         "belong in HKLM\\SOFTWARE\\QuorCache\\Farm of the 64-bit view (reg add ... /reg:64)",
                         "without a Server, Servers or Sentinels value these are not used: Password"}));
    notes.clear();
    ASSERT_EQ(InterpretFarmValues(FarmRegistryValues(), &settings, &notes), S_OK);
    EXPECT_TRUE(notes.empty());  // no settings at all: no farm, and nothing to say
}

}  // namespace
}  // namespace qc::farm
