// The values a registry script writes: the type letters and their encodings.
//
//   S  REG_SZ        the text with its terminator
//   M  REG_MULTI_SZ  "\0" separates strings; the whole ends with two NULs
//   D  REG_DWORD     the text read as an unsigned 32-bit number
//   B  REG_BINARY    hexadecimal digit pairs, high nibble first
#pragma once

#include "platform/platform.h"
#include "registrar/registry_access.h"
#include "registrar/text_services.h"

namespace qc::registrar {

enum class ScriptValueType { String, MultiString, Dword, Binary };

// Reads a type token ("S", "M", "D" or "B", in either case).
bool ParseScriptValueType(const char* token, ScriptValueType* type);

// Encodes `text` as `type` and sets it as the value `valueName` ("" for the
// default value) of `key`.
//   E_FAIL         a "B" text of odd length, or its buffer cannot be had
//   E_OUTOFMEMORY  an "M" or "D" buffer cannot be had
//   HRESULT_FROM_WIN32 of the registry's error otherwise
HRESULT WriteScriptValue(IRegistryAccess& registry, const ITextServices& text, RegistryKey key,
                         const char* valueName, ScriptValueType type, const char* valueText);

}  // namespace qc::registrar
