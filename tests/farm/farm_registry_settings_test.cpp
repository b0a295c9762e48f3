// The farm's settings as read from the registry (Windows only). The process
// points HKEY_LOCAL_MACHINE at a scratch key of its own, so that no other
// test in the prefix ever sees these settings.
#include "farm/farm_registry_settings.h"
#include "platform/protected_secret.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace qc::farm {
namespace {

class FarmRegistrySettings : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_machine,
                                    nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine), ERROR_SUCCESS);
    }
    void TearDown() override {
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (m_farm) ::RegCloseKey(m_farm);
        ::RegCloseKey(m_machine);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    }

    void Set(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        if (!m_farm) {
            ASSERT_EQ(::RegCreateKeyExW(m_machine, kFarmSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_farm,
                                        nullptr),
                      ERROR_SUCCESS);
        }
        ASSERT_EQ(::RegSetValueExW(m_farm, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    void SetText(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
        Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void SetNumber(const wchar_t* name, DWORD value) { Set(name, REG_DWORD, &value, sizeof value); }

    static constexpr const wchar_t* kScratch = L"Software\\QuorCacheTests\\FarmRegistrySettings";
    HKEY m_machine = nullptr;
    HKEY m_farm = nullptr;
};

TEST_F(FarmRegistrySettings, NoKeyOrNoServerMeansNoFarm) {
    std::vector<std::string> notes;
    FarmSettings settings;
    settings.host = "left over";
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), S_OK);
    EXPECT_FALSE(settings.HasFarm());

    SetText(L"Caches", L"*");
    SetText(L"Server", L"");
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), S_OK);
    EXPECT_FALSE(settings.HasFarm());
}

TEST_F(FarmRegistrySettings, EveryValueIsReadAndTextsBecomeUtf8) {
    SetText(L"Server", L"redis.example:6380");
    SetText(L"Caches", std::wstring(L"Inbox\0\0Caf\u00E9\0", 12), REG_MULTI_SZ);
    SetText(L"Password", L"s\u00E9cret");
    SetText(L"Prefix", L"site2:");
    SetNumber(L"TimeoutMs", 250);
    SetNumber(L"MaxConnections", 8);
    std::vector<std::string> notes;
    FarmSettings settings;
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), S_OK);
    EXPECT_EQ(settings.host, "redis.example");
    EXPECT_EQ(settings.port, 6380);
    EXPECT_EQ(settings.caches, (std::vector<std::string>{"Inbox", "Caf\xC3\xA9"}));
    EXPECT_EQ(settings.password, "s\xC3\xA9" "cret");
    EXPECT_EQ(settings.prefix, "site2:");
    EXPECT_EQ(settings.timeoutMs, 250u);
    EXPECT_EQ(settings.Endpoint().maxConnections, 8u);
    EXPECT_TRUE(notes.empty());

    // The defaults: port 6379, prefix "quorcache:", a time-out of 0 is 1000;
    // a REG_SZ list is separated by commas.
    SetText(L"Server", L"127.0.0.1");
    SetText(L"Caches", L"*, Inbox");
    SetText(L"Prefix", L"");
    SetNumber(L"TimeoutMs", 0);
    SetNumber(L"MaxConnections", 0);
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), S_OK);
    EXPECT_EQ(settings.port, FarmSettings::kDefaultPort);
    EXPECT_EQ(settings.caches, (std::vector<std::string>{"*", "Inbox"}));
    EXPECT_TRUE(settings.IsFarmCache("anything"));
    EXPECT_EQ(settings.prefix, "quorcache:");
    EXPECT_EQ(settings.timeoutMs, FarmSettings::kDefaultTimeoutMs);
    EXPECT_EQ(settings.maxConnections, FarmSettings::kDefaultMaxConnections);
}

TEST_F(FarmRegistrySettings, SentinelsAreReadInsteadOfServer) {
    SetText(L"Server", L"127.0.0.1:6379");
    SetText(L"Caches", L"*");
    SetText(L"Sentinels", std::wstring(L"10.0.0.1:26380\0s2\0", 18), REG_MULTI_SZ);
    SetText(L"MasterName", L"site");
    SetText(L"SentinelPassword", L"s\u00E9cret");
    std::vector<std::string> notes;
    FarmSettings settings;
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), S_OK);
    EXPECT_EQ(settings.ServerText(), "the primary of 'site' named by the sentinels 10.0.0.1:26380, s2:26379");
    EXPECT_EQ(settings.sentinelPassword, "s\xC3\xA9" "cret");
    EXPECT_EQ(notes, std::vector<std::string>{"Server is not used: the primary is the one the Sentinels name"});
}

