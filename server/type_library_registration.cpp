// Registration of the type library a module carries.
#include "server/type_library_registration.h"

#include "support/text_conversion.h"
#include "support/hresult_from_platform.h"

#include <cstring>

namespace {

// Owners of what a load hands out, released on every path.
class CLoadedTypeLibrary {
public:
    CLoadedTypeLibrary() = default;
    ~CLoadedTypeLibrary() {
        if (library != nullptr) library->Release();
        ::SysFreeString(path);
    }
    CLoadedTypeLibrary(const CLoadedTypeLibrary&) = delete;
    CLoadedTypeLibrary& operator=(const CLoadedTypeLibrary&) = delete;

    HRESULT Load(HINSTANCE module) { return LoadModuleTypeLibrary(module, &path, &library); }

    BSTR path = nullptr;
    ITypeLib* library = nullptr;
};

// Where the extension of `path` starts: at its last "." after its last "\",
// or at its end when it has none. Steps by whole characters of the ANSI code
// page, so a trail byte that happens to be "\" or "." is not taken for one.
std::size_t ExtensionOffset(const char* path) {
    const char* extension = nullptr;
    const char* at = path;
    for (; *at != '\0'; at = ::CharNextA(at)) {
        if (*at == '\\') {
            extension = nullptr;
        } else if (*at == '.') {
            extension = at;
        }
    }
    return static_cast<std::size_t>((extension != nullptr ? extension : at) - path);
}

// LoadTypeLib on an 8-bit path.
HRESULT LoadFromPath(const char* path, BSTR* widePath, ITypeLib** library) {
    BSTR wide = AnsiToBstr(path);
    if (wide == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = ::LoadTypeLib(wide, library);
    if (FAILED(hr)) {
        ::SysFreeString(wide);
        return hr;
    }
    *widePath = wide;
    return hr;
}

}  // namespace

HRESULT LoadModuleTypeLibrary(HINSTANCE module, BSTR* path, ITypeLib** library) {
    *path = nullptr;
    *library = nullptr;
    char modulePath[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(module, modulePath, MAX_PATH);
    if (length == 0) return HResultFromLastErrorOnFailure();
    if (length == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

    // The library the module carries as its "TYPELIB" resource 1.
    if (SUCCEEDED(LoadFromPath(modulePath, path, library))) return S_OK;

    // Else a type library file of the same base name beside the module.
    static constexpr char kFileExtension[] = ".tlb";
    const std::size_t extension = ExtensionOffset(modulePath);
    if (extension + sizeof(kFileExtension) > MAX_PATH) return E_FAIL;
    std::memcpy(modulePath + extension, kFileExtension, sizeof(kFileExtension));
    return LoadFromPath(modulePath, path, library);
}

HRESULT RegisterModuleTypeLibrary(HINSTANCE module) {
    CLoadedTypeLibrary loaded;
    const HRESULT hr = loaded.Load(module);
    if (FAILED(hr)) return hr;

    // The help directory is the module's folder, with its trailing separator.
    OLECHAR helpDirectory[MAX_PATH];
    const std::size_t length = ::SysStringLen(loaded.path);
    const std::size_t copied = length < MAX_PATH - 1 ? length : MAX_PATH - 1;
    std::memcpy(helpDirectory, loaded.path, copied * sizeof(OLECHAR));
    std::size_t cut = 0;
    for (std::size_t at = 0; at < copied; ++at) {
        const OLECHAR unit = helpDirectory[at];
        if (unit == L'\\' || unit == L'/' || unit == L':') cut = at + 1;
    }
    helpDirectory[cut] = 0;
    return ::RegisterTypeLib(loaded.library, loaded.path, helpDirectory);
}

HRESULT UnregisterModuleTypeLibrary(HINSTANCE module) {
    CLoadedTypeLibrary loaded;
    HRESULT hr = loaded.Load(module);
    if (FAILED(hr)) return hr;

    TLIBATTR* attributes = nullptr;
    hr = loaded.library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                             attributes->lcid, attributes->syskind);
    loaded.library->ReleaseTLibAttr(attributes);
    return hr;
}
