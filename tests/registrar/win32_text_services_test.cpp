// CWin32TextServices in a real double-byte code page (932, through the
// thread's locale): its lead-byte table, and a script whose key name ends
// in a character whose trail byte has the value of "\".
#include "memory_registry.h"
#include "registrar/reg_object.h"
#include "registrar/win32_text_services.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace qc::registrar::testing {
namespace {

// Runs `body` on a thread of its own whose locale is Japanese (code page 932).
template <class Body>
void OnAJapaneseThread(Body body) {
    std::thread([&] {
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
        body();
    }).join();
}

TEST(Win32TextServices, LeadBytesAreThoseOfTheThreadsCodePage) {
    OnAJapaneseThread([] {
        const CWin32TextServices text;
        for (unsigned byte : {0x81u, 0x9Fu, 0xE0u, 0xFCu}) EXPECT_TRUE(text.IsLeadByte(byte)) << byte;
        // ASCII, and the single-byte katakana between the two ranges
        for (unsigned byte : {0x5Cu, 0x41u, 0x80u, 0xA0u, 0xA1u, 0xDFu, 0xFDu}) EXPECT_FALSE(text.IsLeadByte(byte)) << byte;
    });
}

// "\x95\x5C" is one character (the trail byte is "\"), so the name is one
// level, whether it is written in the script or inserted by a substitution.
TEST(Win32TextServices, AKeyNameWhoseTrailByteIsABackslashIsOneLevel) {
    OnAJapaneseThread([] {
        const CWin32TextServices text;
        CMemoryRegistry registry;
        CRegObject registrar(text);
        ASSERT_EQ(registrar.AddSubstitution(L"Name", L"\u8868\u8868"), S_OK);
        EXPECT_EQ(registrar.ApplyScript("HKCR { '\x95\x5C' = s '\x93\xFA' { Inner } %Name% }", true, registry), S_OK);
        // (Paths of the in-memory registry split at every "\\" byte, so only
        // the names at the top are read back by name.)
        EXPECT_EQ(registry.SubKeyNames(RootKey::ClassesRoot, ""),
                  (std::vector<std::string>{"\x95\x5C", "\x95\x5C\x95\x5C"}));
        EXPECT_EQ(registry.KeyCount(), 3u);
        EXPECT_EQ(registrar.ApplyScript("HKCR { '\x95\x5C' { Inner } %Name% }", false, registry), S_OK);
        EXPECT_EQ(registry.KeyCount(), 0u);
    });
}

}  // namespace
}  // namespace qc::registrar::testing
