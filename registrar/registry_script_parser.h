// RegistryScriptParser: applies a registry script in register or unregister
// mode.
//
// A script is a list of root blocks ("HKCR { ... }"); a block lists entries:
//   [ForceRemove | Delete] [NoRemove] Val name = type value
//   [ForceRemove | Delete] [NoRemove] name [= type value] [{ entries }]
// Registering opens or creates every key named and writes every value.
// Unregistering walks the same text and removes the values named and the keys
// left without subkeys, except those marked NoRemove. A root block that fails
// to register is walked once more in unregister mode, so that a failed
// registration leaves as little behind as it can.
#pragma once

#include "platform/platform.h"
#include "registrar/registry_access.h"
#include "registrar/registry_key.h"
#include "registrar/script_tokenizer.h"
#include "registrar/text_services.h"

namespace qc::registrar {

class CRegObject;

class RegistryScriptParser {
public:
    // Deepest nesting of blocks, the root block counting as 1. Every level
    // costs a stack frame, so a hostile script must not choose the depth; the
    // registrar's own scripts use 4 levels.
    static constexpr int kMaxBlockDepth = 64;

    RegistryScriptParser(const CRegObject& registrar, IRegistryAccess& registry);
    RegistryScriptParser(const RegistryScriptParser&) = delete;
    RegistryScriptParser& operator=(const RegistryScriptParser&) = delete;

    // Runs the substitution pass over `script` and interprets the result.
    HRESULT Interpret(const char* script, bool doRegister);

private:
    HRESULT RegisterBlock(RegistryKey parent, int depth);
    HRESULT RegisterEntry(RegistryKey parent, CRegistryKey& current, int depth);
    HRESULT RegisterValue(RegistryKey parent);
    HRESULT RegisterKey(RegistryKey parent, CRegistryKey& current);
    HRESULT UnregisterBlock(RegistryKey parent, bool recovering, int depth);
    HRESULT UnregisterValue(RegistryKey parent, bool keepValue, int depth);
    HRESULT UnregisterKey(RegistryKey parent, bool recovering, bool deleteAllowed, int depth);

    // Reads the type and value tokens after "=" and writes the value.
    HRESULT WriteValue(RegistryKey key, const char* valueName);
    // Reads over the type and value tokens after "=", and the token after them.
    HRESULT SkipAssignment();

    HRESULT NextToken() { return m_tokenizer.Next(m_token); }
    bool TokenIs(const char* keyword) const;
    // Key names are one level each and never empty.
    bool IsValidKeyName(const char* name) const;

    const CRegObject& m_registrar;
    IRegistryAccess& m_registry;
    const ITextServices& m_text;
    CScriptTokenizer m_tokenizer;
    char m_token[kTokenBufferSize];      // the current token, shared by every level
    char m_valueName[kTokenBufferSize];  // the name of the value being written
    char m_valueText[kTokenBufferSize];  // a value's type and then its text
};

}  // namespace qc::registrar
