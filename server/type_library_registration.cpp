// Registration of the type library a module carries.
#include "server/type_library_registration.h"

#include "support/text_conversion.h"

#include <cstring>
#include <utility>

namespace {

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
HRESULT LoadFromPath(const char* path, qc::Bstr* widePath, qc::ComRef<ITypeLib>* library) {
    qc::Bstr wide = qc::Bstr::Adopt(AnsiToBstr(path));
    if (wide.Get() == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = ::LoadTypeLib(wide.Get(), library->Receive());
    if (SUCCEEDED(hr)) *widePath = std::move(wide);
    return hr;
}

}  // namespace

HRESULT LoadModuleTypeLibrary(HINSTANCE module, qc::Bstr* path, qc::ComRef<ITypeLib>* library) {
    path->Receive();
    library->Reset();
    char modulePath[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(module, modulePath, MAX_PATH);
    if (length == 0) return qc::platform::HResultFromLastError();
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
    qc::Bstr path;
    qc::ComRef<ITypeLib> library;
    const HRESULT hr = LoadModuleTypeLibrary(module, &path, &library);
    if (FAILED(hr)) return hr;

    // The help directory is the module's folder, with its trailing separator.
    OLECHAR helpDirectory[MAX_PATH];
    const std::size_t length = ::SysStringLen(path.Get());
    const std::size_t copied = length < MAX_PATH - 1 ? length : MAX_PATH - 1;
    std::memcpy(helpDirectory, path.Get(), copied * sizeof(OLECHAR));
    std::size_t cut = 0;
    for (std::size_t at = 0; at < copied; ++at) {
        const OLECHAR unit = helpDirectory[at];
        if (unit == L'\\' || unit == L'/' || unit == L':') cut = at + 1;
    }
    helpDirectory[cut] = 0;
    return ::RegisterTypeLib(library.Get(), path.Get(), helpDirectory);
}

HRESULT UnregisterModuleTypeLibrary(HINSTANCE module) {
    qc::Bstr path;
    qc::ComRef<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLibrary(module, &path, &library);
    if (FAILED(hr)) return hr;

    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                             attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}
