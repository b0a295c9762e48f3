// The compiled type library layout, as far as registration needs it:
//
//   header (0x54 bytes)   magic "MSFT", the library's guid offset, two lcids
//                         (the second is the one the library registers under),
//                         flags with the system kind in the low nibble, the
//                         version (major low word, minor high word), library
//                         flags, type count, help string and name offsets
//   [help dll offset]     only when flag 0x100 is set
//   type offsets          one int per type
//   segment directory     15 x {offset, length, -1, 0x0f}: 0 types, 5 guids,
//                         7 names, 8 strings, ...
//   type entries          0x64 bytes each: kind (low nibble), guid offset at
//                         0x2c, flags at 0x30, name offset at 0x34, vtable
//                         size in bytes at 0x4e
//   guid entries          16 bytes of GUID, then two ints
//   name entries          three ints (the third's low byte is the length),
//                         then the characters
//   string entries        a 16-bit length, then the characters
#include "installer/type_library_file.h"

#include <cstdio>

namespace qc::installer {
namespace {

constexpr std::size_t kHeaderSize = 0x54;
constexpr std::size_t kSegmentCount = 15;
constexpr std::size_t kTypeEntrySize = 0x64;
constexpr std::uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr std::uint32_t kHelpDllFlag = 0x100;
constexpr unsigned kHasDiskImage = 0x8;  // LIBFLAG_FHASDISKIMAGE
enum Segment { kTypeSegment = 0, kGuidSegment = 5, kNameSegment = 7, kStringSegment = 8 };

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

    bool Fits(std::size_t at, std::size_t size) const { return at <= m_bytes.size() && size <= m_bytes.size() - at; }

    std::uint32_t U32(std::size_t at) {
        if (!Fits(at, 4)) return Fail();
        return m_bytes[at] | m_bytes[at + 1] << 8 | m_bytes[at + 2] << 16 | std::uint32_t(m_bytes[at + 3]) << 24;
    }
    std::uint32_t U16(std::size_t at) {
        if (!Fits(at, 2)) return Fail();
        return m_bytes[at] | m_bytes[at + 1] << 8;
    }
    std::string Text(std::size_t at, std::size_t length) {
        if (!Fits(at, length)) return Fail(), std::string();
        return std::string(m_bytes.begin() + at, m_bytes.begin() + at + length);
    }

    // The segments' places, read once the header has been.
    void ReadSegments(std::size_t directory) {
        for (std::size_t index = 0; index < kSegmentCount; ++index) {
            m_segmentOffset[index] = U32(directory + index * 16);
            m_segmentLength[index] = U32(directory + index * 16 + 4);
            // An empty segment's offset is -1.
            if (m_segmentLength[index] != 0 && !Fits(m_segmentOffset[index], m_segmentLength[index])) Fail();
        }
    }
    // The byte `offset` bytes into a segment; entries must lie wholly inside it.
    std::size_t In(Segment segment, std::uint32_t offset, std::size_t size) {
        if (offset > m_segmentLength[segment] || size > m_segmentLength[segment] - offset) return Fail();
        return m_segmentOffset[segment] + offset;
    }

    // Offset -1 means no guid.
    std::string Guid(std::uint32_t offset) {
        if (offset == 0xffffffff) return std::string();
        const std::size_t at = In(kGuidSegment, offset, 16);
        if (!m_ok) return std::string();
        char text[40];
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      static_cast<unsigned>(U32(at)), static_cast<unsigned>(U16(at + 4)),
                      static_cast<unsigned>(U16(at + 6)), m_bytes[at + 8], m_bytes[at + 9], m_bytes[at + 10],
                      m_bytes[at + 11], m_bytes[at + 12], m_bytes[at + 13], m_bytes[at + 14], m_bytes[at + 15]);
        return text;
    }
    std::string Name(std::uint32_t offset) {
        const std::size_t at = In(kNameSegment, offset, 12);
        if (!m_ok) return std::string();
        const std::size_t length = U32(at + 8) & 0xff;
        In(kNameSegment, offset + 12, length);
        return m_ok ? Text(at + 12, length) : std::string();
    }
    // Offset -1 means no string.
    std::string String(std::uint32_t offset) {
        if (offset == 0xffffffff) return std::string();
        const std::size_t at = In(kStringSegment, offset, 2);
        if (!m_ok) return std::string();
        const std::size_t length = U16(at);
        In(kStringSegment, offset + 2, length);
        return m_ok ? Text(at + 2, length) : std::string();
    }

    bool Ok() const { return m_ok; }

private:
    std::uint32_t Fail() {
        m_ok = false;
        return 0;
    }

    const std::vector<std::uint8_t>& m_bytes;
    std::uint32_t m_segmentOffset[kSegmentCount] = {};
    std::uint32_t m_segmentLength[kSegmentCount] = {};
    bool m_ok = true;
};

}  // namespace

bool ReadTypeLibrary(const std::vector<std::uint8_t>& bytes, TypeLibraryFile* library, std::string* error) {
    Reader in(bytes);
    if (!in.Fits(0, kHeaderSize) || in.U32(0) != kMagic) {
        *error = "not a compiled type library";
        return false;
    }
    const std::uint32_t systemFlags = in.U32(0x14);
    const std::uint32_t version = in.U32(0x18);
    const std::uint32_t typeCount = in.U32(0x20);
    library->lcid = in.U32(0x10);
    library->systemKind = systemFlags & 0xf;
    library->majorVersion = version & 0xffff;
    library->minorVersion = version >> 16;
    // Loaded from a file, a library also reports that it has a disk image.
    library->libraryFlags = (in.U32(0x1c) & 0xffff) | kHasDiskImage;

    const std::size_t typeOffsets = kHeaderSize + ((systemFlags & kHelpDllFlag) != 0 ? 4 : 0);
    if (typeCount > bytes.size() / kTypeEntrySize) {
        *error = "more types than the file can hold";
        return false;
    }
    in.ReadSegments(typeOffsets + 4 * std::size_t(typeCount));
    library->guid = in.Guid(in.U32(0x08));
    library->name = in.Name(in.U32(0x38));
    library->helpString = in.String(in.U32(0x24));

    library->types.clear();
    for (std::uint32_t index = 0; index < typeCount && in.Ok(); ++index) {
        const std::size_t at = in.In(kTypeSegment, in.U32(typeOffsets + 4 * index), kTypeEntrySize);
        TypeInfoEntry type;
        type.kind = in.U32(at) & 0xf;
        type.guid = in.Guid(in.U32(at + 0x2c));
        type.flags = in.U32(at + 0x30);
        type.name = in.Name(in.U32(at + 0x34));
        type.vtableBytes = in.U16(at + 0x4e);
        library->types.push_back(type);
    }
    if (!in.Ok()) {
        *error = "an offset points outside the file";
        return false;
    }
    return true;
}

}  // namespace qc::installer
