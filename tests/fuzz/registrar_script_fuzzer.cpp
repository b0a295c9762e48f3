// Fuzzes the registry-script interpreter: substitution, tokens and both walks
// against a bounded in-memory registry that already holds other programs'
// entries, protected keys among them.
//
// Input: one byte of flags (bit 0: double-byte code page), then the script.
// Checks, beyond the sanitizers, on the registry's state as well as the
// results:
//   - every result is one the interpreter can report, and no key stays open;
//   - unregistering only removes: what it leaves was there before it ran;
//   - a registration that succeeds never removes a protected key (one that
//     another program's entries already held);
//   - a script that registers must then unregister, and leave the registry
//     as it found it except for what the language keeps by rule: keys marked
//     NoRemove (and the keys above them), values marked NoRemove, default
//     values of kept keys, and the keys and values the script names, which
//     it may replace or remove (ForceRemove and Delete take their subtrees).
// One thing reads differently in the two walks: a Delete whose name is the
// keyword Val or NoRemove. Registering takes that word as the name to
// delete; unregistering reads Delete over and takes the word as a keyword.
// Such scripts skip the round trip.
#include "memory_registry.h"
#include "registrar/reg_object.h"
#include "registrar/script_tokenizer.h"
#include "registrar/substitution_pass.h"
#include "test_text_services.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

using namespace qc::registrar;
using namespace qc::registrar::testing;

