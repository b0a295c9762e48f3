// Loading and registering the type library a module carries: from the
// module's own resource, or from the ".tlb" file beside a module without one,
// and its registration written and removed under a redirected
// HKEY_CLASSES_ROOT.
#include "server/type_library_registration.h"

#include "QuorCache.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qc::Bstr;
using qc::ComRef;

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

GUID LibraryIdOf(ITypeLib* library) {
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes))) return GUID_NULL;
    const GUID id = attributes->guid;
    library->ReleaseTLibAttr(attributes);
    return id;
}

// The type library this program carries, written out as a file.
bool WriteOwnTypeLibrary(const std::wstring& path) {
    const HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(1), L"TYPELIB");
    const HGLOBAL loaded = resource ? ::LoadResource(nullptr, resource) : nullptr;
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr) return false;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD size = ::SizeofResource(nullptr, resource);
    const bool ok = ::WriteFile(file, bytes, size, &written, nullptr) && written == size;
    ::CloseHandle(file);
    return ok;
}

TEST(TypeLibraryLoad, ReadsTheLibraryTheModuleCarries) {
    Bstr path;
    ComRef<ITypeLib> library;
    ASSERT_EQ(LoadModuleTypeLibrary(nullptr, &path, &library), S_OK);
    EXPECT_EQ(std::wstring(path.Text()), ModulePath(nullptr));
    EXPECT_TRUE(::IsEqualGUID(LibraryIdOf(library.Get()), LIBID_QuorCacheLib));
}

// A module without a type library is served by "<base name>.tlb" beside it;
// the extension replaced is the one after the last backslash only.
TEST(TypeLibraryLoad, FallsBackToTheFileBesideTheModule) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"qc.tlb-fallback." + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring module = folder + L"\\Bare.Module.dll";
    const std::wstring typeLibrary = folder + L"\\Bare.Module.tlb";
    ASSERT_TRUE(::CopyFileW((FolderOf(ModulePath(nullptr)) + L"bare_module.dll").c_str(), module.c_str(), FALSE));

    const HMODULE bare = ::LoadLibraryW(module.c_str());
    ASSERT_NE(bare, nullptr);
    Bstr path;
    ComRef<ITypeLib> library;
    EXPECT_TRUE(FAILED(LoadModuleTypeLibrary(bare, &path, &library)));
    EXPECT_EQ(path.Get(), nullptr);
    EXPECT_FALSE(library);

    ASSERT_TRUE(WriteOwnTypeLibrary(typeLibrary));
    EXPECT_EQ(LoadModuleTypeLibrary(bare, &path, &library), S_OK);
    EXPECT_EQ(std::wstring(path.Text()), typeLibrary);
    ASSERT_TRUE(library);
    EXPECT_TRUE(::IsEqualGUID(LibraryIdOf(library.Get()), LIBID_QuorCacheLib));

    library.Reset();
    ::FreeLibrary(bare);
    ::DeleteFileW(typeLibrary.c_str());
    ::DeleteFileW(module.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

// HKEY_CLASSES_ROOT of this process redirected to a scratch key, for the
// test's duration.
class RedirectedClassesRoot : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = L"Software\\QuorCacheTests\\TypeLibrary" + std::to_wstring(::GetCurrentProcessId());
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, m_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &m_scratch, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, m_scratch), ERROR_SUCCESS);
    }
    void TearDown() override {
        ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        if (m_scratch) ::RegCloseKey(m_scratch);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_name.c_str());
    }

    std::wstring Text(const std::wstring& key) {
        wchar_t text[MAX_PATH] = {};
        LONG size = sizeof(text);
        if (::RegQueryValueW(m_scratch, key.c_str(), text, &size) != ERROR_SUCCESS) return L"<absent>";
        return text;
    }

    HKEY m_scratch = nullptr;
    std::wstring m_name;
};

TEST_F(RedirectedClassesRoot, RegistersWithTheModulesFolderAsHelpDirectoryAndRemovesIt) {
    wchar_t libid[40];
    ::StringFromGUID2(LIBID_QuorCacheLib, libid, 40);
    const std::wstring key = std::wstring(L"TypeLib\\") + libid + L"\\1.0";

    ASSERT_EQ(RegisterModuleTypeLibrary(nullptr), S_OK);
    EXPECT_EQ(Text(key), L"QuorCache 1.0 Type Library");
    EXPECT_EQ(Text(key + L"\\HELPDIR"), FolderOf(ModulePath(nullptr)));

    EXPECT_EQ(UnregisterModuleTypeLibrary(nullptr), S_OK);
    EXPECT_EQ(Text(key), L"<absent>");
    // Nothing left to remove: the platform's failure comes back as it is.
    EXPECT_TRUE(FAILED(UnregisterModuleTypeLibrary(nullptr)));
}

}  // namespace
