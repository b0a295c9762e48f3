// CacheNameLess: the order of cache names in the manager's tables.
//
// Names compare over their common length without regard to ASCII letter case,
// byte by byte as unsigned values; when that common part is equal the shorter
// name comes first. "Users" and "USERS" are therefore one key, and "User"
// orders before "Users". The folding is done here rather than by the runtime's
// case-insensitive compare so that the host's locale can never change which
// names are one cache: only 'A'..'Z' fold, every other byte keeps its value.
#pragma once

#include <cstddef>
#include <string_view>

struct CacheNameLess {
    static unsigned char FoldAscii(unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    }

    // Negative, zero or positive, like a memory comparison.
    static int Compare(std::string_view a, std::string_view b) {
        const std::size_t common = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < common; ++i) {
            const int fa = FoldAscii(static_cast<unsigned char>(a[i]));
            const int fb = FoldAscii(static_cast<unsigned char>(b[i]));
            if (fa != fb) return fa - fb;
        }
        if (a.size() == b.size()) return 0;
        return a.size() < b.size() ? -1 : 1;
    }

    // The tables are searched with names that are not std::strings too (a
    // name read in place from a conversion's buffer).
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return Compare(a, b) < 0; }
};
