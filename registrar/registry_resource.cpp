// Applying a registry script that a module carries as a resource.
#include "registrar/registry_resource.h"

#include "registrar/heap_buffer.h"
#include "registrar/multi_byte_text.h"
#include "support/hresult_from_platform.h"

#include <cstring>

namespace qc::registrar {

namespace {

// A module loaded as a data file, freed on every path.
class CDataModule {
public:
    explicit CDataModule(const char* path) : m_module(::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~CDataModule() {
        if (m_module != nullptr) ::FreeLibrary(m_module);
    }
    CDataModule(const CDataModule&) = delete;
    CDataModule& operator=(const CDataModule&) = delete;

    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

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

    const CDataModule module(path.Get());
    if (module.Get() == nullptr) return HResultFromLastErrorOnFailure();
    const HRSRC resource = ::FindResourceA(module.Get(), MAKEINTRESOURCEA(resourceId), type.Get());
    if (resource == nullptr) return HResultFromLastErrorOnFailure();
    const HGLOBAL loaded = ::LoadResource(module.Get(), resource);
    if (loaded == nullptr) return HResultFromLastErrorOnFailure();
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = ::SizeofResource(module.Get(), resource);
    if (size == 0 && ::GetLastError() != ERROR_SUCCESS) return HResultFromLastErrorOnFailure();
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr && size != 0) return HResultFromLastErrorOnFailure();

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
