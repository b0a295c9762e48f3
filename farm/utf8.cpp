#include "farm/utf8.h"

#include "farm/farm_errors.h"

namespace qc::farm {
namespace {

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendCodePoint(unsigned long point, std::string* out) {
    if (point < 0x80) {
        *out += static_cast<char>(point);
    } else if (point < 0x800) {
        *out += static_cast<char>(0xC0 | (point >> 6));
        *out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        *out += static_cast<char>(0xE0 | (point >> 12));
        *out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (point >> 18));
        *out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

void AppendUnits(unsigned long point, Utf16String* out) {
    if (point < 0x10000) {
        *out += static_cast<WCHAR>(point);
    } else {
        point -= 0x10000;
        *out += static_cast<WCHAR>(0xD800 | (point >> 10));
        *out += static_cast<WCHAR>(0xDC00 | (point & 0x3FF));
    }
}

// The code point of a sequence at `at` and its length, or 0 bytes when the
// bytes there are no sequence this encoding writes. Three-byte sequences for
// surrogates are accepted: they carry lone units.
std::size_t Decode(std::string_view utf8, std::size_t at, unsigned long* point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[at + i]); };
    const std::size_t left = utf8.size() - at;
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned long value;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    *point = value;
    return length;
}

}  // namespace

HRESULT Utf16ToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept {
    return ReturningHResult([&] {
        std::string out;
        out.reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            unsigned long point = static_cast<unsigned>(text[i]);
            if (IsHighSurrogate(point) && i + 1 < units && IsLowSurrogate(static_cast<unsigned>(text[i + 1])))
                point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<unsigned>(text[++i]) - 0xDC00);
            AppendCodePoint(point, &out);
        }
        *utf8 = std::move(out);
        return S_OK;
    });
}

HRESULT Utf16NameToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept {
    std::size_t length = 0;
    while (length < units && text[length] != 0) ++length;
    return Utf16ToUtf8(text, length, utf8);
}

HRESULT Utf8ToUtf16(std::string_view utf8, Utf16String* text) noexcept {
    return ReturningHResult([&] {
        Utf16String out;
        out.reserve(utf8.size());
        for (std::size_t at = 0; at < utf8.size();) {
            unsigned long point = 0;
            const std::size_t length = Decode(utf8, at, &point);
            AppendUnits(length ? point : 0xFFFD, &out);
            at += length ? length : 1;
        }
        *text = std::move(out);
        return S_OK;
    });
}

}  // namespace qc::farm
