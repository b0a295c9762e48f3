// What the farm's registry values come to, and what the log is told of them:
// the mistakes an administrator makes, each read as meant or refused with a
// line naming the value and why.
#include "farm/farm_registry_values.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace qc::farm {
namespace {

using registry_type::kDword;
using registry_type::kMultiSz;
using registry_type::kSz;
constexpr DWORD kBinary = 3, kQword = 11;

RegistryValue Text(std::u16string_view text, DWORD type = kSz) {
    RegistryValue value{true, type, {}};
    for (const char16_t unit : text) value.bytes.insert(value.bytes.end(), {static_cast<unsigned char>(unit & 0xFF),
                                                                           static_cast<unsigned char>(unit >> 8)});
    value.bytes.insert(value.bytes.end(), {0, 0});
    return value;
}
RegistryValue Number(DWORD number, DWORD type = kDword) {
    return RegistryValue{true, type, {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                                      static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)}};
}

struct Interpreted {
    HRESULT hr = E_UNEXPECTED;
    FarmSettings settings;
    std::vector<std::string> notes;
};

// A working farm's Server and Caches, with `changed` put over them (a value
// not present takes one out).
Interpreted Interpret(std::vector<std::pair<FarmValue, RegistryValue>> changed, bool withBase = true) {
    FarmRegistryValues values;
    if (withBase) {
        values[FarmValue::Server] = Text(u"127.0.0.1:6379");
        values[FarmValue::Caches] = Text(u"*");
    }
    for (auto& [which, value] : changed) values[which] = std::move(value);
    Interpreted out;
    out.settings.host = "unchanged";
    out.hr = InterpretFarmValues(values, &out.settings, &out.notes);
    return out;
}

TEST(FarmRegistryValues, MistakesThatAreSafeAreReadAsMeant) {
    struct Case {
        FarmValue which;
        RegistryValue value;
        std::vector<std::string> caches;
        DWORD timeoutMs;
        std::vector<std::string> notes;
    };
    const std::vector<std::string> all = {"*"};
    const Case kCases[] = {
        {FarmValue::Caches, Text(u" Sessions, Carts ;Cart Items;; "), {"Sessions", "Carts", "Cart Items"}, 1000, {}},
        {FarmValue::Caches, Text(std::u16string_view(u" Sessions \0\0Carts\0", 18), kMultiSz), {"Sessions", "Carts"},
         1000, {}},
        {FarmValue::Caches, Text(u"Sessions,Carts", kMultiSz), {"Sessions,Carts"}, 1000,
         {"Caches 'Sessions,Carts' is one name: the entries of a REG_MULTI_SZ are not split"}},
        {FarmValue::TimeoutMs, Text(u" 250 "), all, 250, {}},
        {FarmValue::TimeoutMs, Text(u"0"), all, 1000, {}},
        {FarmValue::TimeoutMs, Number(30000), all, 30000, {}},
        {FarmValue::TimeoutMs, Number(0xFFFFFFFF), all, 30000, {"TimeoutMs 4294967295 is held to 30000"}},
        {FarmValue::TimeoutMs, Text(u"123456789012345678901234567890"), all, 30000,
         {"TimeoutMs 123456789012345678901234567890 is held to 30000"}},
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(testing::Message() << "case " << (&sample - kCases));
        const Interpreted read = Interpret({{sample.which, sample.value}});
        EXPECT_EQ(read.hr, S_OK);
        EXPECT_EQ(read.settings.caches, sample.caches);
        EXPECT_EQ(read.settings.timeoutMs, sample.timeoutMs);
        EXPECT_EQ(read.notes, sample.notes);
    }

    for (const auto& [url, host, port] : {std::tuple{u"redis://cache.example:6380/0", "cache.example", 6380},
                                          std::tuple{u" REDIS://[::1]/ ", "::1", 6379}}) {
        const Interpreted read = Interpret({{FarmValue::Server, Text(url)}});
        EXPECT_EQ(read.hr, S_OK);
        EXPECT_EQ(read.settings.host, host);
        EXPECT_EQ(read.settings.port, port);
    }
}

