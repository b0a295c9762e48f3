// CMemoryRegistry: an in-memory registry behind IRegistryAccess.
#include "memory_registry.h"

#include <algorithm>
#include <cstring>

namespace qc::registrar::testing {

namespace {

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Fold(x) == Fold(y);
           });
}

constexpr std::size_t kMaxKeyNameLength = 255;

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size() && !path.empty()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Fold(x) < Fold(y); });
}

struct CMemoryRegistry::Node {
    std::string name;
    Node* parent = nullptr;
    std::size_t depth = 0;
    bool deleted = false;
    bool writeDenied = false;
    bool madeBySetUp = false;
    std::map<std::string, Value, CaseInsensitiveLess> values;
    std::vector<std::shared_ptr<Node>> subKeys;  // in creation order

    std::shared_ptr<Node> Child(const std::string& childName) const {
        for (const auto& child : subKeys) {
            if (SameName(child->name, childName)) return child;
        }
        return nullptr;
    }
};

struct CMemoryRegistry::Handle {
    std::shared_ptr<Node> node;
    KeyAccess access;
};

CMemoryRegistry::CMemoryRegistry() : CMemoryRegistry(Limits{}) {}

CMemoryRegistry::CMemoryRegistry(const Limits& limits) : m_limits(limits) {
    for (int root = 0; root <= static_cast<int>(RootKey::CurrentConfig); ++root) {
        m_predefined.push_back(std::make_unique<Handle>(Handle{std::make_shared<Node>(), KeyAccess::ReadWrite}));
    }
}

CMemoryRegistry::~CMemoryRegistry() {
    for (Handle* handle : m_handles) delete handle;
}

RegistryKey CMemoryRegistry::PredefinedKey(RootKey root) {
    return reinterpret_cast<RegistryKey>(m_predefined[static_cast<std::size_t>(root)].get());
}

CMemoryRegistry::Handle* CMemoryRegistry::Find(RegistryKey key) const {
    Handle* handle = reinterpret_cast<Handle*>(key);
    if (m_handles.count(handle) != 0) return handle;
    for (const auto& predefined : m_predefined) {
        if (predefined.get() == handle) return handle;
    }
    return nullptr;
}

