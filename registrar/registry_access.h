// The registry as the registry-script interpreter sees it.
//
// The interpreter never calls the registry itself: it goes through this
// interface, whose calls match the Win32 registry calls one to one (same
// arguments, same error codes). On Windows CWin32RegistryAccess forwards them
// to the real registry; tests and fuzzers use an in-memory registry instead.
#pragma once

#include "platform/platform.h"

namespace qc::registrar {

// An open key: an HKEY on Windows, an opaque handle elsewhere. Null is never
// a valid key.
using RegistryKey = struct RegistryKeyHandle*;

// The predefined keys a script can name at its root.
enum class RootKey {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    PerformanceData,
    DynData,
    CurrentConfig,
};

enum class KeyAccess {
    Read,       // query values, enumerate subkeys
    ReadWrite,  // also set and delete values, create subkeys
};

// Value types the scripts write; the numbers are the registry's own.
enum RegistryValueType : DWORD {
    kRegString = 1,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiString = 7,
};

// Every call returns a platform error code (ERROR_SUCCESS on success).
class IRegistryAccess {
public:
    // The handle of a predefined key; it needs no closing.
    virtual RegistryKey PredefinedKey(RootKey root) = 0;
    // An empty subKey opens a new handle to `parent` itself.
    virtual LONG OpenKey(RegistryKey parent, const char* subKey, KeyAccess access, RegistryKey* key) = 0;
    // Opens the subkey with read and write access, creating it when absent.
    virtual LONG CreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) = 0;
    virtual LONG CloseKey(RegistryKey key) = 0;
    // An empty valueName names the key's default value.
    virtual LONG SetValue(RegistryKey key, const char* valueName, DWORD type, const BYTE* data, DWORD size) = 0;
    virtual LONG DeleteValue(RegistryKey key, const char* valueName) = 0;
    // Deletes a subkey that has no subkeys of its own.
    virtual LONG DeleteKey(RegistryKey parent, const char* subKey) = 0;
    virtual LONG QuerySubKeyCount(RegistryKey key, DWORD* count) = 0;
    // The name of the index-th subkey; *nameLength is the buffer's size in
    // bytes on entry and the name's length without terminator on success.
    virtual LONG EnumKey(RegistryKey key, DWORD index, char* name, DWORD* nameLength) = 0;

protected:
    ~IRegistryAccess() = default;
};

}  // namespace qc::registrar
