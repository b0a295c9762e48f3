// Applying a registry script that a module carries as a resource.
#include "registrar/registry_resource.h"

#include "registrar/heap_buffer.h"
#include "registrar/multi_byte_text.h"
#include "support/scoped_module.h"

#include <cstring>

namespace qc::registrar {

namespace {

// Scripts up to this size are copied onto the stack.
constexpr DWORD kInlineScriptBytes = 1024;

}  // namespace

HRESULT ApplyRegistryResource(const CRegObject& registrar, IRegistryAccess& registry, const WCHAR* modulePath,
                              UINT resourceId, const WCHAR* resourceType, bool doRegister) {
    const ITextServices& text = registrar.TextServices();
    CHeapBuffer<char> type;
    CHeapBuffer<char> path;
    if (FAILED(ToMultiByte(text, resourceType, type)) || FAILED(ToMultiByte(text, modulePath, path))) {
        return E_OUTOFMEMORY;
    }

    const ScopedModule module(::LoadLibraryExA(path.Get(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (module.Get() == nullptr) return qc::platform::HResultFromLastError();
    const HRSRC resource = ::FindResourceA(module.Get(), MAKEINTRESOURCEA(resourceId), type.Get());
    if (resource == nullptr) return qc::platform::HResultFromLastError();
    const HGLOBAL loaded = ::LoadResource(module.Get(), resource);
    if (loaded == nullptr) return qc::platform::HResultFromLastError();
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = ::SizeofResource(module.Get(), resource);
    if (size == 0 && ::GetLastError() != ERROR_SUCCESS) return qc::platform::HResultFromLastError();
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr && size != 0) return qc::platform::HResultFromLastError();

    // The resource holds no terminator of its own.
    char inlineScript[kInlineScriptBytes + 1];
    CHeapBuffer<char> heapScript;
    char* script = inlineScript;
    if (size > kInlineScriptBytes) {
        if (!heapScript.Resize(static_cast<std::size_t>(size) + 1)) return E_OUTOFMEMORY;
        script = heapScript.Get();
    }
    if (size != 0) std::memcpy(script, bytes, size);
    script[size] = '\0';
    return registrar.ApplyScript(script, doRegister, registry);
}

}  // namespace qc::registrar
