// The interpreter against failures only the in-memory registry can provoke,
// a double-byte code page, and scripts outside what registration writes.
#include "memory_registry.h"
#include "registrar/reg_object.h"
#include "test_text_services.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::registrar::testing {
namespace {

class RegistryScriptParserTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(m_registry.OpenHandleCount(), 0u) << "registry keys left open"; }

    HRESULT Register(const std::string& script) { return Apply(script, true); }
    HRESULT Unregister(const std::string& script) { return Apply(script, false); }
    HRESULT Apply(const std::string& script, bool doRegister) {
        CRegObject registrar(m_text);
        return registrar.ApplyScript(script.c_str(), doRegister, m_registry);
    }
    bool Exists(const std::string& path) const { return m_registry.KeyExists(RootKey::ClassesRoot, path); }
    bool HasValue(const std::string& path, const std::string& name) const {
        CMemoryRegistry::Value value;
        return m_registry.ReadValue(RootKey::ClassesRoot, path, name, &value);
    }
    void Put(const std::string& path, const std::string& name = "", const std::string& text = "v") {
        m_registry.PutString(RootKey::ClassesRoot, path, name, text);
    }

    CTestTextServices m_text;
    CMemoryRegistry m_registry;
};

TEST_F(RegistryScriptParserTest, RegisterReportsRegistryFailuresAndRollsBack) {
    m_registry.FailCall(CMemoryRegistry::Call::Create, "Refused", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Register("HKCR { First { Refused } }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Exists("First"));

    m_registry.FailCall(CMemoryRegistry::Call::SetValue, "Unwritable", ERROR_KEY_DELETED);
    EXPECT_EQ(Register("HKCR { Unwritable = s 'v' }"), HRESULT_FROM_WIN32(ERROR_KEY_DELETED));
    EXPECT_FALSE(Exists("Unwritable"));
}

TEST_F(RegistryScriptParserTest, KeysThatCannotBeWrittenAreOpenedReadOnly) {
    Put("ReadOnly\\Child");
    m_registry.DenyWrite(RootKey::ClassesRoot, "ReadOnly");
    EXPECT_EQ(Register("HKCR { ReadOnly { Child = s 'new' } }"), S_OK);
    EXPECT_EQ(Register("HKCR { ReadOnly = s 'x' }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Register("HKCR { ReadOnly { NewChild } }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists("ReadOnly\\Child"));
}

TEST_F(RegistryScriptParserTest, ARegistryOutOfRoomFailsTheRegistration) {
    CMemoryRegistry small(CMemoryRegistry::Limits{3, 16, 512});
    CRegObject registrar(m_text);
    EXPECT_EQ(registrar.ApplyScript("HKCR { A { B { C { D } } } }", true, small), E_OUTOFMEMORY);
    EXPECT_EQ(registrar.ApplyScript("HKCR { A = s '0123456789abcdefXYZ' }", true, small), E_OUTOFMEMORY);
    EXPECT_EQ(small.KeyCount(), 0u);
    EXPECT_EQ(small.OpenHandleCount(), 0u);
}

TEST_F(RegistryScriptParserTest, UnregisterReportsRegistryFailures) {
    const std::string script = "HKCR { K { val X = s 'v' } }";
    struct Case {
        CMemoryRegistry::Call call;
        LONG error;
    };
    for (const Case& failure : {Case{CMemoryRegistry::Call::Close, ERROR_INVALID_HANDLE},
                                Case{CMemoryRegistry::Call::DeleteKey, ERROR_ACCESS_DENIED},
                                Case{CMemoryRegistry::Call::DeleteValue, ERROR_ACCESS_DENIED}}) {
        CMemoryRegistry registry;
        registry.PutString(RootKey::ClassesRoot, "K", "X", "v");
        registry.FailCall(failure.call, "K", failure.error);
        CRegObject registrar(m_text);
        EXPECT_EQ(registrar.ApplyScript(script.c_str(), false, registry), HRESULT_FROM_WIN32(failure.error));
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
    }

    // Values cannot be deleted from a key that cannot be opened for writing.
    Put("K", "X");
    m_registry.DenyWrite(RootKey::ClassesRoot, "K");
    EXPECT_EQ(Unregister(script), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(HasValue("K", "X"));
}

TEST_F(RegistryScriptParserTest, AKeyThatCannotBeOpenedEndsTheWalkAfterItsBlock) {
    Put("K\\Sub", "X");
    Put("After");
    m_registry.FailCall(CMemoryRegistry::Call::Open, "K", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Unregister("HKCR { K { Sub { val X = s 'v' } } After }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(HasValue("K\\Sub", "X"));
    EXPECT_TRUE(Exists("After"));
}

TEST_F(RegistryScriptParserTest, KeysWhoseSubkeysCannotBeCountedAreKept) {
    Put("K");
    m_registry.FailCall(CMemoryRegistry::Call::QueryInfo, "K", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Unregister("HKCR { K }"), S_OK);
    EXPECT_TRUE(Exists("K"));
}

TEST_F(RegistryScriptParserTest, ForceRemoveStopsAtASubkeyItCannotDelete) {
    Put("Foo\\Locked\\Inner");
    Put("Foo\\Free");
    m_registry.DenyWrite(RootKey::ClassesRoot, "Foo\\Locked");
    EXPECT_EQ(Register("HKCR { ForceRemove Foo { Bar } }"), S_OK);
    EXPECT_TRUE(Exists("Foo\\Locked\\Inner"));
    EXPECT_TRUE(Exists("Foo\\Bar"));
}

TEST_F(RegistryScriptParserTest, ABlockAfterADeleteOrValueEntryHasNoParentKey) {
    Put("Previous");
    // Registering: nothing in such a block can be written anywhere.
    EXPECT_EQ(Register("HKCR { Previous Delete Foo { Bar } }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(Exists("Previous\\Bar"));
    EXPECT_FALSE(Exists("Bar"));
    EXPECT_EQ(Register("HKCR { Previous { } K { val X = s 'v' { Inner } } }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(Exists("K"));
    EXPECT_EQ(Register("HKCR { Previous Delete Foo { } }"), S_OK);

    // Unregistering reads the block over, and the entries after it stay at
    // their own level.
    Put("K", "X");
    Put("Sibling");
    Put("Inner");
    EXPECT_EQ(Unregister("HKCR { K { val X = s 'v' { Inner } } Sibling }"), S_OK);
    EXPECT_FALSE(Exists("K"));
    EXPECT_FALSE(Exists("Sibling"));
    EXPECT_TRUE(Exists("Inner"));
}

TEST_F(RegistryScriptParserTest, ASyntaxErrorBelowAnAbsentKeyStillEndsTheWalk) {
    Put("Present");
    EXPECT_EQ(Unregister("HKCR { Absent { val X s } Present }"), DISP_E_EXCEPTION);
    EXPECT_TRUE(Exists("Present"));
}

TEST_F(RegistryScriptParserTest, OverlongKeyNamesAreAbsentWhenUnregistering) {
    EXPECT_EQ(Unregister("HKCR { " + std::string(300, 'k') + " { val X = s 'v' } }"), S_OK);
}

// Each of the 14 names (any letter case) writes below its own root key and
// no other.
TEST_F(RegistryScriptParserTest, EveryRootKeyNameMapsToItsKey) {
    struct Name {
        const char* name;
        RootKey root;
    };
    const Name names[] = {
        {"HKCR", RootKey::ClassesRoot},          {"HKCU", RootKey::CurrentUser},
        {"HKLM", RootKey::LocalMachine},         {"HKU", RootKey::Users},
        {"HKPD", RootKey::PerformanceData},      {"HKDD", RootKey::DynData},
        {"HKCC", RootKey::CurrentConfig},        {"hkey_classes_root", RootKey::ClassesRoot},
        {"HKEY_CURRENT_USER", RootKey::CurrentUser}, {"HKEY_LOCAL_MACHINE", RootKey::LocalMachine},
        {"HKEY_USERS", RootKey::Users},          {"HKEY_PERFORMANCE_DATA", RootKey::PerformanceData},
        {"HKEY_DYN_DATA", RootKey::DynData},     {"Hkey_Current_Config", RootKey::CurrentConfig},
    };
    for (const Name& name : names) {
        const std::string key = std::string("K-") + name.name;
        ASSERT_EQ(Register(std::string(name.name) + " { '" + key + "' }"), S_OK) << name.name;
        for (int root = 0; root <= static_cast<int>(RootKey::CurrentConfig); ++root) {
            EXPECT_EQ(m_registry.KeyExists(static_cast<RootKey>(root), key), static_cast<RootKey>(root) == name.root)
                << name.name << " in root " << root;
        }
    }
}

class DoubleByteScriptTest : public RegistryScriptParserTest {
protected:
    DoubleByteScriptTest() { m_text = CTestTextServices(CTestTextServices::CodePage::DoubleByte); }
};

// 0x81 0x5C is one character whose trail byte has the value of "\".
TEST_F(DoubleByteScriptTest, TrailBytesAreNeverTakenForSyntax) {
    EXPECT_EQ(Register("HKCR { '\x81\x5c' K = m 'a\x81\x5c" "0b' }"), S_OK);
    EXPECT_EQ(m_registry.SubKeyNames(RootKey::ClassesRoot, ""), (std::vector<std::string>{"\x81\x5c", "K"}));
    CMemoryRegistry::Value value;
    ASSERT_TRUE(m_registry.ReadValue(RootKey::ClassesRoot, "K", "", &value));
    EXPECT_EQ(value.data, std::string("a\x81\x5c" "0b\0\0", 7));
    EXPECT_EQ(Unregister("HKCR { '\x81\x5c' }"), S_OK);
    EXPECT_EQ(m_registry.SubKeyNames(RootKey::ClassesRoot, ""), (std::vector<std::string>{"K"}));

    // A lead byte right before the end of the text counts alone.
    EXPECT_EQ(Register("HKCR { K = s \x81"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { K = s '\x81"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { K = s '%\x81"), DISP_E_EXCEPTION);
}

TEST_F(DoubleByteScriptTest, TokensAreCutOnlyAtWholeCharacters) {
    // 2047 two-byte characters fill 4094 bytes; one single byte more does not fit.
    std::string longest;
    for (int i = 0; i < 2047; ++i) longest += "\x81\x41";
    EXPECT_EQ(Register("HKCR { K { val V = s '" + longest + "' } }"), S_OK);
    EXPECT_EQ(Register("HKCR { K { val V = s '" + longest + "a' } }"), DISP_E_EXCEPTION);
    // A single byte in front leaves one byte, too little for the last one.
    EXPECT_EQ(Register("HKCR { K { val V = s 'a" + longest + "' } }"), DISP_E_EXCEPTION);
}

}  // namespace
}  // namespace qc::registrar::testing
