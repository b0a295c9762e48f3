#include "support/utf8.h"

#include "support/hresult_of.h"

#include <cstdint>
#include <cstring>

namespace qc {
namespace {

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point at text[*i], a surrogate pair taken whole (*i is left on
// its second unit).
unsigned long CodePointAt(const WCHAR* text, std::size_t units, std::size_t* i) {
    const unsigned long unit = static_cast<unsigned>(text[*i]);
    if (IsHighSurrogate(unit) && *i + 1 < units && IsLowSurrogate(static_cast<unsigned>(text[*i + 1]))) {
        ++*i;
        return 0x10000 + ((unit - 0xD800) << 10) + (static_cast<unsigned>(text[*i]) - 0xDC00);
    }
    return unit;
}

std::size_t BytesOf(unsigned long point) { return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4; }

char* PutCodePoint(unsigned long point, char* out) {
    switch (BytesOf(point)) {
        case 1:
            *out++ = static_cast<char>(point);
            break;
        case 2:
            *out++ = static_cast<char>(0xC0 | (point >> 6));
            *out++ = static_cast<char>(0x80 | (point & 0x3F));
            break;
        case 3:
            *out++ = static_cast<char>(0xE0 | (point >> 12));
            *out++ = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (point & 0x3F));
            break;
        default:
            *out++ = static_cast<char>(0xF0 | (point >> 18));
            *out++ = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (point & 0x3F));
    }
    return out;
}

// The code point of the sequence at `at` and its length in bytes, or
// U+FFFD and 1 when the bytes there are no sequence this encoding writes.
// Three-byte sequences for surrogates are accepted: they carry lone units.
std::size_t Decode(std::string_view utf8, std::size_t at, unsigned long* point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[at + i]); };
    const std::size_t left = utf8.size() - at;
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned long value;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    *point = 0xFFFD;
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
        return 1;
    }
    if (left < length || byte(1) < low || byte(1) > high) return 1;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 1;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    *point = value;
    return length;
}

// The units at the start that are ASCII, read eight at a time: most names
// and texts are ASCII throughout, and their bytes are their units.
std::size_t AsciiPrefix(const WCHAR* text, std::size_t units) {
    std::size_t i = 0;
    for (; i + 8 <= units; i += 8) {
        unsigned bits = 0;
        for (std::size_t k = 0; k < 8; ++k) bits |= static_cast<unsigned>(text[i + k]);
        if (bits >= 0x80) break;
    }
    while (i < units && static_cast<unsigned>(text[i]) < 0x80) ++i;
    return i;
}

std::size_t AsciiPrefix(std::string_view utf8) {
    std::size_t i = 0;
    for (; i + 8 <= utf8.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, utf8.data() + i, sizeof word);
        if ((word & 0x8080808080808080u) != 0) break;
    }
    while (i < utf8.size() && static_cast<unsigned char>(utf8[i]) < 0x80) ++i;
    return i;
}

}  // namespace

std::size_t NameLength(const WCHAR* text, std::size_t units) noexcept {
    std::size_t length = 0;
    while (length < units && text[length] != 0) ++length;
    return length;
}

std::size_t Utf8Length(const WCHAR* text, std::size_t units) noexcept {
    std::size_t bytes = AsciiPrefix(text, units);
    for (std::size_t i = bytes; i < units; ++i) bytes += BytesOf(CodePointAt(text, units, &i));
    return bytes;
}

char* EncodeUtf8(const WCHAR* text, std::size_t units, char* out) noexcept {
    const std::size_t ascii = AsciiPrefix(text, units);
    for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(text[i]);
    out += ascii;
    for (std::size_t i = ascii; i < units; ++i) {
        const unsigned unit = static_cast<unsigned>(text[i]);
        if (unit < 0x80) {
            *out++ = static_cast<char>(unit);
        } else {
            out = PutCodePoint(CodePointAt(text, units, &i), out);
        }
    }
    return out;
}

std::size_t Utf16Length(std::string_view utf8) noexcept {
    std::size_t units = AsciiPrefix(utf8);
    for (std::size_t at = units; at < utf8.size();) {
        unsigned long point;
        at += Decode(utf8, at, &point);
        units += point < 0x10000 ? 1 : 2;
    }
    return units;
}

void DecodeUtf8(std::string_view utf8, WCHAR* out) noexcept {
    const std::size_t ascii = AsciiPrefix(utf8);
    for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<WCHAR>(static_cast<unsigned char>(utf8[i]));
    out += ascii;
    for (std::size_t at = ascii; at < utf8.size();) {
        unsigned long point;
        at += Decode(utf8, at, &point);
        if (point < 0x10000) {
            *out++ = static_cast<WCHAR>(point);
        } else {
            point -= 0x10000;
            *out++ = static_cast<WCHAR>(0xD800 | (point >> 10));
            *out++ = static_cast<WCHAR>(0xDC00 | (point & 0x3FF));
        }
    }
}

HRESULT Utf16ToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept {
    return HResultOf([&] {
        std::string out(Utf8Length(text, units), '\0');
        EncodeUtf8(text, units, out.data());
        *utf8 = std::move(out);
        return S_OK;
    });
}

HRESULT Utf16NameToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept {
    return Utf16ToUtf8(text, NameLength(text, units), utf8);
}

HRESULT Utf8ToUtf16(std::string_view utf8, Utf16String* text) noexcept {
    return HResultOf([&] {
        Utf16String out(Utf16Length(utf8), WCHAR());
        DecodeUtf8(utf8, out.data());
        *text = std::move(out);
        return S_OK;
    });
}

}  // namespace qc
