// The values a registry script writes: the type letters and their encodings.
#include "registrar/script_value.h"

#include "registrar/heap_buffer.h"
#include "registrar/multi_byte_text.h"

#include <cstring>

namespace qc::registrar {

namespace {

// Anything that is not a hexadecimal digit counts as 0.
BYTE HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<BYTE>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<BYTE>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<BYTE>(c - 'A' + 10);
    return 0;
}

HRESULT SetValue(IRegistryAccess& registry, RegistryKey key, const char* valueName, DWORD type, const void* data,
                 std::size_t size) {
    return HRESULT_FROM_WIN32(
        registry.SetValue(key, valueName, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
}

HRESULT WriteMultiString(IRegistryAccess& registry, const ITextServices& text, RegistryKey key,
                         const char* valueName, const char* valueText) {
    CHeapBuffer<char> data;
    if (!data.Resize(std::strlen(valueText) + 2)) return HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY);
    std::size_t size = 0;
    for (const char* at = valueText; *at != '\0';) {
        if (at[0] == '\\' && at[1] == '0') {
            data.Get()[size++] = '\0';
            at += 2;
            continue;
        }
        const std::size_t step = CharLength(text, at);
        std::memcpy(data.Get() + size, at, step);
        size += step;
        at += step;
    }
    data.Get()[size++] = '\0';  // ends the last string
    data.Get()[size++] = '\0';  // the closing empty string
    return SetValue(registry, key, valueName, kRegMultiString, data.Get(), size);
}

// A text the conversion rejects stores 0: the conversion's failure is not
// the script's, and 0 is at least a defined number.
HRESULT WriteDword(IRegistryAccess& registry, const ITextServices& text, RegistryKey key, const char* valueName,
                   const char* valueText) {
    CHeapBuffer<WCHAR> wide;
    if (FAILED(ToWide(text, valueText, wide))) return E_OUTOFMEMORY;
    ULONG number = 0;
    if (FAILED(text.UI4FromStr(wide.Get(), &number))) number = 0;
    const DWORD value = number;
    return SetValue(registry, key, valueName, kRegDword, &value, sizeof(value));
}

HRESULT WriteBinary(IRegistryAccess& registry, RegistryKey key, const char* valueName, const char* valueText) {
    const std::size_t digits = std::strlen(valueText);
    if (digits % 2 != 0) return E_FAIL;
    CHeapBuffer<BYTE> data;
    if (digits > 0 && !data.Resize(digits / 2)) return E_FAIL;
    for (std::size_t i = 0; i < digits / 2; ++i) {
        data.Get()[i] = static_cast<BYTE>(HexDigit(valueText[2 * i]) << 4 | HexDigit(valueText[2 * i + 1]));
    }
    return SetValue(registry, key, valueName, kRegBinary, data.Get(), digits / 2);
}

}  // namespace

bool ParseScriptValueType(const char* token, ScriptValueType* type) {
    if (token[0] == '\0' || token[1] != '\0') return false;
    switch (token[0]) {
        case 'S': case 's': *type = ScriptValueType::String; return true;
        case 'M': case 'm': *type = ScriptValueType::MultiString; return true;
        case 'D': case 'd': *type = ScriptValueType::Dword; return true;
        case 'B': case 'b': *type = ScriptValueType::Binary; return true;
        default: return false;
    }
}

HRESULT WriteScriptValue(IRegistryAccess& registry, const ITextServices& text, RegistryKey key,
                         const char* valueName, ScriptValueType type, const char* valueText) {
    switch (type) {
        case ScriptValueType::String:
            return SetValue(registry, key, valueName, kRegString, valueText, std::strlen(valueText) + 1);
        case ScriptValueType::MultiString:
            return WriteMultiString(registry, text, key, valueName, valueText);
        case ScriptValueType::Dword:
            return WriteDword(registry, text, key, valueName, valueText);
        case ScriptValueType::Binary:
            return WriteBinary(registry, key, valueName, valueText);
    }
    return E_UNEXPECTED;
}

}  // namespace qc::registrar
