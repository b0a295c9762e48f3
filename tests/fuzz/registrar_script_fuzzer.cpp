// Fuzzes the registry-script interpreter: substitution, tokens and both walks
// against a bounded in-memory registry that already holds some entries.
//
// Input: one byte of flags (bit 0: double-byte code page), then the script.
// Checks, beyond the sanitizers: every result is one the interpreter can
// report, no key handle stays open, and a script that registered can be
// unregistered — unless it holds a Delete entry: registering consumes the
// name after "Delete", unregistering reads "Delete" over and takes that name
// as the entry itself, so "Delete val ..." is a value entry there and may be
// malformed in that mode alone.
#include "memory_registry.h"
#include "registrar/reg_object.h"
#include "test_text_services.h"

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

using namespace qc::registrar;
using namespace qc::registrar::testing;

namespace {

bool IsKnownResult(HRESULT hr) {
    switch (hr) {
        case S_OK:
        case DISP_E_EXCEPTION:
        case E_FAIL:
        case E_OUTOFMEMORY:
        case HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE):
        case HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER):
        case HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED):
            return true;
        default:
            return false;
    }
}

void Check(bool condition, const char* what, HRESULT hr) {
    if (condition) return;
    std::fprintf(stderr, "%s (hr 0x%08X)\n", what, static_cast<unsigned>(hr));
    std::abort();
}

bool MentionsDelete(std::string script) {
    std::transform(script.begin(), script.end(), script.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return script.find("delete") != std::string::npos;
}

void Populate(CMemoryRegistry& registry) {
    registry.PutString(RootKey::ClassesRoot, "CLSID\\{x}\\InprocServer32", "", "old.dll");
    registry.PutString(RootKey::ClassesRoot, "CLSID\\{x}", "AppID", "{a}");
    registry.PutString(RootKey::ClassesRoot, "Foo\\Bar", "v", "1");
    registry.PutString(RootKey::CurrentUser, "Software\\Q", "", "q");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool doubleByte = (data[0] & 1) != 0;
    // A NUL inside ends the script, as it ends a script resource.
    const std::string script(reinterpret_cast<const char*>(data + 1), size - 1);

    CTestTextServices text(doubleByte ? CTestTextServices::CodePage::DoubleByte
                                      : CTestTextServices::CodePage::SingleByte);
    CMemoryRegistry registry(CMemoryRegistry::Limits{512, 1 << 16, 512});
    Populate(registry);
    CRegObject registrar(text);
    registrar.AddSubstitution(Utf16("Module").c_str(), Utf16("C:\\it''s\\QuorCache.dll").c_str());
    registrar.AddSubstitution(Utf16("Module_Raw").c_str(), Utf16("C:\\it''s\\QuorCache.dll").c_str());
    registrar.AddSubstitution(Utf16("APPID").c_str(), Utf16("{89155EAD-940F-4E56-AC4B-53AD622E2A4F}").c_str());
    registrar.AddSubstitution(Utf16("Pct").c_str(), Utf16("%Module%").c_str());

    const HRESULT registered = registrar.ApplyScript(script.c_str(), true, registry);
    Check(IsKnownResult(registered), "unexpected result from registering", registered);
    Check(registry.OpenHandleCount() == 0, "registering left a key open", registered);

    const HRESULT unregistered = registrar.ApplyScript(script.c_str(), false, registry);
    Check(IsKnownResult(unregistered), "unexpected result from unregistering", unregistered);
    Check(registry.OpenHandleCount() == 0, "unregistering left a key open", unregistered);
    Check(FAILED(registered) || SUCCEEDED(unregistered) || MentionsDelete(script),
          "a registered script failed to unregister", unregistered);
    return 0;
}
