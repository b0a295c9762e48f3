// The UTF-16 <-> UTF-8 conversions every cache's names and texts go
// through, and the buffer that holds a call's converted argument.
#include "platform/platform.h"
#include "support/utf8.h"
#include "support/utf8_buffer.h"
#include "tests/common/heap_watch.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace qc {
namespace {

Utf16String Units(std::initializer_list<unsigned> units) {
    Utf16String text;
    for (const unsigned unit : units) text += static_cast<WCHAR>(unit);
    return text;
}

TEST(Utf8, TextsRoundTripExactlyLoneSurrogatesAndNulsIncluded) {
    struct Case {
        Utf16String text;
        std::string utf8;
    };
    const Case kCases[] = {
        {Units({}), ""},
        {Units({'a', 0, 'b'}), std::string("a\0b", 3)},
        {Units({0xE9}), "\xC3\xA9"},
        {Units({0x20AC}), "\xE2\x82\xAC"},
        {Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},    // a pair: one four-byte character
        {Units({0xD83D}), "\xED\xA0\xBD"},                // a lone high surrogate
        {Units({0xDE00, 'x'}), "\xED\xB8\x80x"},          // a lone low one
        {Units({0xDE00, 0xD83D}), "\xED\xB8\x80\xED\xA0\xBD"},  // the wrong order: two lone units
        {Units({0xFFFF, 0x7FF, 0x800}), "\xEF\xBF\xBF\xDF\xBF\xE0\xA0\x80"},
    };
    for (const Case& sample : kCases) {
        std::string utf8;
        ASSERT_EQ(Utf16ToUtf8(sample.text.data(), sample.text.size(), &utf8), S_OK);
        EXPECT_EQ(utf8, sample.utf8);
        Utf16String back;
        ASSERT_EQ(Utf8ToUtf16(utf8, &back), S_OK);
        EXPECT_EQ(back, sample.text);
    }
    // Every unit in every position, as pairs of units, comes back as it went.
    Utf16String all;
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) all += static_cast<WCHAR>(unit);
    all += Units({0xDBFF, 0xDFFF, 0xD800});
    std::string utf8;
    Utf16String back;
    ASSERT_EQ(Utf16ToUtf8(all.data(), all.size(), &utf8), S_OK);
    ASSERT_EQ(Utf8ToUtf16(utf8, &back), S_OK);
    EXPECT_EQ(back, all);
}

TEST(Utf8, UserNamesStopAtTheFirstNul) {
    const Utf16String name = Units({'a', 'b', 0, 'c', 'd'});
    std::string utf8;
    ASSERT_EQ(Utf16NameToUtf8(name.data(), name.size(), &utf8), S_OK);
    EXPECT_EQ(utf8, "ab");
}

TEST(Utf8, BytesNoEncoderWritesReadAsReplacementCharacters) {
    const char* const kForeign[] = {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xF4\x90\x80\x80",
                                    "\xF8", "\xC3", "\xE2\x82"};
    for (const char* bytes : kForeign) {
        Utf16String text;
        ASSERT_EQ(Utf8ToUtf16(bytes, &text), S_OK);
        EXPECT_EQ(text, Utf16String(std::char_traits<char>::length(bytes), static_cast<WCHAR>(0xFFFD))) << bytes;
    }
}

TEST(Utf8Buffer, HoldsNamesAndTextsAsTheStringConversionsDoInlineUpToItsSize) {
    const Utf16String text = Units({'P', 0x451, 't', 0, 0xD83D, 0xDE00});  // "Pёt", NUL, an emoji
    std::string name, whole;
    ASSERT_EQ(Utf16NameToUtf8(text.data(), text.size(), &name), S_OK);
    ASSERT_EQ(Utf16ToUtf8(text.data(), text.size(), &whole), S_OK);
    test::HeapWatch heap;
    {
        const CUtf8Buffer asName(text.data(), text.size(), CUtf8Buffer::Extent::Name);
        const CUtf8Buffer asText(text.data(), text.size(), CUtf8Buffer::Extent::Text);
        EXPECT_EQ(std::string_view(asName.View()), name);
        EXPECT_EQ(std::string_view(asText.View()), whole);
        EXPECT_EQ(asText.View().CStr()[asText.View().Length()], '\0');
    }
    EXPECT_EQ(heap.Count(), 0);

    // 511 bytes and the terminator fit inside; one byte more takes a block,
    // which goes back with the buffer.
    const Utf16String fits(511, 'a');
    const Utf16String over = Units({0x451}) + Utf16String(510, 'b');  // 2 + 510 bytes
    { const CUtf8Buffer inside(fits.data(), fits.size(), CUtf8Buffer::Extent::Text); }
    // Three bytes a unit, on either side of the length that is not counted first.
    for (const std::size_t units : {169u, 170u}) {
        const Utf16String wide(units, static_cast<WCHAR>(0x4E2D));
        const CUtf8Buffer inside(wide.data(), wide.size(), CUtf8Buffer::Extent::Text);
        EXPECT_EQ(inside.View().Length(), units * 3);
        EXPECT_EQ(inside.View().CStr()[units * 3], '\0');
    }
    EXPECT_EQ(heap.Count(), 0);
    {
        const CUtf8Buffer onHeap(over.data(), over.size(), CUtf8Buffer::Extent::Text);
        EXPECT_EQ(onHeap.View().Length(), 512u);
        EXPECT_EQ(std::string_view(onHeap.View()).substr(0, 3), "\xD1\x91" "b");
    }
    EXPECT_EQ(heap.Count(), 1);
    EXPECT_EQ(heap.Frees(), 1);

    heap.Refuse(1);
    EXPECT_THROW(CUtf8Buffer(over.data(), over.size(), CUtf8Buffer::Extent::Text), std::bad_alloc);
}

}  // namespace
}  // namespace qc
