// BSTR <-> 8-bit text: where a conversion stops, its buffers, and which code
// page it uses on which thread. The Wine runner pins the process to code
// page 1252 (locale 0x409).
#include "support/text_conversion.h"

#include "support/atl_exception.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

// Owns a BSTR for one test.
class TestBstr {
public:
    explicit TestBstr(BSTR value) : m_value(value) {}
    TestBstr(const wchar_t* text, UINT length) : m_value(::SysAllocStringLen(text, length)) {}
    explicit TestBstr(const std::wstring& text)
        : TestBstr(text.data(), static_cast<UINT>(text.size())) {}
    ~TestBstr() { ::SysFreeString(m_value); }
    TestBstr(const TestBstr&) = delete;
    TestBstr& operator=(const TestBstr&) = delete;

    BSTR Get() const { return m_value; }
    std::wstring Text() const { return std::wstring(m_value, ::SysStringLen(m_value)); }

private:
    BSTR m_value;
};

std::atomic<int> g_heapAllocations{0};
std::atomic<int> g_heapFrees{0};
std::atomic<std::size_t> g_lastAllocationBytes{0};
std::atomic<bool> g_failAllocations{false};

bool CountAllocation(std::size_t bytes) {
    ++g_heapAllocations;
    g_lastAllocationBytes = bytes;
    return !g_failAllocations;
}

class HeapCounting : public ::testing::Test {
protected:
    void SetUp() override {
        g_heapAllocations = 0;
        g_heapFrees = 0;
        g_failAllocations = false;
        qc::platform::SetHeapAllocationHook(CountAllocation);
        qc::platform::SetHeapFreeHook([](void*) { ++g_heapFrees; });
    }
    void TearDown() override {
        qc::platform::SetHeapAllocationHook(nullptr);
        qc::platform::SetHeapFreeHook(nullptr);
    }
};

TEST(TextConversion, StopsAtTheFirstNul) {
    const wchar_t text[] = {L'a', L'b', L'\0', L'c', L'd'};
    const TestBstr bstr(text, 5);
    EXPECT_EQ(BstrToAnsi(bstr.Get()), "ab");
    const CBstrToAnsiConverter converter(bstr.Get());
    EXPECT_EQ(converter.Length(), 2u);
    EXPECT_STREQ(converter.Text(), "ab");
}

TEST(TextConversion, EmptyTextsStayEmptyAndNonNull) {
    const TestBstr empty(L"", 0);
    ASSERT_NE(empty.Get(), nullptr);
    EXPECT_EQ(BstrToAnsi(empty.Get()), "");
    EXPECT_EQ(BstrToAnsi(nullptr), "");  // a null BSTR means the empty text

    const TestBstr back(AnsiToBstr(""));
    ASSERT_NE(back.Get(), nullptr);
    EXPECT_EQ(::SysStringLen(back.Get()), 0u);

    const TestBstr counted(AnsiToBstr("ignored", 0));
    ASSERT_NE(counted.Get(), nullptr);
    EXPECT_EQ(::SysStringLen(counted.Get()), 0u);
}

TEST(TextConversion, AnsiToBstrGivesExactLengthsAndRefusesNull) {
    const TestBstr whole(AnsiToBstr("hello"));
    ASSERT_NE(whole.Get(), nullptr);
    EXPECT_EQ(whole.Text(), L"hello");

    const TestBstr part(AnsiToBstr("hello world", 5));
    ASSERT_NE(part.Get(), nullptr);
    EXPECT_EQ(part.Text(), L"hello");
    EXPECT_EQ(part.Get()[5], L'\0');

    EXPECT_EQ(AnsiToBstr(nullptr), nullptr);
    EXPECT_EQ(AnsiToBstr(nullptr, 3), nullptr);
    EXPECT_EQ(AnsiToBstr("abc", -1), nullptr);
}

TEST(TextConversion, NonAsciiTextRoundTripsInTheThreadCodePage) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test runner pins the ANSI code page";
    const std::wstring text = L"caf\u00E9 \u20AC5 \u00FC";
    const TestBstr bstr(text);
    const std::string ansi = BstrToAnsi(bstr.Get());
    EXPECT_EQ(ansi, "caf\xE9 \x80" "5 \xFC");
    const TestBstr back(AnsiToBstr(ansi.c_str()));
    EXPECT_EQ(back.Text(), text);
}

TEST(TextConversion, UnrepresentableCharactersBecomeTheDefaultCharacter) {
    // Cyrillic and CJK letters have no form, not even a near one, in 1252.
    const TestBstr bstr(std::wstring(L"x\u0416\u4E2Dy"));
    EXPECT_EQ(BstrToAnsi(bstr.Get()), "x??y");
}

