// RegistryScriptParser: applies a registry script in register or unregister
// mode.
#include "registrar/registry_script_parser.h"

#include "registrar/heap_buffer.h"
#include "registrar/multi_byte_text.h"
#include "registrar/reg_object.h"
#include "registrar/script_value.h"
#include "registrar/substitution_pass.h"

#include <cstring>

namespace qc::registrar {

namespace {

struct RootKeyName {
    const char* name;
    RootKey key;
};

constexpr RootKeyName kRootKeys[] = {
    {"HKCR", RootKey::ClassesRoot},
    {"HKCU", RootKey::CurrentUser},
    {"HKLM", RootKey::LocalMachine},
    {"HKU", RootKey::Users},
    {"HKPD", RootKey::PerformanceData},
    {"HKDD", RootKey::DynData},
    {"HKCC", RootKey::CurrentConfig},
    {"HKEY_CLASSES_ROOT", RootKey::ClassesRoot},
    {"HKEY_CURRENT_USER", RootKey::CurrentUser},
    {"HKEY_LOCAL_MACHINE", RootKey::LocalMachine},
    {"HKEY_USERS", RootKey::Users},
    {"HKEY_PERFORMANCE_DATA", RootKey::PerformanceData},
    {"HKEY_DYN_DATA", RootKey::DynData},
    {"HKEY_CURRENT_CONFIG", RootKey::CurrentConfig},
};

// Keys that hold other programs' registrations: ForceRemove and Delete never
// remove them, whatever a script says.
constexpr const char* kProtectedKeyNames[] = {
    "AppID", "CLSID", "Component Categories", "FileType", "Interface", "Hardware",
    "Mime",  "SAM",   "SECURITY",             "SYSTEM",   "Software",  "TypeLib",
};

// A registry key name has at most 255 characters; a longer name than this
// cannot name an existing key.
constexpr std::size_t kKeyNameBufferSize = 260;

}  // namespace

RegistryScriptParser::RegistryScriptParser(const CRegObject& registrar, IRegistryAccess& registry)
    : m_registrar(registrar),
      m_registry(registry),
      m_text(registrar.TextServices()),
      m_tokenizer(registrar.TextServices()) {}

HRESULT RegistryScriptParser::Interpret(const char* script, bool doRegister) {
    CHeapBuffer<char> expanded;
    HRESULT hr = RunSubstitutionPass(script, m_registrar, expanded);
    if (FAILED(hr)) return hr;

    m_tokenizer.MoveTo(expanded.Get());
    m_tokenizer.SkipWhiteSpace();
    while (!m_tokenizer.AtEnd()) {
        if (FAILED(hr = NextToken())) return hr;
        const RootKeyName* root = nullptr;
        for (const RootKeyName& candidate : kRootKeys) {
            if (TokenIs(candidate.name)) {
                root = &candidate;
                break;
            }
        }
        if (root == nullptr) return DISP_E_EXCEPTION;
        // At the root any token starting with "{" opens the block.
        if (FAILED(hr = NextToken())) return hr;
        if (m_token[0] != '{') return DISP_E_EXCEPTION;

        const RegistryKey rootKey = m_registry.PredefinedKey(root->key);
        const char* entries = m_tokenizer.Position();
        if (doRegister) {
            hr = RegisterBlock(rootKey, 1);
            if (FAILED(hr)) {
                // Undo what this block wrote; earlier blocks stay registered.
                m_tokenizer.MoveTo(entries);
                UnregisterBlock(rootKey, false, 1);
                return hr;
            }
        } else if (FAILED(hr = UnregisterBlock(rootKey, false, 1))) {
            return hr;
        }
        m_tokenizer.SkipWhiteSpace();
    }
    return S_OK;
}

// Register mode. `current` is the key the latest key entry of this level
// opened; a block that follows a key entry is walked below it.
HRESULT RegistryScriptParser::RegisterBlock(RegistryKey parent, int depth) {
    if (depth > kMaxBlockDepth) return DISP_E_EXCEPTION;
    CRegistryKey current(m_registry);
    HRESULT hr = NextToken();
    while (SUCCEEDED(hr) && m_token[0] != '}') hr = RegisterEntry(parent, current, depth);
    return hr;
}

HRESULT RegistryScriptParser::RegisterEntry(RegistryKey parent, CRegistryKey& current, int depth) {
    HRESULT hr = S_OK;
    const bool isDelete = TokenIs("Delete");
    if (isDelete || TokenIs("ForceRemove")) {
        if (FAILED(hr = NextToken())) return hr;
        if (!IsValidKeyName(m_token)) return DISP_E_EXCEPTION;
        bool isProtected = false;
        for (const char* name : kProtectedKeyNames) isProtected = isProtected || TokenIs(name);
        // Errors are ignored: what cannot be deleted stays and is used as it is.
        if (!isProtected) DeleteKeyTree(m_registry, parent, m_token);
    }
    if (isDelete) {
        // A Delete entry opens no key, so a block after it has no parent and
        // can hold nothing that registers.
        current.Close();
        if (FAILED(hr = NextToken())) return hr;
        if (m_token[0] == '=' && FAILED(hr = SkipAssignment())) return hr;
    } else {
        if (TokenIs("NoRemove") && FAILED(hr = NextToken())) return hr;
        if (TokenIs("Val")) {
            current.Close();
            hr = RegisterValue(parent);
        } else {
            hr = RegisterKey(parent, current);
        }
        if (FAILED(hr)) return hr;
    }
    if (std::strcmp(m_token, "{") == 0) {
        if (FAILED(hr = RegisterBlock(current.Get(), depth + 1))) return hr;
        hr = NextToken();
    }
    return hr;
}

HRESULT RegistryScriptParser::RegisterValue(RegistryKey parent) {
    HRESULT hr = m_tokenizer.Next(m_valueName);
    if (FAILED(hr) || FAILED(hr = NextToken())) return hr;
    if (m_token[0] != '=') return DISP_E_EXCEPTION;
    return WriteValue(parent, m_valueName);
}

HRESULT RegistryScriptParser::RegisterKey(RegistryKey parent, CRegistryKey& current) {
    if (!IsValidKeyName(m_token)) return DISP_E_EXCEPTION;
    if (m_registry.OpenKey(parent, m_token, KeyAccess::ReadWrite, current.Receive()) != ERROR_SUCCESS &&
        m_registry.OpenKey(parent, m_token, KeyAccess::Read, current.Receive()) != ERROR_SUCCESS) {
        const LONG result = m_registry.CreateKey(parent, m_token, current.Receive());
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    }
    HRESULT hr = NextToken();
    if (SUCCEEDED(hr) && m_token[0] == '=') hr = WriteValue(current.Get(), "");
    return hr;
}

// Unregister mode. `parent` is null only while `recovering`: the level above
// found its key absent (or could not open it), so nothing below is touched
// and the block is only read over.
HRESULT RegistryScriptParser::UnregisterBlock(RegistryKey parent, bool recovering, int depth) {
    if (depth > kMaxBlockDepth) return DISP_E_EXCEPTION;
    HRESULT hr = NextToken();
    while (SUCCEEDED(hr) && m_token[0] != '}') {
        bool deleteAllowed = true;
        if ((TokenIs("Delete") || TokenIs("ForceRemove")) && FAILED(hr = NextToken())) return hr;
        if (TokenIs("NoRemove")) {
            deleteAllowed = false;
            if (FAILED(hr = NextToken())) return hr;
        }
        if (TokenIs("Val")) {
            hr = UnregisterValue(parent, recovering || !deleteAllowed, depth);
        } else {
            hr = UnregisterKey(parent, recovering, deleteAllowed, depth);
        }
    }
    return hr;
}

HRESULT RegistryScriptParser::UnregisterValue(RegistryKey parent, bool keepValue, int depth) {
    HRESULT hr = m_tokenizer.Next(m_valueName);
    if (FAILED(hr) || FAILED(hr = NextToken())) return hr;
    if (m_token[0] != '=') return DISP_E_EXCEPTION;
    if (!keepValue) {
        CRegistryKey writable(m_registry);
        LONG result = m_registry.OpenKey(parent, "", KeyAccess::ReadWrite, writable.Receive());
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
        result = m_registry.DeleteValue(writable.Get(), m_valueName);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(result);
    }
    if (FAILED(hr = SkipAssignment())) return hr;
    // A value has no block; should a script give one anyway, it is read over
    // so that its closing "}" does not end this level early.
    if (std::strcmp(m_token, "{") == 0) {
        if (FAILED(hr = UnregisterBlock(nullptr, true, depth + 1))) return hr;
        hr = NextToken();
    }
    return hr;
}

HRESULT RegistryScriptParser::UnregisterKey(RegistryKey parent, bool recovering, bool deleteAllowed, int depth) {
    if (!IsValidKeyName(m_token)) return DISP_E_EXCEPTION;
    CRegistryKey key(m_registry);
    bool absent = true;
    LONG openResult = ERROR_SUCCESS;
    char keyName[kKeyNameBufferSize];
    const std::size_t nameLength = std::strlen(m_token);
    if (!recovering && nameLength < sizeof(keyName)) {
        std::memcpy(keyName, m_token, nameLength + 1);
        openResult = m_registry.OpenKey(parent, keyName, KeyAccess::Read, key.Receive());
        absent = openResult == ERROR_FILE_NOT_FOUND;
    }

    HRESULT hr = NextToken();
    if (SUCCEEDED(hr) && m_token[0] == '=') hr = SkipAssignment();
    if (FAILED(hr)) return hr;
    if (std::strcmp(m_token, "{") == 0) {
        // Below a key that is not open, nothing is touched.
        if (FAILED(hr = UnregisterBlock(key.Get(), key.Get() == nullptr, depth + 1))) return hr;
        if (FAILED(hr = NextToken())) return hr;
    }

    if (key.Get() == nullptr) {
        return recovering || absent ? S_OK : HRESULT_FROM_WIN32(openResult);
    }
    // A key whose subkeys cannot be counted is kept, like one that has some.
    DWORD subKeys = 0;
    const bool hasSubKeys = m_registry.QuerySubKeyCount(key.Get(), &subKeys) != ERROR_SUCCESS || subKeys != 0;
    LONG result = key.Close();
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    if (deleteAllowed && !hasSubKeys) {
        result = m_registry.DeleteKey(parent, keyName);
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    }
    return S_OK;
}

HRESULT RegistryScriptParser::WriteValue(RegistryKey key, const char* valueName) {
    HRESULT hr = m_tokenizer.Next(m_valueText);
    if (FAILED(hr)) return hr;
    ScriptValueType type;
    if (!ParseScriptValueType(m_valueText, &type)) return DISP_E_EXCEPTION;
    if (FAILED(hr = m_tokenizer.Next(m_valueText))) return hr;
    if (FAILED(hr = WriteScriptValue(m_registry, m_text, key, valueName, type, m_valueText))) return hr;
    return NextToken();
}

HRESULT RegistryScriptParser::SkipAssignment() {
    HRESULT hr = m_tokenizer.Next(m_valueText);
    if (SUCCEEDED(hr)) hr = m_tokenizer.Next(m_valueText);
    if (SUCCEEDED(hr)) hr = NextToken();
    return hr;
}

bool RegistryScriptParser::TokenIs(const char* keyword) const { return EqualsIgnoringCase(m_text, m_token, keyword); }

bool RegistryScriptParser::IsValidKeyName(const char* name) const {
    return name[0] != '\0' && !ContainsChar(m_text, name, '\\');
}

}  // namespace qc::registrar