// Wine's data protection keeps its keys under HKEY_LOCAL_MACHINE, which the
// fixture points elsewhere: protecting and unprotecting see the real one.
class WithTheMachinesKey {
public:
    WithTheMachinesKey() { ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }
    ~WithTheMachinesKey() { ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, s_scratch); }
    static inline HKEY s_scratch = nullptr;
};
HRESULT Protect(std::string_view secret, std::vector<unsigned char>* blob) {
    WithTheMachinesKey machine;
    return platform::ProtectSecret(secret, blob);
}
HRESULT Unprotect(const std::vector<unsigned char>& blob, std::string* secret) {
    WithTheMachinesKey machine;
    return platform::UnprotectSecret(blob, secret);
}

// As an administrator stores it safely: protected for this machine, which
// this process is.
TEST_F(FarmRegistrySettings, APasswordProtectedForThisMachineIsReadAndADamagedOneRefused) {
    WithTheMachinesKey::s_scratch = m_machine;
    SetText(L"Server", L"127.0.0.1:6379");
    SetText(L"Caches", L"*");
    SetText(L"User", L"app");
    std::vector<unsigned char> blob;
    ASSERT_EQ(Protect("s\xC3\xA9" "cret", &blob), S_OK);
    Set(L"Password", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    std::vector<std::string> notes;
    FarmSettings settings;
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes, Unprotect), S_OK);
    EXPECT_EQ(settings.user, "app");
    EXPECT_TRUE(settings.password == "s\xC3\xA9" "cret");
    EXPECT_TRUE(notes.empty()) << ::testing::PrintToString(notes);

    // A sentinels' password alike; the data servers' stays a REG_SZ.
    SetText(L"Sentinels", L"s1");
    SetText(L"MasterName", L"site");
    SetText(L"Password", L"plain");
    ASSERT_EQ(Protect("watch", &blob), S_OK);
    Set(L"SentinelPassword", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    ASSERT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes, Unprotect), S_OK);
    EXPECT_TRUE(settings.sentinelPassword == "watch");
    EXPECT_TRUE(settings.password == "plain");

    // Cut short: refused, with the value and the failure named and nothing
    // of the password.
    Set(L"SentinelPassword", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size() / 2));
    notes.clear();
    settings.host = "unchanged";
    EXPECT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes, Unprotect), E_INVALIDARG);
    EXPECT_EQ(settings.host, "unchanged");
    ASSERT_EQ(notes.size(), 2u) << ::testing::PrintToString(notes);
    EXPECT_EQ(notes[1].rfind("SentinelPassword is a REG_BINARY that cannot be unprotected on this machine (0x", 0), 0u)
        << notes[1];
    EXPECT_EQ(notes[1].find("watch"), std::string::npos);
}

TEST_F(FarmRegistrySettings, AValueThatCannotBeUsedIsAnErrorAndChangesNothing) {
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::wstring text;
    };
    const Case kCases[] = {
        {L"Server", REG_SZ, L"host:port"},     {L"Server", REG_DWORD, L"x"},  {L"Prefix", REG_SZ, L"a{b}:"},
        {L"Password", REG_MULTI_SZ, L"a\0b"},  {L"TimeoutMs", REG_SZ, L"500 ms"},
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(&sample - kCases));
        SetText(L"Server", L"127.0.0.1:6379");
        SetText(L"Caches", L"*");
        ::RegDeleteValueW(m_farm, L"Prefix");
        ::RegDeleteValueW(m_farm, L"Password");
        ::RegDeleteValueW(m_farm, L"TimeoutMs");
        SetText(sample.name, sample.text, sample.type);
        std::vector<std::string> notes;
        FarmSettings settings;
        settings.host = "unchanged";
        EXPECT_EQ(ReadFarmSettingsFromRegistry(&settings, &notes), E_INVALIDARG);
        EXPECT_EQ(settings.host, "unchanged");
        EXPECT_EQ(notes.size(), 1u) << ::testing::PrintToString(notes);
    }
}

}  // namespace
}  // namespace qc::farm
