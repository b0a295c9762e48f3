// Checks what registration left under HKEY_CLASSES_ROOT, and calls the
// registration exports directly where a registration tool would hide what
// they do to the caller's thread. The end-to-end driver runs one mode at a
// time between regsvr32 runs:
//
//   registered MODULE     every key, value and type of the server's entries,
//                         with InprocServer32 = MODULE, and the proxy/stub's
//                         for each of the three interfaces
//   unregistered          none of them is left; CLSID and AppID stay
//   add-subkey NAME       another program's key below CLSID\{CLSID}
//   kept-subkey NAME      only that key and its ancestors are left
//   remove-class-key      removes CLSID\{CLSID} with what is below it
//   forget-typelib        removes the type library's registration
//   class-gone-appid-kept the class entries are gone, the AppID ones stay
//   locale MODULE         the exports give the caller its thread locale back
//
// Prints one line per failed check and a summary; exits with the failure count.
#include "platform/platform.h"

#include "QuorCache.h"
#include "quorcache_ids.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::wstring& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::wprintf(L"FAIL: %ls\n", what.c_str());
    }
}

std::wstring Widen(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

const std::wstring kClsid = Widen(qc::ids::kClsidComCacheText);
const std::wstring kLibid = Widen(qc::ids::kLibidText);
const std::wstring kAppId = qc::ids::kAppIdText;
const std::wstring kClassKey = L"CLSID\\" + kClsid;

class RegKey {
public:
    explicit RegKey(const std::wstring& path) {
        if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (m_key) ::RegCloseKey(m_key);
    }
    explicit operator bool() const { return m_key != nullptr; }

    struct Value {
        DWORD type;
        std::wstring text;
    };
    // Every value of the key by name ("" is the default value).
    std::map<std::wstring, Value> Values() const {
        std::map<std::wstring, Value> values;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD nameLength = 256, type = 0;
            BYTE data[2048];
            DWORD size = sizeof(data) - sizeof(wchar_t);
            if (::RegEnumValueW(m_key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            data[size] = data[size + 1] = 0;
            values[name] = Value{type, std::wstring(reinterpret_cast<const wchar_t*>(data))};
        }
        return values;
    }
    std::vector<std::wstring> SubKeys() const {
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD nameLength = 256;
            if (::RegEnumKeyExW(m_key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    HKEY m_key = nullptr;
};

bool Exists(const std::wstring& path) { return static_cast<bool>(RegKey(path)); }

// One key of the server's entries: its exact values (all REG_SZ, "" is the
// default value) and its exact subkeys.
struct ExpectedKey {
    std::wstring path;
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> subKeys;
};

std::vector<ExpectedKey> ServerEntries(const std::wstring& module) {
    return {
        {L"AppID\\" + kAppId, {{L"", L"QuorCache"}}, {}},
        {L"AppID\\QuorCache.DLL", {{L"AppID", kAppId}}, {}},
        {L"QuorCache.COMCache.1", {{L"", L"COMCache Class"}}, {L"CLSID"}},
        {L"QuorCache.COMCache.1\\CLSID", {{L"", kClsid}}, {}},
        {L"QuorCache.COMCache", {{L"", L"COMCache Class"}}, {L"CLSID", L"CurVer"}},
        {L"QuorCache.COMCache\\CLSID", {{L"", kClsid}}, {}},
        {L"QuorCache.COMCache\\CurVer", {{L"", L"QuorCache.COMCache.1"}}, {}},
        {kClassKey,
         {{L"", L"COMCache Class"}, {L"AppID", kAppId}},
         {L"InprocServer32", L"ProgID", L"Programmable", L"TypeLib", L"VersionIndependentProgID"}},
        {kClassKey + L"\\ProgID", {{L"", L"QuorCache.COMCache.1"}}, {}},
        {kClassKey + L"\\VersionIndependentProgID", {{L"", L"QuorCache.COMCache"}}, {}},
        {kClassKey + L"\\Programmable", {}, {}},
        {kClassKey + L"\\InprocServer32", {{L"", module}, {L"ThreadingModel", L"Apartment"}}, {}},
        {kClassKey + L"\\TypeLib", {{L"", kLibid}}, {}},
    };
}

std::wstring Joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const auto& name : names) text += (text.empty() ? L"" : L", ") + name;
    return L"[" + text + L"]";
}

void CheckKey(const ExpectedKey& expected) {
    RegKey key(expected.path);
    Check(static_cast<bool>(key), expected.path + L" exists");
    if (!key) return;
    const auto values = key.Values();
    for (const auto& [name, text] : expected.values) {
        const std::wstring label = expected.path + L" value '" + name + L"'";
        const auto found = values.find(name);
        if (found == values.end()) {
            Check(false, label + L" exists");
            continue;
        }
        Check(found->second.type == REG_SZ, label + L" is REG_SZ");
        Check(found->second.text == text, label + L" is '" + text + L"', not '" + found->second.text + L"'");
    }
    for (const auto& [name, value] : values)
        Check(expected.values.count(name) == 1, expected.path + L" has no other value, found '" + name + L"'");
    const auto subKeys = key.SubKeys();
    Check(subKeys == expected.subKeys,
          expected.path + L" has subkeys " + Joined(expected.subKeys) + L", not " + Joined(subKeys));
}

void CheckAbsent(const std::wstring& path) { Check(!Exists(path), path + L" is gone"); }

// The interfaces the DLL's proxy/stub marshals, with their names and the
// size of their tables in slots. The proxy/stub class keeps the identifier
// of the first, ICOMCache, as it had before the other two existed.
struct MarshalledInterface {
    const IID* iid;
    const wchar_t* name;
    const wchar_t* slots;
};
const MarshalledInterface kInterfaces[] = {
    {&IID_ICOMCache, L"ICOMCache", L"16"},
    {&IID_ICOMCache2, L"ICOMCache2", L"22"},
    {&IID_ICacheStatistics, L"ICacheStatistics", L"17"},
};

// The default value of HKCR\path, or "<none>".
std::wstring DefaultValue(const std::wstring& path) {
    const auto values = RegKey(path).Values();
    const auto found = values.find(L"");
    return found != values.end() ? found->second.text : L"<none>";
}

// The type library's and the proxy/stub's own entries for the interfaces.
void CheckPlatformEntries(const std::wstring& module) {
    const std::wstring proxyStubClass = GuidText(IID_ICOMCache);
    // Each DLL's library is registered for the platform of its own bitness.
    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    Check(DefaultValue(L"TypeLib\\" + kLibid + L"\\1.0\\0\\" + platform) == module,
          L"the type library is registered for " + platform + L" at " + module);
    for (const MarshalledInterface& marshalled : kInterfaces) {
        const std::wstring key = L"Interface\\" + GuidText(*marshalled.iid);
        const std::wstring name = marshalled.name;
        Check(DefaultValue(key) == name, key + L" is named " + name + L", not " + DefaultValue(key));
        Check(DefaultValue(key + L"\\ProxyStubClsid32") == proxyStubClass,
              name + L" is marshalled by the proxy/stub class " + proxyStubClass);
        Check(DefaultValue(key + L"\\NumMethods") == marshalled.slots,
              name + L" has " + marshalled.slots + L" methods, not " + DefaultValue(key + L"\\NumMethods"));
        Check(DefaultValue(key + L"\\TypeLib") == kLibid, name + L" names the type library");
    }
    Check(DefaultValue(L"CLSID\\" + proxyStubClass + L"\\InprocServer32") == module,
          L"the proxy/stub class is served by " + module);
}

void CheckUnregistered(bool platformEntriesToo) {
    for (const auto& key : ServerEntries(L"")) CheckAbsent(key.path);
    Check(Exists(L"CLSID"), L"HKCR\\CLSID stays");
    Check(Exists(L"AppID"), L"HKCR\\AppID stays");
    if (!platformEntriesToo) return;
    CheckAbsent(L"TypeLib\\" + kLibid);
    for (const MarshalledInterface& marshalled : kInterfaces) CheckAbsent(L"Interface\\" + GuidText(*marshalled.iid));
    CheckAbsent(L"CLSID\\" + GuidText(IID_ICOMCache));
}

void CheckKeptSubKey(const std::wstring& name) {
    Check(Exists(kClassKey + L"\\" + name), L"the other program's key " + name + L" stays");
    RegKey key(kClassKey);
    Check(static_cast<bool>(key), kClassKey + L" stays as the ancestor of " + name);
    if (key) {
        Check(key.SubKeys() == std::vector<std::wstring>{name}, kClassKey + L" keeps only " + name);
        Check(key.Values().count(L"AppID") == 0, kClassKey + L" value AppID is gone");
    }
    for (const auto& entry : ServerEntries(L""))
        if (entry.path != kClassKey) CheckAbsent(entry.path);
}

void CheckClassGoneAppIdKept() {
    for (const auto& entry : ServerEntries(L"")) {
        if (entry.path.rfind(L"AppID\\", 0) == 0)
            CheckKey(entry);
        else
            CheckAbsent(entry.path);
    }
}

bool CreateSubKey(const std::wstring& path) {
    HKEY key = nullptr;
    const LONG status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                          nullptr);
    if (key) ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool DeleteTree(const std::wstring& path) {
    return ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str()) == ERROR_SUCCESS;
}

// Calls the exports the way a registration tool does and checks that each
// hands the caller's thread locale back, on success and on failure.
void CheckLocale(const std::wstring& module) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE library = ::LoadLibraryW(module.c_str());
    Check(library != nullptr, L"loads " + module);
    if (!library) return;
    using Export = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = reinterpret_cast<Export>(reinterpret_cast<void*>(::GetProcAddress(library, "DllRegisterServer")));
    const auto unregisterServer = reinterpret_cast<Export>(reinterpret_cast<void*>(::GetProcAddress(library, "DllUnregisterServer")));
    Check(registerServer && unregisterServer, L"both registration exports are there");
    if (registerServer && unregisterServer) {
        const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
        Check(::SetThreadLocale(german) && ::GetThreadLocale() == german, L"the caller's locale can be set");

        Check(registerServer() == S_OK, L"DllRegisterServer succeeds");
        Check(::GetThreadLocale() == german, L"DllRegisterServer restores the thread locale");
        Check(unregisterServer() == S_OK, L"DllUnregisterServer succeeds");
        Check(::GetThreadLocale() == german, L"DllUnregisterServer restores the thread locale");

        // Nothing is registered now, so the type library step fails.
        const HRESULT again = unregisterServer();
        Check(FAILED(again), L"DllUnregisterServer without a registered type library fails");
        Check(::GetThreadLocale() == german, L"a failing DllUnregisterServer restores the thread locale");
    }
    ::FreeLibrary(library);
    ::CoUninitialize();
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    const std::wstring mode = count > 1 ? argv[1] : L"";
    const std::wstring argument = count > 2 ? argv[2] : L"";

    if (mode == L"registered" && !argument.empty()) {
        for (const auto& key : ServerEntries(argument)) CheckKey(key);
        CheckPlatformEntries(argument);
    } else if (mode == L"unregistered") {
        CheckUnregistered(true);
    } else if (mode == L"add-subkey" && !argument.empty()) {
        Check(CreateSubKey(kClassKey + L"\\" + argument), L"adds " + kClassKey + L"\\" + argument);
    } else if (mode == L"kept-subkey" && !argument.empty()) {
        CheckKeptSubKey(argument);
    } else if (mode == L"remove-class-key") {
        Check(DeleteTree(kClassKey), L"removes " + kClassKey);
    } else if (mode == L"forget-typelib") {
        Check(DeleteTree(L"TypeLib\\" + kLibid), L"removes the type library's registration");
    } else if (mode == L"class-gone-appid-kept") {
        CheckClassGoneAppIdKept();
    } else if (mode == L"locale" && !argument.empty()) {
        CheckLocale(argument);
    } else {
        std::wprintf(L"usage: registry_check MODE [ARGUMENT] (see the source for the modes)\n");
        return 2;
    }
    ::LocalFree(argv);
    std::wprintf(L"registry_check %ls: %d passed, %d failed\n", mode.c_str(), g_passed, g_failed);
    return g_failed;
}