TEST(FarmRegistryValues, AValueThatCannotBeUsedIsNamedWithWhyAndKeepsEveryCacheInProcess) {
    const std::pair<std::pair<FarmValue, RegistryValue>, const char*> kCases[] = {
        {{FarmValue::Server, Text(u"redis1:notaport")}, "Server 'redis1:notaport': the port is not a number"},
        {{FarmValue::Server, Text(u"redis1:70000")}, "Server 'redis1:70000': the port is not 1 to 65535"},
        {{FarmValue::Server, Text(u"redis1:")}, "Server 'redis1:': the port after the colon is missing"},
        {{FarmValue::Server, Text(u" :6379")}, "Server ' :6379': the host is missing"},
        {{FarmValue::Server, Text(u"[::1")}, "Server '[::1': the ']' closing the IPv6 address is missing"},
        {{FarmValue::Server, Text(u"rediss://h:6380")}, "Server 'rediss://h:6380': TLS (rediss://) is not supported"},
        {{FarmValue::Server, Text(u"redis://u:secret@h")},
         "Server 'redis://...@h': a user or password in the URL is not supported"},
        {{FarmValue::Server, Text(u"redis://h:6379/3")},
         "Server 'redis://h:6379/3': only database 0 (or none) may follow the host in the URL"},
        {{FarmValue::Server, Text(u"http://h")}, "Server 'http://h': a URL must start with redis://"},
        {{FarmValue::Server, Number(1)}, "Server has the type REG_DWORD; it must be REG_SZ"},
        {{FarmValue::Caches, Number(1, kBinary)}, "Caches has the type REG_BINARY; it must be REG_MULTI_SZ or REG_SZ"},
        {{FarmValue::Password, Text(u"a", kMultiSz)}, "Password has the type REG_MULTI_SZ; it must be REG_SZ"},
        {{FarmValue::Prefix, Text(u"site{2}:")}, "Prefix 'site{2}:': it may hold no brace"},
        {{FarmValue::TimeoutMs, Text(u"5s")}, "TimeoutMs '5s': it must be a number of milliseconds"},
        {{FarmValue::TimeoutMs, Text(u"-1")}, "TimeoutMs '-1': it must be a number of milliseconds"},
        {{FarmValue::TimeoutMs, Number(500, kQword)}, "TimeoutMs has the type REG_QWORD; it must be REG_DWORD or REG_SZ"},
        {{FarmValue::TimeoutMs, RegistryValue{true, kDword, {1, 2}}}, "TimeoutMs is a REG_DWORD of 2 bytes"},
    };
    for (const auto& [value, line] : kCases) {
        const Interpreted read = Interpret({value});
        EXPECT_EQ(read.hr, E_INVALIDARG) << line;
        EXPECT_EQ(read.settings.host, "unchanged") << line;
        EXPECT_EQ(read.notes, std::vector<std::string>{line});
    }

    // Every problem is named at once, and a long or odd text is cut for the log.
    const Interpreted read = Interpret({{FarmValue::Prefix, Text(u"\x01{" + std::u16string(70, u'\u00E9'))},
                                        {FarmValue::TimeoutMs, Text(u"1e3")}});
    EXPECT_EQ(read.hr, E_INVALIDARG);
    std::string cut = "Prefix '?{";
    for (int count = 0; count < 31; ++count) cut += "\xC3\xA9";
    EXPECT_EQ(read.notes, (std::vector<std::string>{cut + "...': it may hold no brace",
                                                    "TimeoutMs '1e3': it must be a number of milliseconds"}));
}

TEST(FarmRegistryValues, SettingsThatShareNothingSaySo) {
    // A Server without caches: a farm that keeps nothing.
    for (RegistryValue caches : {RegistryValue(), Text(u""), Text(u" ; , "), Text(u"", kMultiSz)}) {
        const Interpreted read = Interpret({{FarmValue::Caches, caches}});
        EXPECT_EQ(read.hr, S_OK);
        EXPECT_EQ(read.settings.host, "127.0.0.1");
        EXPECT_TRUE(read.settings.caches.empty());
        EXPECT_EQ(read.notes, std::vector<std::string>{
                                  "Server is set but Caches is missing or empty: no cache is kept on the farm"});
    }

    // Values without a Server; nothing at all is no farm, silently.
    Interpreted read = Interpret({{FarmValue::Server, Text(u"")}, {FarmValue::Prefix, Text(u"site:")}});
    EXPECT_EQ(read.hr, S_OK);
    EXPECT_FALSE(read.settings.HasFarm());
    EXPECT_EQ(read.notes, std::vector<std::string>{"without a Server value these are not used: Caches, Prefix"});
    read = Interpret({}, false);
    EXPECT_EQ(read.hr, S_OK);
    EXPECT_FALSE(read.settings.HasFarm());
    EXPECT_TRUE(read.notes.empty());

    // Values that a 32-bit reg.exe put into the 32-bit view; those the
    // 64-bit view holds too are its own.
    FarmRegistryValues values;
    values[FarmValue::Password] = Text(u"secret");
    values.in32BitView = {true, true, true, false, false};
    std::vector<std::string> notes;
    FarmSettings settings;
    ASSERT_EQ(InterpretFarmValues(values, &settings, &notes), S_OK);
    EXPECT_FALSE(settings.HasFarm());
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "the 32-bit registry view holds Server, Caches; settings there are not used: they "
                         "belong in HKLM\\SOFTWARE\\QuorCache\\Farm of the 64-bit view (reg add ... /reg:64)",
                         "without a Server value these are not used: Password"}));
}

}  // namespace
}  // namespace qc::farm
