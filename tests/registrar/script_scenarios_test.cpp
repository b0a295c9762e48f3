// Scripts applied and reverted against the program's registry backend: the
// language's tokens, keywords, value types, substitutions, failures and
// rollback.
#include "registrar/registry_script_parser.h"
#include "script_test_fixture.h"

#include <cctype>
#include <string>

namespace qc::registrar::testing {
namespace {

using ScriptScenarioTest = ScriptTest;

TEST_F(ScriptScenarioTest, QuotedTokensKeepWhiteSpaceAndDoubledQuotes) {
    ASSERT_EQ(Register("HKCR { 'a b' = s 'it''s' }"), S_OK);
    EXPECT_EQ(Text("a b"), "it's");
    ASSERT_EQ(Register("HKCR\r\n{\r\n\tK = s ''''\r\n\t'x''''y'\r\n}\r\n"), S_OK);
    EXPECT_EQ(Text("K"), "'");
    EXPECT_TRUE(Exists("x''y"));
}

TEST_F(ScriptScenarioTest, RootBlockOpensWithAnyTokenStartingWithABrace) {
    EXPECT_EQ(Register("HKCR{ x }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists("x"));
    EXPECT_EQ(Register("HKCR {x }"), S_OK);
    EXPECT_FALSE(Exists("x"));
    EXPECT_TRUE(m_backend->SubKeyNames("").empty());
}

TEST_F(ScriptScenarioTest, NamesAndKeywordsIgnoreCase) {
    ASSERT_EQ(Register("hkey_classes_root { noremove Foo { VAL x = S 'y' } }"), S_OK);
    EXPECT_EQ(Text("Foo", "x"), "y");
    ASSERT_EQ(Unregister("HkCr { FOO { val X = s 'y' } }"), S_OK);
    EXPECT_FALSE(Exists("Foo"));
}

TEST_F(ScriptScenarioTest, ForceRemoveSparesProtectedKeysButStillOpensThem) {
    m_backend->PutString("CLSID\\Other", "", "theirs");
    ASSERT_EQ(Register("HKCR { ForceRemove CLSID { Mine } ForceRemove clsid { Also } }"), S_OK);
    EXPECT_EQ(Text("CLSID\\Other"), "theirs");
    EXPECT_TRUE(Exists("CLSID\\Mine"));
    EXPECT_TRUE(Exists("CLSID\\Also"));
}

TEST_F(ScriptScenarioTest, ForceRemoveDeletesTheWholeSubtreeBeforeRecreating) {
    m_backend->PutString("Foo\\Old\\Deep", "v", "1");
    m_backend->PutString("Foo", "stale", "2");
    ASSERT_EQ(Register("HKCR { ForceRemove Foo { Bar } }"), S_OK);
    EXPECT_FALSE(Exists("Foo\\Old"));
    EXPECT_EQ(Text("Foo", "stale"), "<absent>");
    EXPECT_TRUE(Exists("Foo\\Bar"));
}

TEST_F(ScriptScenarioTest, DeleteRemovesSubtreesOnlyWhenRegistering) {
    m_backend->CreateKey("Foo\\Sub");
    ASSERT_EQ(Register("HKCR { Delete Foo = s 'ignored' Kept }"), S_OK);
    EXPECT_FALSE(Exists("Foo"));
    EXPECT_TRUE(Exists("Kept"));

    // Unregistering treats it as a plain key: removed only when it is empty.
    m_backend->CreateKey("Foo\\Sub");
    ASSERT_EQ(Unregister("HKCR { Delete Foo }"), S_OK);
    EXPECT_TRUE(Exists("Foo\\Sub"));
    ASSERT_EQ(Unregister("HKCR { Foo { Delete Sub } }"), S_OK);
    EXPECT_FALSE(Exists("Foo"));
}

// Every protected name, in any letter case, survives both ForceRemove and
// Delete with what other programs keep below it.
TEST_F(ScriptScenarioTest, ForceRemoveAndDeleteNeverRemoveProtectedKeys) {
    const char* const protectedNames[] = {"AppID", "CLSID",   "Component Categories", "FileType",
                                          "Interface", "Hardware", "Mime", "SAM",
                                          "SECURITY", "SYSTEM",  "Software", "TypeLib"};
    for (const char* name : protectedNames) {
        SCOPED_TRACE(name);
        std::string lower = name, upper = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        m_backend->CreateKey(std::string(name) + "\\Theirs");
        ASSERT_EQ(Register("HKCR { ForceRemove '" + lower + "' { Mine } Delete '" + upper + "' }"), S_OK);
        EXPECT_TRUE(Exists(std::string(name) + "\\Theirs"));
        EXPECT_TRUE(Exists(std::string(name) + "\\Mine"));
    }
}

TEST_F(ScriptScenarioTest, UnregisterKeepsNoRemoveKeysAndKeysWithForeignSubkeys) {
    const std::string script = "HKCR { NoRemove CLSID { ForceRemove {x} = s 'y' { Inner } } }";
    ASSERT_EQ(Register(script), S_OK);
    ASSERT_EQ(Unregister(script), S_OK);
    EXPECT_TRUE(Exists("CLSID"));
    EXPECT_FALSE(Exists("CLSID\\{x}"));

    ASSERT_EQ(Register(script), S_OK);
    m_backend->CreateKey("CLSID\\{x}\\Foreign");
    ASSERT_EQ(Unregister(script), S_OK);
    EXPECT_TRUE(Exists("CLSID\\{x}\\Foreign"));
    EXPECT_FALSE(Exists("CLSID\\{x}\\Inner"));
}

TEST_F(ScriptScenarioTest, UnregisteringAbsentKeysSucceedsAndTouchesNothing) {
    m_backend->PutString("", "X", "root value");
    ASSERT_EQ(Unregister("HKCR { Absent { val X = s 'v' Sub { val X = s 'w' } } }"), S_OK);
    EXPECT_EQ(Text("", "X"), "root value");
    EXPECT_FALSE(Exists("Absent"));
}

TEST_F(ScriptScenarioTest, ValueEntriesInUnregisterMode) {
    ASSERT_EQ(Register("HKCR { NoRemove K { val X = s 'v' NoRemove val Y = s 'w' } }"), S_OK);
    m_backend->PutString("K", "X", "changed since");
    ASSERT_EQ(Unregister("HKCR { NoRemove K { val X = s 'v' NoRemove val Y = s 'w' val Missing = s 'm' } }"), S_OK);
    EXPECT_EQ(Text("K", "X"), "<absent>");
    EXPECT_EQ(Text("K", "Y"), "w");
}

TEST_F(ScriptScenarioTest, ValueTypesAreEncodedAsTheRegistryStoresThem) {
    ASSERT_EQ(Register("HKCR { T { val D1 = d '12' val B1 = b '0aFF' val B2 = b '' val B3 = B 'zz' "
                       "val M1 = m 'a\\0b' val M2 = M 'x\\y' val S1 = S '' } }"),
              S_OK);
    const StoredValue d1 = Value("T", "D1");
    EXPECT_EQ(d1.type, kRegDword);
    EXPECT_EQ(d1.data, std::string("\x0c\0\0\0", 4));
    const StoredValue b1 = Value("T", "B1");
    EXPECT_EQ(b1.type, kRegBinary);
    EXPECT_EQ(b1.data, "\x0a\xff");
    EXPECT_EQ(Value("T", "B2").data, "");
    EXPECT_EQ(Value("T", "B3").data, std::string(1, '\0'));
    const StoredValue m1 = Value("T", "M1");
    EXPECT_EQ(m1.type, kRegMultiString);
    EXPECT_EQ(m1.data, std::string("a\0b\0\0", 5));
    EXPECT_EQ(Value("T", "M2").data, std::string("x\\y\0\0", 5));
    EXPECT_EQ(Value("T", "S1").data, std::string(1, '\0'));
}

// What the number conversion rejects (words, nothing, too much for 32
// bits, a sign) is stored as 0 rather than failing the script.
TEST_F(ScriptScenarioTest, ADwordTheConversionRejectsIsStoredAsZero) {
    ASSERT_EQ(Register("HKCR { T { val W = d 'twelve' val E = d '' val O = d '99999999999' val N = d '-1' } }"),
              S_OK);
    for (const char* name : {"W", "E", "O", "N"}) {
        const StoredValue value = Value("T", name);
        EXPECT_EQ(value.type, kRegDword) << name;
        EXPECT_EQ(value.data, std::string(4, '\0')) << name;
    }
}

TEST_F(ScriptScenarioTest, OddBinaryTextFailsAndRollsItsBlockBack) {
    EXPECT_EQ(Register("HKCR { T { val X = b 'abc' } }"), E_FAIL);
    EXPECT_FALSE(Exists("T"));
}

TEST_F(ScriptScenarioTest, SubstitutionsExpandBeforeParsing) {
    AddSubstitution("Module", Utf16("C:\\dir\\it''s.dll"));
    AddSubstitution("Pct", Utf16("%NOSUCH%"));
    ASSERT_EQ(Register("HKCR { S = s '%module%' { val Q = s '100%%' val R = s '%PCT%' } }"), S_OK);
    EXPECT_EQ(Text("S"), "C:\\dir\\it's.dll");
    EXPECT_EQ(Text("S", "Q"), "100%");
    EXPECT_EQ(Text("S", "R"), "%NOSUCH%");  // inserted text is not scanned again

    EXPECT_EQ(Register("HKCR { U = s '%NOSUCH%' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { U = s '%" + std::string(31, 'n') + "%' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { U = s '%" + std::string(32, 'n') + "%' }"), E_FAIL);
    EXPECT_EQ(Register("HKCR { U = s '%module' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { U = s 'end' } %"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists("U"));
}

TEST_F(ScriptScenarioTest, SyntaxErrorsFailWithDispatchException) {
    const char* const inBothModes[] = {
        "HKCR {",                       // unexpected end of text
        "HKCR { K = s 'open }",         // unterminated quote
        "HKXX { }",                     // unknown root key
        "HKCR K { }",                   // root block not opened by "{"
        "HKCR { val X s 'v' }",         // missing "=" after a value name
        "HKCR { 'A\\B' }",              // backslash in a key name
        "HKCR { ForceRemove 'A\\B' }",  // ... also after ForceRemove
        "HKCR { '' }",                  // an empty key name would name the parent itself
        "HKCR { ForceRemove '' }",
    };
    for (const char* script : inBothModes) {
        EXPECT_EQ(Register(script), DISP_E_EXCEPTION) << script;
        EXPECT_EQ(Unregister(script), DISP_E_EXCEPTION) << script;
    }
    // Unregistering reads over a value's type without looking at it.
    for (const char* script : {"HKCR { K = z 'v' }", "HKCR { K { val V = sz 'v' } }"}) {
        EXPECT_EQ(Register(script), DISP_E_EXCEPTION) << script;
        EXPECT_EQ(Unregister(script), S_OK) << script;
    }
    EXPECT_EQ(Register("HKCR { K { val V = s '" + std::string(4095, 'a') + "' } }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register("HKCR { K { val V = s " + std::string(4095, 'a') + " } }"), DISP_E_EXCEPTION);
}

TEST_F(ScriptScenarioTest, TokensHoldUpTo4094Bytes) {
    const std::string longest(4094, 'v');
    ASSERT_EQ(Register("HKCR { K { val V = s '" + longest + "' val W = s " + longest + " } }"), S_OK);
    EXPECT_EQ(Text("K", "V"), longest);
    EXPECT_EQ(Text("K", "W"), longest);
}

TEST_F(ScriptScenarioTest, FailingRootBlockRollsBackOnlyItself) {
    m_backend->CreateKey("Shared\\Foreign");
    EXPECT_EQ(Register("HKCR { First = s '1' }\r\n"
                       "HKCR { Shared { Mine } Second = s '2' { Third { val X = b 'abc' } } }\r\n"
                       "HKCR { Never }"),
              E_FAIL);
    EXPECT_EQ(Text("First"), "1");
    EXPECT_FALSE(Exists("Second"));
    EXPECT_FALSE(Exists("Shared\\Mine"));
    EXPECT_TRUE(Exists("Shared\\Foreign"));
    EXPECT_FALSE(Exists("Never"));
}

TEST_F(ScriptScenarioTest, EmptyScriptsSucceed) {
    EXPECT_EQ(Register(""), S_OK);
    EXPECT_EQ(Unregister(" \t\r\n"), S_OK);
    EXPECT_EQ(Register("HKCR { } HKCR { }"), S_OK);
}

std::string NestedScript(int blocks) {
    std::string script = "HKCR {";
    for (int i = 1; i < blocks; ++i) script += " K {";
    for (int i = 0; i < blocks; ++i) script += " }";
    return script;
}

std::string NestedPath(int keys) {
    std::string path = "K";
    for (int i = 1; i < keys; ++i) path += "\\K";
    return path;
}

TEST_F(ScriptScenarioTest, NestingDepthIsLimited) {
    constexpr int kDepth = RegistryScriptParser::kMaxBlockDepth;
    ASSERT_EQ(Register(NestedScript(kDepth)), S_OK);
    EXPECT_TRUE(Exists(NestedPath(kDepth - 1)));
    ASSERT_EQ(Unregister(NestedScript(kDepth)), S_OK);
    EXPECT_FALSE(Exists("K"));

    EXPECT_EQ(Register(NestedScript(kDepth + 1)), DISP_E_EXCEPTION);
    EXPECT_EQ(Unregister(NestedScript(kDepth + 1)), DISP_E_EXCEPTION);
    // A hostile depth fails the same way instead of exhausting the stack.
    EXPECT_EQ(Register(NestedScript(100000)), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists(NestedPath(kDepth + 1)));
}

}  // namespace
}  // namespace qc::registrar::testing