LONG CMemoryRegistry::CheckHandle(RegistryKey key, Handle** handle) const {
    *handle = Find(key);
    if (*handle == nullptr) return ERROR_INVALID_HANDLE;
    return (*handle)->node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG CMemoryRegistry::Injected(Call call, const std::string& keyName) const {
    for (const auto& failure : m_failures) {
        if (failure.first.first == call && SameName(failure.first.second, keyName)) return failure.second;
    }
    return ERROR_SUCCESS;
}

RegistryKey CMemoryRegistry::NewHandle(const std::shared_ptr<Node>& node, KeyAccess access) {
    Handle* handle = new Handle{node, access};
    m_handles.insert(handle);
    return reinterpret_cast<RegistryKey>(handle);
}

LONG CMemoryRegistry::OpenKey(RegistryKey parent, const char* subKey, KeyAccess access, RegistryKey* key) {
    *key = nullptr;
    Handle* handle;
    LONG result = CheckHandle(parent, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::Open, subKey);
    if (result != ERROR_SUCCESS) return result;
    std::shared_ptr<Node> node = handle->node;
    if (subKey[0] != '\0') {
        if (std::strlen(subKey) > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        node = node->Child(subKey);
        if (node == nullptr) return ERROR_FILE_NOT_FOUND;
    }
    if (access == KeyAccess::ReadWrite && node->writeDenied) return ERROR_ACCESS_DENIED;
    *key = NewHandle(node, access);
    return ERROR_SUCCESS;
}

LONG CMemoryRegistry::CreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) {
    *key = nullptr;
    Handle* handle;
    LONG result = CheckHandle(parent, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::Create, subKey);
    if (result != ERROR_SUCCESS) return result;
    if (subKey[0] == '\0' || std::strlen(subKey) > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Node> node = handle->node->Child(subKey);
    if (node == nullptr) {
        if (handle->access != KeyAccess::ReadWrite) return ERROR_ACCESS_DENIED;
        if (m_keyCount >= m_limits.maxKeys || handle->node->depth >= m_limits.maxDepth) return ERROR_OUTOFMEMORY;
        node = std::make_shared<Node>();
        node->name = subKey;
        node->parent = handle->node.get();
        node->depth = handle->node->depth + 1;
        node->madeBySetUp = m_settingUp;
        handle->node->subKeys.push_back(node);
        ++m_keyCount;
    } else if (node->writeDenied) {
        return ERROR_ACCESS_DENIED;
    }
    *key = NewHandle(node, KeyAccess::ReadWrite);
    return ERROR_SUCCESS;
}

LONG CMemoryRegistry::CloseKey(RegistryKey key) {
    Handle* handle = Find(key);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    if (m_handles.count(handle) == 0) return ERROR_SUCCESS;  // predefined keys stay open
    const LONG result = Injected(Call::Close, handle->node->name);
    m_handles.erase(handle);
    delete handle;
    return result;
}

LONG CMemoryRegistry::SetValue(RegistryKey key, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    Handle* handle;
    LONG result = CheckHandle(key, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::SetValue, handle->node->name);
    if (result != ERROR_SUCCESS) return result;
    if (handle->access != KeyAccess::ReadWrite) return ERROR_ACCESS_DENIED;
    if (size != 0 && data == nullptr) return ERROR_INVALID_PARAMETER;
    auto& values = handle->node->values;
    const auto existing = values.find(valueName);
    const std::size_t replaced = existing == values.end() ? 0 : existing->second.data.size();
    if (m_valueBytes - replaced + size > m_limits.maxValueBytes) return ERROR_OUTOFMEMORY;
    m_valueBytes = m_valueBytes - replaced + size;
    values[valueName] = Value{type, std::string(reinterpret_cast<const char*>(data), size)};
    return ERROR_SUCCESS;
}

LONG CMemoryRegistry::DeleteValue(RegistryKey key, const char* valueName) {
    Handle* handle;
    LONG result = CheckHandle(key, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::DeleteValue, handle->node->name);
    if (result != ERROR_SUCCESS) return result;
    if (handle->access != KeyAccess::ReadWrite) return ERROR_ACCESS_DENIED;
    auto& values = handle->node->values;
    const auto existing = values.find(valueName);
    if (existing == values.end()) return ERROR_FILE_NOT_FOUND;
    m_valueBytes -= existing->second.data.size();
    values.erase(existing);
    return ERROR_SUCCESS;
}

void CMemoryRegistry::Remove(Node& node) {
    for (const auto& value : node.values) m_valueBytes -= value.second.data.size();
    node.values.clear();
    node.deleted = true;
    auto& siblings = node.parent->subKeys;
    siblings.erase(std::find_if(siblings.begin(), siblings.end(),
                                [&](const std::shared_ptr<Node>& sibling) { return sibling.get() == &node; }));
    --m_keyCount;
}

LONG CMemoryRegistry::DeleteKey(RegistryKey parent, const char* subKey) {
    Handle* handle;
    LONG result = CheckHandle(parent, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::DeleteKey, subKey);
    if (result != ERROR_SUCCESS) return result;
    std::shared_ptr<Node> node = subKey[0] == '\0' ? handle->node : handle->node->Child(subKey);
    if (node == nullptr) return ERROR_FILE_NOT_FOUND;
    if (node->parent == nullptr || node->writeDenied || !node->subKeys.empty()) return ERROR_ACCESS_DENIED;
    Remove(*node);
    return ERROR_SUCCESS;
}

LONG CMemoryRegistry::QuerySubKeyCount(RegistryKey key, DWORD* count) {
    Handle* handle;
    LONG result = CheckHandle(key, &handle);
    if (result == ERROR_SUCCESS) result = Injected(Call::QueryInfo, handle->node->name);
    if (result != ERROR_SUCCESS) return result;
    *count = static_cast<DWORD>(handle->node->subKeys.size());
    return ERROR_SUCCESS;
}

LONG CMemoryRegistry::EnumKey(RegistryKey key, DWORD index, char* name, DWORD* nameLength) {
    Handle* handle;
    const LONG result = CheckHandle(key, &handle);
    if (result != ERROR_SUCCESS) return result;
    const auto& subKeys = handle->node->subKeys;
    if (index >= subKeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& subKeyName = subKeys[index]->name;
    if (subKeyName.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, subKeyName.c_str(), subKeyName.size() + 1);
    *nameLength = static_cast<DWORD>(subKeyName.size());
    return ERROR_SUCCESS;
}

CMemoryRegistry::Node* CMemoryRegistry::Resolve(RootKey root, const std::string& path) const {
    Node* node = m_predefined[static_cast<std::size_t>(root)]->node.get();
    for (const std::string& part : SplitPath(path)) {
        const std::shared_ptr<Node> child = node->Child(part);
        if (child == nullptr) return nullptr;
        node = child.get();
    }
    return node;
}

bool CMemoryRegistry::KeyExists(RootKey root, const std::string& path) const { return Resolve(root, path) != nullptr; }

bool CMemoryRegistry::ReadValue(RootKey root, const std::string& path, const std::string& valueName,
                                Value* value) const {
    const Node* node = Resolve(root, path);
    if (node == nullptr) return false;
    const auto found = node->values.find(valueName);
    if (found == node->values.end()) return false;
    *value = found->second;
    return true;
}

std::vector<std::string> CMemoryRegistry::SubKeyNames(RootKey root, const std::string& path) const {
    std::vector<std::string> names;
    if (const Node* node = Resolve(root, path)) {
        for (const auto& child : node->subKeys) names.push_back(child->name);
    }
    return names;
}

void CMemoryRegistry::CreatePath(RootKey root, const std::string& path) {
    m_settingUp = true;
    RegistryKey key = PredefinedKey(root);
    for (const std::string& part : SplitPath(path)) {
        RegistryKey child;
        const LONG result = CreateKey(key, part.c_str(), &child);
        CloseKey(key);
        key = child;
        if (result != ERROR_SUCCESS) break;
    }
    if (key != nullptr) CloseKey(key);
    m_settingUp = false;
}

CMemoryRegistry::State CMemoryRegistry::Snapshot() const {
    State state;
    const auto add = [&](const auto& self, const Node& node, KeyPath& path) -> void {
        for (const auto& child : node.subKeys) {
            path.push_back(child->name);
            state[path] = KeyState{child->values, child->madeBySetUp, !child->subKeys.empty()};
            self(self, *child, path);
            path.pop_back();
        }
    };
    for (std::size_t root = 0; root < m_predefined.size(); ++root) {
        KeyPath path{std::to_string(root)};
        add(add, *m_predefined[root]->node, path);
    }
    return state;
}

void CMemoryRegistry::PutString(RootKey root, const std::string& path, const std::string& valueName,
                                const std::string& text) {
    CreatePath(root, path);
    Node* node = Resolve(root, path);
    if (node == nullptr) return;
    const auto existing = node->values.find(valueName);
    if (existing != node->values.end()) m_valueBytes -= existing->second.data.size();
    node->values[valueName] = Value{kRegString, std::string(text.c_str(), text.size() + 1)};
    m_valueBytes += text.size() + 1;
}

void CMemoryRegistry::DenyWrite(RootKey root, const std::string& path) {
    if (Node* node = Resolve(root, path)) node->writeDenied = true;
}

void CMemoryRegistry::FailCall(Call call, const std::string& keyName, LONG error) {
    m_failures.push_back({{call, keyName}, error});
}

}  // namespace qc::registrar::testing
