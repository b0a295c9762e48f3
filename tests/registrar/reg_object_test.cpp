// CRegObject and the substitution pass: the table, its lookups, and memory
// or conversion failures at every step.
#include "memory_registry.h"
#include "registrar/reg_object.h"
#include "test_text_services.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::registrar::testing {
namespace {

// Fails the allocation with the given ordinal (0 = the next one), once.
class CFailNthAllocation {
public:
    explicit CFailNthAllocation(int ordinal) {
        s_remaining = ordinal;
        s_failed = false;
        qc::platform::SetHeapAllocationHook(&Hook);
    }
    ~CFailNthAllocation() { qc::platform::SetHeapAllocationHook(nullptr); }
    static bool Failed() { return s_failed; }

private:
    static bool Hook(std::size_t) {
        if (s_remaining-- != 0) return true;
        s_failed = true;
        return false;
    }
    static inline int s_remaining = 0;
    static inline bool s_failed = false;
};

std::string Text(CMemoryRegistry& registry, const std::string& path, const std::string& valueName = "") {
    CMemoryRegistry::Value value;
    if (!registry.ReadValue(RootKey::ClassesRoot, path, valueName, &value)) return "<absent>";
    return value.data.substr(0, value.data.size() - 1);
}

TEST(RegObjectTest, SubstitutionTableKeepsOrderAndFindsTheFirstMatch) {
    CTestTextServices text;
    CRegObject registrar(text);
    EXPECT_EQ(registrar.AddSubstitution(nullptr, Utf16("x").c_str()), E_INVALIDARG);
    EXPECT_EQ(registrar.AddSubstitution(Utf16("x").c_str(), nullptr), E_INVALIDARG);
    ASSERT_EQ(registrar.AddSubstitution(Utf16("Name").c_str(), Utf16("first").c_str()), S_OK);
    ASSERT_EQ(registrar.AddSubstitution(Utf16("NAME").c_str(), Utf16("second").c_str()), S_OK);
    ASSERT_EQ(registrar.AddSubstitution(Utf16("").c_str(), Utf16("empty").c_str()), S_OK);

    const WCHAR* found = registrar.FindSubstitution("nAmE", 4);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Utf16String(found), Utf16("first"));
    EXPECT_EQ(registrar.FindSubstitution("Nam", 3), nullptr);
    EXPECT_EQ(registrar.FindSubstitution("Names", 5), nullptr);

    EXPECT_EQ(registrar.ClearSubstitutions(), S_OK);
    EXPECT_EQ(registrar.FindSubstitution("Name", 4), nullptr);
    ASSERT_EQ(registrar.AddSubstitution(Utf16("Name").c_str(), Utf16("again").c_str()), S_OK);
    EXPECT_EQ(Utf16String(registrar.FindSubstitution("name", 4)), Utf16("again"));
}

TEST(RegObjectTest, NamesFoldOnlyCharactersThatStandAlone) {
    // In a double-byte code page "\x81" "a" and "\x81" "A" are two different
    // characters, not one character in two cases.
    CTestTextServices doubleByte(CTestTextServices::CodePage::DoubleByte);
    CRegObject registrar(doubleByte);
    const Utf16String name = {0x81, 'a'};
    ASSERT_EQ(registrar.AddSubstitution(name.c_str(), Utf16("v").c_str()), S_OK);
    EXPECT_NE(registrar.FindSubstitution("\x81" "a", 2), nullptr);
    EXPECT_EQ(registrar.FindSubstitution("\x81" "A", 2), nullptr);
}

TEST(RegObjectTest, ConversionFailuresAreOutOfMemory) {
    CTestTextServices text;
    CMemoryRegistry registry;
    CRegObject registrar(text);
    ASSERT_EQ(registrar.AddSubstitution(Utf16("M").c_str(), Utf16("v").c_str()), S_OK);
    text.FailConversions(true);
    EXPECT_EQ(registrar.AddSubstitution(Utf16("N").c_str(), Utf16("w").c_str()), E_OUTOFMEMORY);
    EXPECT_EQ(registrar.ApplyScript("HKCR { K = s '%M%' }", true, registry), E_OUTOFMEMORY);
    EXPECT_EQ(registrar.ApplyScript("HKCR { K { val D = d '1' } }", true, registry), E_OUTOFMEMORY);
    EXPECT_FALSE(registry.KeyExists(RootKey::ClassesRoot, "K"));
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(RegObjectTest, ExpansionGrowsAcrossManyInsertions) {
    CTestTextServices text;
    CMemoryRegistry registry;
    CRegObject registrar(text);
    const std::string big(3000, 'b');
    ASSERT_EQ(registrar.AddSubstitution(Utf16("big").c_str(), Utf16(big).c_str()), S_OK);
    std::string value;
    std::string script = "HKCR {";
    for (int i = 0; i < 40; ++i) script += " K" + std::to_string(i) + " = s '%BIG%'";
    script += " }";
    ASSERT_EQ(registrar.ApplyScript(script.c_str(), true, registry), S_OK);
    EXPECT_EQ(Text(registry, "K0"), big);
    EXPECT_EQ(Text(registry, "K39"), big);
}

// Every allocation of an application fails in turn: each failure must be
// reported as a failure (never as success), leave no handle open, and leak
// nothing (the sanitizer build checks that).
TEST(RegObjectTest, EveryAllocationFailureIsReported) {
    const std::string script =
        "HKCR { K = s '%M%' { val B = b '0a0b' val M = m 'a\\0b' val D = d '7' } '%M%' }";
    int ordinal = 0;
    for (;; ++ordinal) {
        CTestTextServices text;
        CMemoryRegistry registry;
        HRESULT hr;
        {
            CRegObject registrar(text);
            CFailNthAllocation failure(ordinal);
            hr = registrar.AddSubstitution(Utf16("M").c_str(), Utf16("module").c_str());
            if (SUCCEEDED(hr)) hr = registrar.ApplyScript(script.c_str(), true, registry);
            if (!CFailNthAllocation::Failed()) {
                EXPECT_EQ(hr, S_OK);
                EXPECT_TRUE(registry.KeyExists(RootKey::ClassesRoot, "module"));
                EXPECT_EQ(Text(registry, "K"), "module");
                break;
            }
        }
        EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == E_FAIL) << "allocation " << ordinal << ": " << std::hex << hr;
        EXPECT_FALSE(registry.KeyExists(RootKey::ClassesRoot, "K")) << "allocation " << ordinal;
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
    }
    EXPECT_GE(ordinal, 6);  // name, text, two table slots, expansion, the B, M and D buffers
}

}  // namespace
}  // namespace qc::registrar::testing