namespace {

using State = CMemoryRegistry::State;
using KeyPath = CMemoryRegistry::KeyPath;
using NameSet = std::set<std::string, CaseInsensitiveLess>;

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

[[noreturn]] void Fail(const char* what, const KeyPath& path = {}, const std::string& value = {}) {
    std::fprintf(stderr, "%s:", what);
    for (const std::string& name : path) std::fprintf(stderr, " [%s]", name.c_str());
    if (!value.empty()) std::fprintf(stderr, " value [%s]", value.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
}

void Check(bool condition, const char* what, HRESULT hr) {
    if (condition) return;
    std::fprintf(stderr, "%s (hr 0x%08X)\n", what, static_cast<unsigned>(hr));
    std::abort();
}

bool SameValue(const CMemoryRegistry::Value& a, const CMemoryRegistry::Value& b) {
    return a.type == b.type && a.data == b.data;
}

KeyPath Parent(const KeyPath& path) { return KeyPath(path.begin(), path.end() - 1); }
bool IsTopLevel(const KeyPath& path) { return path.size() == 2; }  // right below a root key

// What the script's tokens say, as far as the oracle needs it.
struct ScriptWords {
    NameSet names;             // every token
    NameSet keptKeys;          // tokens right after NoRemove
    NameSet keptValues;        // tokens right after NoRemove Val
    bool deleteOfAKeyword = false;
};

bool Is(const std::string& token, const char* keyword) {
    return !CaseInsensitiveLess()(token, keyword) && !CaseInsensitiveLess()(keyword, token);
}

// The tokens of the expanded script, read as the walks read them; false
// when the substitution pass fails (and so does every walk).
bool ReadWords(const std::string& script, const CRegObject& registrar, ScriptWords* words) {
    CHeapBuffer<char> expanded;
    if (FAILED(RunSubstitutionPass(script.c_str(), registrar, expanded))) return false;
    CScriptTokenizer tokenizer(registrar.TextServices());
    tokenizer.MoveTo(expanded.Get());
    std::vector<std::string> tokens;
    std::vector<char> token(kTokenBufferSize);
    for (tokenizer.SkipWhiteSpace(); !tokenizer.AtEnd(); tokenizer.SkipWhiteSpace()) {
        if (FAILED(tokenizer.Next(token.data()))) break;
        tokens.emplace_back(token.data());
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        words->names.insert(tokens[i]);
        if (i == 0) continue;
        const std::string& previous = tokens[i - 1];
        if (Is(previous, "NoRemove")) words->keptKeys.insert(tokens[i]);
        if (i >= 2 && Is(tokens[i - 2], "NoRemove") && Is(previous, "Val")) words->keptValues.insert(tokens[i]);
        if (Is(previous, "Delete") && (Is(tokens[i], "Val") || Is(tokens[i], "NoRemove")))
            words->deleteOfAKeyword = true;
    }
    return true;
}

// Unregistering never creates a key nor writes a value.
void CheckOnlyRemoved(const State& before, const State& after) {
    for (const auto& [path, key] : after) {
        const auto was = before.find(path);
        if (was == before.end()) Fail("unregistering made a key", path);
        for (const auto& [name, value] : key.values) {
            const auto old = was->second.values.find(name);
            if (old == was->second.values.end() || !SameValue(old->second, value))
                Fail("unregistering wrote a value", path, name);
        }
    }
}

// A registration that succeeded kept every key that already held other
// programs' entries and carries a protected name, unless a subtree above it
// was taken (its parent is no longer the one that was there).
void CheckProtectedKeysKept(const State& before, const State& after) {
    static const NameSet kProtected = {"AppID", "CLSID",    "Component Categories", "FileType",
                                       "Interface", "Hardware", "Mime", "SAM",
                                       "SECURITY",  "SYSTEM",   "Software", "TypeLib"};
    for (const auto& [path, key] : before) {
        if (!key.madeBySetUp || kProtected.count(path.back()) == 0) continue;
        if (!IsTopLevel(path)) {
            const auto parent = after.find(Parent(path));
            if (parent == after.end() || !parent->second.madeBySetUp) continue;
        }
        const auto now = after.find(path);
        if (now == after.end() || !now->second.madeBySetUp) Fail("a protected key was removed", path);
    }
}

// After register and unregister, only what the language keeps by rule
// differs from the registry before them.
void CheckRoundTrip(const State& before, const State& after, const ScriptWords& words) {
    for (const auto& [path, key] : after) {
        const auto was = before.find(path);
        const bool original = was != before.end() && key.madeBySetUp;
        if (!original && !key.hasSubKeys && words.keptKeys.count(path.back()) == 0)
            Fail("a key the script made outlived its unregistration", path);
        for (const auto& [name, value] : key.values) {
            const bool unchanged = original && was->second.values.count(name) != 0 &&
                                   SameValue(was->second.values.at(name), value);
            if (unchanged || words.keptValues.count(name) != 0) continue;
            if (name.empty() && (!original || words.names.count(path.back()) != 0)) continue;
            Fail("a value the script wrote outlived its unregistration", path, name);
        }
    }
    for (const auto& [path, key] : before) {
        const auto now = after.find(path);
        if (now == after.end()) {
            // Unless it went with the subtree of a key above it.
            const auto parent = after.find(Parent(path));
            const bool parentKept = IsTopLevel(path) || (parent != after.end() && parent->second.madeBySetUp);
            if (parentKept && words.names.count(path.back()) == 0)
                Fail("a key the script does not name was removed", path);
            continue;
        }
        const bool sameKey = now->second.madeBySetUp;
        for (const auto& [name, value] : key.values) {
            const auto kept = now->second.values.find(name);
            if (sameKey && kept != now->second.values.end() && SameValue(kept->second, value)) continue;
            const bool named = name.empty() ? words.names.count(path.back()) != 0 : words.names.count(name) != 0;
            if (!named && (sameKey || words.names.count(path.back()) == 0))
                Fail("a value the script does not name was changed", path, name);
        }
    }
}

void Populate(CMemoryRegistry& registry) {
    registry.PutString(RootKey::ClassesRoot, "CLSID\\{x}\\InprocServer32", "", "old.dll");
    registry.PutString(RootKey::ClassesRoot, "CLSID\\{x}", "AppID", "{a}");
    registry.PutString(RootKey::ClassesRoot, "Interface\\{i}\\ProxyStubClsid32", "", "{p}");
    registry.PutString(RootKey::ClassesRoot, "Foo\\Bar", "v", "1");
    registry.PutString(RootKey::ClassesRoot, "Foo\\TypeLib\\{t}", "", "lib");
    registry.PutString(RootKey::ClassesRoot, "Kept", "", "theirs");
    registry.PutString(RootKey::CurrentUser, "Software\\Q", "", "q");
    registry.PutString(RootKey::LocalMachine, "SYSTEM\\Setup", "Mode", "1");
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

    const State found = registry.Snapshot();
    const HRESULT registered = registrar.ApplyScript(script.c_str(), true, registry);
    Check(IsKnownResult(registered), "unexpected result from registering", registered);
    Check(registry.OpenHandleCount() == 0, "registering left a key open", registered);
    const State written = registry.Snapshot();
    if (registered == S_OK) CheckProtectedKeysKept(found, written);

    const HRESULT unregistered = registrar.ApplyScript(script.c_str(), false, registry);
    Check(IsKnownResult(unregistered), "unexpected result from unregistering", unregistered);
    Check(registry.OpenHandleCount() == 0, "unregistering left a key open", unregistered);
    const State left = registry.Snapshot();
    CheckOnlyRemoved(written, left);

    ScriptWords words;
    if (FAILED(registered) || !ReadWords(script, registrar, &words) || words.deleteOfAKeyword) return 0;
    Check(SUCCEEDED(unregistered), "a registered script failed to unregister", unregistered);
    CheckRoundTrip(found, left, words);
    return 0;
}
