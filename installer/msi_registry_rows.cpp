// qc-msi-registry-rows: the installer package's Registry table rows for one
// DLL, derived from what that DLL's self-registration writes, so that the
// package and regsvr32 cannot drift apart:
//   1. the AppID and class scripts, interpreted by the DLL's own registrar
//      into an in-memory registry, with the module path as the package's
//      reference to the installed file;
//   2. the type library's entries, read from the DLL's compiled library,
//      the way the system's type-library registration writes them (the
//      library, then every dual or automation interface, marshalled by the
//      type-library marshaler);
//   3. the proxy/stub's entries, which come last and so name the DLL's own
//      proxy/stub for every interface, as DllRegisterServer leaves them.
// Each view gets only its own DLL's rows, so each view's interfaces name the
// proxy/stub of its own bitness, whichever order regsvr32 would have run in.
//
// Usage: qc-msi-registry-rows TYPELIB FILE_ID FOLDER_PROPERTY COMPONENT
// Prints one tab-separated row per line: Registry, Root, Key, Name, Value,
// Component_ (the columns of the Registry table).
#include "installer/type_library_file.h"
#include "memory_registry.h"
#include "quorcache_ids.h"
#include "registrar/reg_object.h"
#include "server_scripts.h"
#include "test_text_services.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using qc::installer::TypeLibraryFile;
using qc::registrar::RootKey;
using qc::registrar::testing::CMemoryRegistry;
using qc::registrar::testing::Utf16;

constexpr char kTypeLibraryMarshaler[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kDispatchMarshaler[] = "{00020420-0000-0000-C000-000000000046}";

std::string Hex(unsigned number) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", number);
    return text;
}

bool ApplyServerScripts(const std::string& modulePath, CMemoryRegistry& registry) {
    qc::registrar::testing::CTestTextServices text;
    qc::registrar::CRegObject registrar(text);
    std::string appId;
    for (const wchar_t* at = qc::ids::kAppIdText; *at != 0; ++at) appId.push_back(static_cast<char>(*at));
    const auto module = Utf16(modulePath);
    registrar.AddSubstitution(u"APPID", Utf16(appId).c_str());
    registrar.AddSubstitution(u"Module", module.c_str());
    registrar.AddSubstitution(u"Module_Raw", module.c_str());
    return SUCCEEDED(registrar.ApplyScript(kAppIdScript, true, registry)) &&
           SUCCEEDED(registrar.ApplyScript(kClassScript, true, registry));
}

void AddTypeLibrary(const TypeLibraryFile& library, const std::string& modulePath, const std::string& folder,
                    CMemoryRegistry& registry) {
    const std::string version = Hex(library.majorVersion) + "." + Hex(library.minorVersion);
    const std::string key = "TypeLib\\" + library.guid + "\\" + version;
    const char* platform = library.systemKind == qc::installer::kSystemWin64 ? "win64" : "win32";
    registry.PutString(RootKey::ClassesRoot, key, "", library.helpString.empty() ? library.name : library.helpString);
    registry.PutString(RootKey::ClassesRoot, key + "\\" + Hex(library.lcid) + "\\" + platform, "", modulePath);
    registry.PutString(RootKey::ClassesRoot, key + "\\FLAGS", "", std::to_string(library.libraryFlags));
    registry.PutString(RootKey::ClassesRoot, key + "\\HELPDIR", "", folder);

    for (const auto& type : library.types) {
        const bool automation = type.kind == qc::installer::kKindDispatch ||
                                (type.kind == qc::installer::kKindInterface &&
                                 (type.flags & qc::installer::kFlagOleAutomation) != 0);
        if (!automation) continue;
        const bool vtable = type.kind == qc::installer::kKindInterface || (type.flags & qc::installer::kFlagDual) != 0;
        const std::string marshaler = vtable ? kTypeLibraryMarshaler : kDispatchMarshaler;
        const std::string interfaceKey = "Interface\\" + type.guid;
        registry.PutString(RootKey::ClassesRoot, interfaceKey, "", type.name);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\ProxyStubClsid", "", marshaler);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\ProxyStubClsid32", "", marshaler);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\TypeLib", "", library.guid);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\TypeLib", "Version", version);
    }
}

