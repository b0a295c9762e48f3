// ApplyScriptResource: how a server module registers or unregisters itself
// with a registry script it carries.
#include "registrar/apply_script_resource.h"

#include "registrar/heap_buffer.h"
#include "registrar/multi_byte_text.h"
#include "registrar/reg_object.h"
#include "registrar/registry_resource.h"
#include "registrar/win32_registry_access.h"
#include "registrar/win32_text_services.h"

#include <cstring>
#include <string>

namespace qc::registrar {

namespace {

constexpr DWORD kPathBytes = MAX_PATH;
// Room for a full path with every character a doubled quote.
constexpr std::size_t kEscapedUnits = 2 * MAX_PATH;

// Copies `path` with every single quote doubled, so that a quoted script
// token gives the path back; stops, terminated, when the buffer is full.
void EscapeQuotes(const WCHAR* path, WCHAR* escaped, std::size_t size) {
    std::size_t used = 0;
    for (; *path != 0; ++path) {
        const std::size_t units = *path == L'\'' ? 2 : 1;
        if (used + units >= size) break;
        escaped[used++] = *path;
        if (units == 2) escaped[used++] = *path;
    }
    escaped[used] = 0;
}

// "Module" for a server hosted in an executable: the path in double quotes,
// as a command line names it.
HRESULT AddQuotedModule(CRegObject& registrar, const WCHAR* escaped) {
    const std::size_t length = std::char_traits<WCHAR>::length(escaped);
    CHeapBuffer<WCHAR> quoted;
    if (!quoted.Resize(length + 3)) return E_FAIL;
    quoted.Get()[0] = L'"';
    std::memcpy(quoted.Get() + 1, escaped, length * sizeof(WCHAR));
    quoted.Get()[length + 1] = L'"';
    quoted.Get()[length + 2] = 0;
    return registrar.AddSubstitution(L"Module", quoted.Get());
}

}  // namespace

HRESULT ApplyScriptResource(HINSTANCE module, ICommonSubstitutions& common, const ScriptSubstitution* substitutions,
                            UINT resourceId, bool doRegister) {
    const CWin32TextServices text;
    CWin32RegistryAccess registry;
    CRegObject registrar(text);
    // A substitution that cannot be added makes the script that uses it fail
    // with DISP_E_EXCEPTION; one that no script uses does not matter.
    for (const ScriptSubstitution* entry = substitutions; entry != nullptr && entry->name != nullptr; ++entry) {
        registrar.AddSubstitution(entry->name, entry->text);
    }
    HRESULT hr = common.AddCommonSubstitutions(&registrar);
    if (FAILED(hr)) return hr;

    char path[kPathBytes];
    const DWORD length = ::GetModuleFileNameA(module, path, kPathBytes);
    if (length == 0) return qc::platform::HResultFromLastError();
    if (length == kPathBytes) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    CHeapBuffer<WCHAR> widePath;
    if (FAILED(ToWide(text, path, widePath))) return E_OUTOFMEMORY;
    WCHAR escaped[kEscapedUnits];
    EscapeQuotes(widePath.Get(), escaped, kEscapedUnits);

    if (module == nullptr || module == ::GetModuleHandleA(nullptr)) {
        hr = AddQuotedModule(registrar, escaped);
    } else {
        hr = registrar.AddSubstitution(L"Module", escaped);
    }
    if (SUCCEEDED(hr)) hr = registrar.AddSubstitution(L"Module_Raw", escaped);
    if (FAILED(hr)) return hr;
    return ApplyRegistryResource(registrar, registry, widePath.Get(), resourceId, L"REGISTRY", doRegister);
}

}  // namespace qc::registrar
