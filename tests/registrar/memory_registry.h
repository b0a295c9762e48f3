// CMemoryRegistry: an in-memory registry behind IRegistryAccess, for tests and
// fuzzers of the registry-script interpreter.
//
// It keeps the registry's rules that the interpreter depends on: key names
// ignore case, handles carry read or read-write access, a key with subkeys
// cannot be deleted, a deleted key's open handles fail, missing keys and values
// report ERROR_FILE_NOT_FOUND. A subkey argument is always one level (its
// bytes are taken as they are, "\\" included). Handles are checked, so a call on a closed or
// foreign handle fails with ERROR_INVALID_HANDLE instead of touching freed
// memory. Its size is bounded: beyond the limits, creating keys and setting
// values fail with ERROR_OUTOFMEMORY.
#pragma once

#include "registrar/registry_access.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qc::registrar::testing {

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

class CMemoryRegistry final : public IRegistryAccess {
public:
    struct Limits {
        std::size_t maxKeys = 4096;
        std::size_t maxValueBytes = 1 << 20;  // data of all values together
        std::size_t maxDepth = 512;           // levels below a predefined key
    };

    // The calls whose failure a test can provoke.
    enum class Call { Open, Create, Close, SetValue, DeleteValue, DeleteKey, QueryInfo };

    struct Value {
        DWORD type;
        std::string data;
    };

    CMemoryRegistry();
    explicit CMemoryRegistry(const Limits& limits);
    ~CMemoryRegistry();
    CMemoryRegistry(const CMemoryRegistry&) = delete;
    CMemoryRegistry& operator=(const CMemoryRegistry&) = delete;

    RegistryKey PredefinedKey(RootKey root) override;
    LONG OpenKey(RegistryKey parent, const char* subKey, KeyAccess access, RegistryKey* key) override;
    LONG CreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) override;
    LONG CloseKey(RegistryKey key) override;
    LONG SetValue(RegistryKey key, const char* valueName, DWORD type, const BYTE* data, DWORD size) override;
    LONG DeleteValue(RegistryKey key, const char* valueName) override;
    LONG DeleteKey(RegistryKey parent, const char* subKey) override;
    LONG QuerySubKeyCount(RegistryKey key, DWORD* count) override;
    LONG EnumKey(RegistryKey key, DWORD index, char* name, DWORD* nameLength) override;

    // Inspection and set-up by path below a predefined key ("A\\B\\C").
    bool KeyExists(RootKey root, const std::string& path) const;
    // False when the key or the value is missing.
    bool ReadValue(RootKey root, const std::string& path, const std::string& valueName, Value* value) const;
    std::vector<std::string> SubKeyNames(RootKey root, const std::string& path) const;
    void CreatePath(RootKey root, const std::string& path);
    void PutString(RootKey root, const std::string& path, const std::string& valueName, const std::string& text);
    // Makes opening the key for writing fail with ERROR_ACCESS_DENIED.
    void DenyWrite(RootKey root, const std::string& path);
    // Makes every `call` that names `keyName` (as subkey argument, or as the
    // key of the handle) fail with `error`.
    void FailCall(Call call, const std::string& keyName, LONG error);

    std::size_t OpenHandleCount() const { return m_handles.size(); }
    std::size_t KeyCount() const { return m_keyCount; }

    // The whole registry below the predefined keys, for oracles that compare
    // states: each key by its path (the root's number, then one name per
    // level, so names may hold "\\"), with its values, and whether a set-up
    // call (CreatePath, PutString) made it rather than a registry caller.
    struct KeyState {
        std::map<std::string, Value, CaseInsensitiveLess> values;
        bool madeBySetUp = false;
        bool hasSubKeys = false;
    };
    using KeyPath = std::vector<std::string>;
    struct KeyPathLess {
        bool operator()(const KeyPath& a, const KeyPath& b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), CaseInsensitiveLess());
        }
    };
    using State = std::map<KeyPath, KeyState, KeyPathLess>;
    State Snapshot() const;

private:
    struct Node;
    struct Handle;

    Handle* Find(RegistryKey key) const;
    LONG CheckHandle(RegistryKey key, Handle** handle) const;
    LONG Injected(Call call, const std::string& keyName) const;
    RegistryKey NewHandle(const std::shared_ptr<Node>& node, KeyAccess access);
    Node* Resolve(RootKey root, const std::string& path) const;
    void Remove(Node& node);

    Limits m_limits;
    std::vector<std::unique_ptr<Handle>> m_predefined;
    std::set<Handle*> m_handles;
    std::size_t m_keyCount = 0;
    std::size_t m_valueBytes = 0;
    std::vector<std::pair<std::pair<Call, std::string>, LONG>> m_failures;
    bool m_settingUp = false;  // while CreatePath makes keys
};

}  // namespace qc::registrar::testing
