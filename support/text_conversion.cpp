// BSTR <-> 8-bit text in the conversion code page.
#include "support/text_conversion.h"

#include "support/atl_exception.h"

#include <oleauto.h>

#include <climits>
#include <cwchar>
#include <new>

namespace {

// 0 until the first conversion has chosen; CP_ACP (0) is never chosen, the
// choice names the code page itself or CP_THREAD_ACP.
volatile LONG g_conversionCodePage = 0;

// The thread locale's default ANSI code page as the locale data states it
// (decimal digits), or 0 when it cannot be read.
UINT ThreadLocaleAnsiCodePage() {
    char digits[7] = {};
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits,
                         sizeof(digits)) == 0)
        return 0;
    UINT codePage = 0;
    for (const char* digit = digits; *digit >= '0' && *digit <= '9'; ++digit)
        codePage = codePage * 10 + static_cast<UINT>(*digit - '0');
    return codePage;
}

}  // namespace

UINT ChooseConversionCodePage(DWORD platformId, DWORD majorVersion) {
    // From NT 5.0 on the platform resolves CP_THREAD_ACP on every call, so
    // each thread converts with its own ANSI code page.
    if (platformId == VER_PLATFORM_WIN32_NT && majorVersion >= 5) return CP_THREAD_ACP;
    const UINT codePage = ThreadLocaleAnsiCodePage();
    return codePage != 0 ? codePage : ::GetACP();
}

UINT GetConversionCodePage() {
    const LONG chosen = g_conversionCodePage;
    if (chosen != 0) return static_cast<UINT>(chosen);

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExA(&version)) version = {};  // unknown: take the older systems' road
    const LONG choice = static_cast<LONG>(
        ChooseConversionCodePage(version.dwPlatformId, version.dwMajorVersion));
    // The first choice stored wins, so concurrent first conversions agree.
    const LONG previous = qc::platform::AtomicCompareExchange(&g_conversionCodePage, choice, 0);
    return static_cast<UINT>(previous != 0 ? previous : choice);
}

CBstrToAnsiConverter::CBstrToAnsiConverter(BSTR text, UINT codePage) : m_text(m_inline) {
    m_inline[0] = '\0';
    if (text == nullptr) return;

    // Units up to the first NUL, plus the terminator, which is converted too.
    const std::size_t units = std::wcslen(text) + 1;
    if (units > static_cast<std::size_t>(INT_MAX / 4)) AtlThrow(E_OUTOFMEMORY);
    const int count = static_cast<int>(units);
    // Four bytes per unit covers every code page the platform offers for
    // ANSI text; the size query below is for any that needs more.
    int capacity = count * 4;
    Reserve(static_cast<std::size_t>(capacity));

    int written = ::WideCharToMultiByte(codePage, 0, text, count, m_text, capacity, nullptr, nullptr);
    if (written == 0 && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        capacity = ::WideCharToMultiByte(codePage, 0, text, count, nullptr, 0, nullptr, nullptr);
        if (capacity == 0) AtlThrow(qc::platform::HResultFromLastError());
        Reserve(static_cast<std::size_t>(capacity));
        written = ::WideCharToMultiByte(codePage, 0, text, count, m_text, capacity, nullptr, nullptr);
    }
    if (written == 0) AtlThrow(qc::platform::HResultFromLastError());
    m_length = static_cast<std::size_t>(written) - 1;  // the count includes the terminator
}

void CBstrToAnsiConverter::Reserve(std::size_t bytes) {
    if (bytes <= kInlineBytes) return;  // whatever buffer is in use holds that much
    char* block = static_cast<char*>(qc::platform::HeapAllocate(bytes));
    if (block == nullptr) AtlThrow(E_OUTOFMEMORY);
    m_heap.reset(block);
    m_text = block;
}

std::string BstrToAnsi(BSTR text) {
    const CBstrToAnsiConverter converter(text);
    try {
        return std::string(converter.Text(), converter.Length());
    } catch (const std::bad_alloc&) {
        AtlThrow(E_OUTOFMEMORY);
    }
}

namespace {

// count is the byte count, or -1 for a NUL-terminated text, in which case
// the platform's unit count includes the terminator.
BSTR ConvertToBstr(const char* text, int count) {
    if (text == nullptr) return nullptr;
    if (count == 0) return ::SysAllocStringLen(nullptr, 0);

    const UINT codePage = GetConversionCodePage();
    const int units = ::MultiByteToWideChar(codePage, 0, text, count, nullptr, 0);
    if (units <= 0) return nullptr;
    const UINT characters = static_cast<UINT>(count < 0 ? units - 1 : units);
    // The BSTR carries room for its own terminator beyond `characters`.
    BSTR result = ::SysAllocStringLen(nullptr, characters);
    if (result == nullptr) return nullptr;
    if (::MultiByteToWideChar(codePage, 0, text, count, result, units) != units) {
        ::SysFreeString(result);
        return nullptr;
    }
    return result;
}

}  // namespace

BSTR AnsiToBstr(const char* text) { return ConvertToBstr(text, -1); }

BSTR AnsiToBstr(const char* text, int length) {
    return length < 0 ? nullptr : ConvertToBstr(text, length);
}
