// The code-page services the registry-script interpreter needs.
//
// Scripts are 8-bit text in the conversion code page, while substitution
// texts arrive as UTF-16. These calls match their Win32 counterparts one to
// one; CWin32TextServices forwards them to the platform with the server's
// conversion code page, and tests use a stand-in with a code page they choose.
#pragma once

#include "platform/platform.h"

namespace qc::registrar {

class ITextServices {
public:
    // True when `byte` starts a two-byte character in the code page.
    virtual bool IsLeadByte(unsigned char byte) const = 0;
    // Converts NUL-terminated UTF-16 text, terminator included. With
    // outputSize 0 returns the bytes needed; otherwise the bytes written, or 0
    // on failure (also when the output is too small).
    virtual int WideToMultiByte(const WCHAR* text, char* output, int outputSize) const = 0;
    // The same in the other direction, counted in UTF-16 units.
    virtual int MultiByteToWide(const char* text, WCHAR* output, int outputSize) const = 0;
    // Parses a number the way OLE Automation turns a string into an unsigned
    // 32-bit integer (locale 0, no flags).
    virtual HRESULT UI4FromStr(const WCHAR* text, ULONG* value) const = 0;

protected:
    ~ITextServices() = default;
};

}  // namespace qc::registrar
