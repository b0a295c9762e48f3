// What registering a type library needs to know of it, read from the
// compiled library file itself (the "MSFT" format widl writes), so that a
// build host with no OLE runtime can derive the registry entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qc::installer {

// The type kinds and flags the registration looks at; the numbers are the
// file's own (TYPEKIND and TYPEFLAGS).
enum TypeKind : unsigned { kKindInterface = 3, kKindDispatch = 4 };
enum TypeFlags : unsigned { kFlagDual = 0x40, kFlagOleAutomation = 0x100 };
enum SystemKind : unsigned { kSystemWin32 = 1, kSystemWin64 = 3 };

struct TypeInfoEntry {
    std::string name;
    std::string guid;       // "{XXXXXXXX-...}", upper case
    unsigned kind = 0;
    unsigned flags = 0;
    unsigned vtableBytes = 0;  // every method's slot, inherited ones included
};

struct TypeLibraryFile {
    std::string name;
    std::string helpString;  // empty when the library has none
    std::string guid;
    unsigned majorVersion = 0;
    unsigned minorVersion = 0;
    unsigned lcid = 0;
    unsigned systemKind = 0;
    unsigned libraryFlags = 0;  // as the library reports them once loaded
    std::vector<TypeInfoEntry> types;
};

// Reads `bytes` as a compiled type library. Every offset is checked against
// the file's size: a damaged file gives false and a reason, never a read
// beyond it.
bool ReadTypeLibrary(const std::vector<std::uint8_t>& bytes, TypeLibraryFile* library, std::string* error);

}  // namespace qc::installer