// The proxy/stub marshals every interface of the library (widl makes it from
// the same definition), under one class: the first interface's identifier.
void AddProxyStub(const TypeLibraryFile& library, const std::string& modulePath, CMemoryRegistry& registry) {
    const unsigned pointerSize = library.systemKind == qc::installer::kSystemWin64 ? 8 : 4;
    const std::string proxyStub = QC_PROXY_STUB_CLSID;
    for (const auto& type : library.types) {
        if (type.kind != qc::installer::kKindInterface && type.kind != qc::installer::kKindDispatch) continue;
        const std::string interfaceKey = "Interface\\" + type.guid;
        registry.PutString(RootKey::ClassesRoot, interfaceKey, "", type.name);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\ProxyStubClsid32", "", proxyStub);
        registry.PutString(RootKey::ClassesRoot, interfaceKey + "\\NumMethods", "",
                           std::to_string(type.vtableBytes / pointerSize));
    }
    registry.PutString(RootKey::ClassesRoot, "CLSID\\" + proxyStub, "", "PSFactoryBuffer");
    registry.PutString(RootKey::ClassesRoot, "CLSID\\" + proxyStub + "\\InprocServer32", "", modulePath);
    registry.PutString(RootKey::ClassesRoot, "CLSID\\" + proxyStub + "\\InprocServer32", "ThreadingModel", "Both");
}

// A text the Registry table takes as it is: no tab or line end (the row
// format's separators), and no leading "#", which would make it a number.
bool Plain(const std::string& text) {
    return text.find_first_of("\t\r\n") == std::string::npos && (text.empty() || text[0] != '#');
}

// One row per value, and a "*" row (create the key, remove it on uninstall)
// for a key that holds neither values nor subkeys. Only HKEY_CLASSES_ROOT
// (root 0) is expected.
bool PrintRows(const CMemoryRegistry& registry, const std::string& component) {
    int number = 0;
    for (const auto& [path, key] : registry.Snapshot()) {
        if (path.front() != "0") return false;
        std::string keyText;
        for (std::size_t level = 1; level < path.size(); ++level) keyText += (level > 1 ? "\\" : "") + path[level];
        const auto row = [&](const std::string& name, const std::string& value) {
            std::printf("%s_reg%d\t0\t%s\t%s\t%s\t%s\n", component.c_str(), ++number, keyText.c_str(), name.c_str(),
                        value.c_str(), component.c_str());
        };
        if (key.values.empty() && !key.hasSubKeys) row("*", "");
        for (const auto& [name, value] : key.values) {
            if (value.type != qc::registrar::kRegString || value.data.empty()) return false;
            const std::string text = value.data.substr(0, value.data.size() - 1);
            if (!Plain(keyText) || !Plain(name) || !Plain(text) || name == "+" || name == "-" || name == "*")
                return false;
            row(name, text);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: qc-msi-registry-rows TYPELIB FILE_ID FOLDER_PROPERTY COMPONENT\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    TypeLibraryFile library;
    std::string error;
    if (!file || !qc::installer::ReadTypeLibrary(bytes, &library, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], file ? error.c_str() : "cannot be read");
        return 1;
    }
    // The package's own references, formatted by the installer at install time.
    const std::string modulePath = std::string("[#") + argv[2] + "]";
    const std::string folder = std::string("[") + argv[3] + "]";

    CMemoryRegistry registry;
    if (!ApplyServerScripts(modulePath, registry)) {
        std::fprintf(stderr, "the registration scripts failed\n");
        return 1;
    }
    AddTypeLibrary(library, modulePath, folder, registry);
    AddProxyStub(library, modulePath, registry);
    if (!PrintRows(registry, argv[4])) {
        std::fprintf(stderr, "a registry entry cannot be written as a Registry table row\n");
        return 1;
    }
    return 0;
}