TEST(TextConversion, CodePageIsPerThreadFromNtFiveOnElseTheThreadLocales) {
    EXPECT_EQ(GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
    EXPECT_EQ(ChooseConversionCodePage(VER_PLATFORM_WIN32_NT, 5), static_cast<UINT>(CP_THREAD_ACP));
    std::thread([] {
        EXPECT_EQ(ChooseConversionCodePage(VER_PLATFORM_WIN32_NT, 4), 1252u);
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(0x0419, SORT_DEFAULT)));
        EXPECT_EQ(ChooseConversionCodePage(VER_PLATFORM_WIN32_WINDOWS, 4), 1251u);
    }).join();
}

TEST(TextConversion, AThreadWithAnotherLocaleConvertsWithItsOwnCodePage) {
    const std::wstring cyrillic = L"\u0416\u0438\u0437\u043D\u044C";  // "Zhizn'"
    const TestBstr bstr(cyrillic);
    EXPECT_EQ(BstrToAnsi(bstr.Get()), "?????");  // this thread: 1252

    std::thread([&] {
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(0x0419, SORT_DEFAULT)));
        const std::string ansi = BstrToAnsi(bstr.Get());
        EXPECT_EQ(ansi, "\xC6\xE8\xE7\xED\xFC");  // the same letters in 1251
        const TestBstr back(AnsiToBstr(ansi.c_str()));
        EXPECT_EQ(back.Text(), cyrillic);
    }).join();

    EXPECT_EQ(BstrToAnsi(bstr.Get()), "?????");  // the other thread's locale did not leak
}

// A double-byte code page: code page 932 through the thread's locale. The
// last character's trail byte has the value of "\\".
TEST(TextConversion, DoubleByteTextRoundTripsInItsThreadsCodePage) {
    const std::wstring japanese = L"\u65E5\u672C\u8A9E\u306E\u8868";
    const TestBstr bstr(japanese);
    std::thread([&] {
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
        const std::string ansi = BstrToAnsi(bstr.Get());
        EXPECT_EQ(ansi, "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x95\x5C");
        const TestBstr back(AnsiToBstr(ansi.c_str()));
        EXPECT_EQ(back.Text(), japanese);
        const TestBstr part(AnsiToBstr(ansi.c_str(), 4));  // two whole characters
        EXPECT_EQ(part.Text(), japanese.substr(0, 2));
    }).join();
}

TEST_F(HeapCounting, ShortTextsUseTheInlineBufferLongerOnesTheHeap) {
    const TestBstr fits(std::wstring(127, L'a'));
    EXPECT_EQ(BstrToAnsi(fits.Get()), std::string(127, 'a'));
    EXPECT_EQ(g_heapAllocations, 0);

    const TestBstr needsHeap(std::wstring(128, L'b'));
    EXPECT_EQ(BstrToAnsi(needsHeap.Get()), std::string(128, 'b'));
    EXPECT_EQ(g_heapAllocations, 1);
    EXPECT_EQ(g_lastAllocationBytes, 129u * 4);
}

TEST_F(HeapCounting, NoHeapBufferIsOutOfMemory) {
    g_failAllocations = true;
    const TestBstr longText(std::wstring(200, L'c'));
    try {
        BstrToAnsi(longText.Get());
        ADD_FAILURE() << "expected a failure";
    } catch (const CAtlException& e) {
        EXPECT_EQ(static_cast<HRESULT>(e), E_OUTOFMEMORY);
    }
    // The inline buffer needs no heap, so short texts still convert.
    const TestBstr shortText(std::wstring(10, L'd'));
    EXPECT_EQ(BstrToAnsi(shortText.Get()), std::string(10, 'd'));
}

// A code page the system does not have makes the conversion fail after the
// heap buffer for a long text was taken: the buffer must go back.
TEST_F(HeapCounting, AFailedConversionGivesItsHeapBufferBack) {
    constexpr UINT kNoSuchCodePage = 12345;
    const TestBstr longText(std::wstring(200, L'c'));
    try {
        const CBstrToAnsiConverter converter(longText.Get(), kNoSuchCodePage);
        ADD_FAILURE() << "expected a failure";
    } catch (const CAtlException& e) {
        EXPECT_EQ(static_cast<HRESULT>(e), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(g_heapAllocations, 1);
    EXPECT_EQ(g_heapFrees, 1);
}

}  // namespace
