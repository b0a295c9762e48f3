// CUtf8Buffer: UTF-16 units converted to UTF-8 for as long as the object
// lives, as a call's arguments are: on the caller's stack, in a buffer inside
// the object for up to kInlineBytes bytes (a user name or a text of a few
// hundred ASCII characters takes no heap call), on the heap beyond that.
#pragma once

#include "platform/platform.h"
#include "support/utf8_text.h"

#include <cstddef>
#include <memory>

class CUtf8Buffer {
public:
    enum class Extent {
        Name,  // the units before the first NUL
        Text,  // every unit, NULs included
    };

    // Throws std::bad_alloc when the heap block cannot be had.
    CUtf8Buffer(const WCHAR* text, std::size_t units, Extent extent);
    CUtf8Buffer(const CUtf8Buffer&) = delete;
    CUtf8Buffer& operator=(const CUtf8Buffer&) = delete;

    // The text in place, NUL-terminated, for as long as the buffer lives.
    CUtf8Text View() const noexcept { return {m_text, m_length}; }

private:
    static constexpr std::size_t kInlineBytes = 512;

    struct HeapBlockFree {
        void operator()(char* block) const noexcept { qc::platform::HeapFree(block); }
    };

    std::unique_ptr<char, HeapBlockFree> m_heap;  // when the text needs one
    char* m_text;                                  // m_inline or m_heap
    std::size_t m_length;                          // bytes before the terminator
    char m_inline[kInlineBytes];
};
