// How fast Add and Get are for a caller, and what one entry costs in memory,
// measured in one run against two references:
//   COMCache     through the ICOMCache interface table of an object from the
//                server DLL (or, when no DLL path is given or it does not
//                load, through the cache manager itself with the same BSTR
//                conversions the interface methods make);
//   baseline     the same conversions into an unordered_map of std::string
//                under one critical section;
//   dictionary   the scripting runtime's dictionary, driven through
//                IDispatch::Invoke with DISPIDs looked up once.
// Users are 16-character names and texts 100 characters. Timings are per
// call, the best of several passes over 10 000 users; memory is the growth
// of the process's private bytes for 100 000 entries, per entry.
//
// Usage: com_cache_perftest.exe [path of QuorCache.dll]
#include "bench/com_bench_workload.h"
#include "manager/cache_manager.h"
#include "support/hresult_of.h"
#include "support/text_conversion.h"

#include "QuorCache.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using qc::bench::Keys;
using qc::bench::Stopwatch;

constexpr int kUsers = 10000;
constexpr int kMemoryEntries = 100000;
constexpr int kPasses = 5;

// ---- the three stores, behind one small interface --------------------------

class Store {
public:
    virtual ~Store() = default;
    virtual const char* Name() const = 0;
    // Empties the store and makes it ready for a fresh set of entries.
    virtual void Reset() = 0;
    virtual HRESULT Add(BSTR user, BSTR text) = 0;
    // The caller frees *text.
    virtual HRESULT Get(BSTR user, BSTR* text) = 0;
};

// An ICOMCache object from the server DLL, loaded without registration.
class ComCacheStore final : public Store {
public:
    static std::unique_ptr<Store> Load(const char* path) {
        const HMODULE module = ::LoadLibraryA(path);
        if (module == nullptr) return nullptr;
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        // Through void*: a FARPROC is cast to the export's real type.
        const auto entry = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
        IClassFactory* factory = nullptr;
        if (entry == nullptr || FAILED(entry(CLSID_COMCache, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
            return nullptr;
        ICOMCache* cache = nullptr;
        const HRESULT hr = factory->CreateInstance(nullptr, IID_ICOMCache, reinterpret_cast<void**>(&cache));
        factory->Release();
        if (FAILED(hr)) return nullptr;
        return std::unique_ptr<Store>(new ComCacheStore(cache));
    }
    ~ComCacheStore() override {
        m_cache->Terminate();
        m_cache->Release();
        ::SysFreeString(m_type);
    }
    const char* Name() const override { return "COMCache (ICOMCache)"; }
    void Reset() override {
        m_cache->Initialize();
        m_cache->DestroyCache(m_type);
        m_cache->CreateCache(m_type, kMemoryEntries * 2, 0);
    }
    HRESULT Add(BSTR user, BSTR text) override { return m_cache->Add(user, text, m_type); }
    HRESULT Get(BSTR user, BSTR* text) override { return m_cache->Get(user, text, m_type); }

private:
    explicit ComCacheStore(ICOMCache* cache) : m_cache(cache), m_type(::SysAllocString(L"Bench")) {}
    ICOMCache* m_cache;
    BSTR m_type;
};

// The manager reached as the interface methods reach it: convert, then call.
class ManagerStore final : public Store {
public:
    ManagerStore() : m_type(::SysAllocString(L"Bench")) {}
    ~ManagerStore() override {
        GetCacheManager()->Terminate();
        ::SysFreeString(m_type);
    }
    const char* Name() const override { return "COMCache (manager)"; }
    void Reset() override {
        CCacheManager* manager = GetCacheManager();
        manager->Initialize();
        manager->DestroyCache("Bench");
        manager->CreateCache("Bench", kMemoryEntries * 2, 0);
    }
    HRESULT Add(BSTR user, BSTR text) override {
        return HResultOf([&] {
            const std::string type = BstrToAnsi(m_type);
            const std::string data = BstrToAnsi(text);
            const std::string name = BstrToAnsi(user);
            return GetCacheManager()->Add(name, data, type);
        });
    }
    HRESULT Get(BSTR user, BSTR* text) override {
        return HResultOf([&] {
            const std::string type = BstrToAnsi(m_type);
            const std::string key = BstrToAnsi(user);
            std::string value;
            const HRESULT hr = GetCacheManager()->Get(type, key, &value);
            if (hr == S_OK) *text = AnsiToBstr(value.c_str());
            return hr;
        });
    }

private:
    BSTR m_type;
};

class BaselineStore final : public Store {
public:
    BaselineStore() { ::InitializeCriticalSection(&m_lock); }
    ~BaselineStore() override { ::DeleteCriticalSection(&m_lock); }
    const char* Name() const override { return "baseline (map + lock)"; }
    void Reset() override { m_map.clear(); }
    HRESULT Add(BSTR user, BSTR text) override {
        std::string data = BstrToAnsi(text);
        std::string key = BstrToAnsi(user);
        ::EnterCriticalSection(&m_lock);
        m_map[std::move(key)] = std::move(data);
        ::LeaveCriticalSection(&m_lock);
        return S_OK;
    }
    HRESULT Get(BSTR user, BSTR* text) override {
        const std::string key = BstrToAnsi(user);
        HRESULT hr = E_FAIL;
        ::EnterCriticalSection(&m_lock);
        const auto found = m_map.find(key);
        if (found != m_map.end()) {
            *text = AnsiToBstr(found->second.c_str());
            hr = *text ? S_OK : E_OUTOFMEMORY;
        }
        ::LeaveCriticalSection(&m_lock);
        return hr;
    }

private:
    CRITICAL_SECTION m_lock;
    std::unordered_map<std::string, std::string> m_map;
};

class DictionaryStore final : public Store {
public:
    static std::unique_ptr<Store> Create() {
        CLSID clsid;
        if (FAILED(::CLSIDFromProgID(L"Scripting.Dictionary", &clsid))) return nullptr;
        std::unique_ptr<DictionaryStore> store(new DictionaryStore(clsid));
        if (store->m_dictionary == nullptr) return nullptr;
        return store;
    }
    ~DictionaryStore() override {
        if (m_dictionary) m_dictionary->Release();
    }
    const char* Name() const override { return "Scripting.Dictionary"; }
    void Reset() override { Call(m_removeAll, DISPATCH_METHOD, nullptr, 0, nullptr); }
    HRESULT Add(BSTR user, BSTR text) override {
        VARIANT arguments[2];  // right to left: item, then key
        V_VT(&arguments[0]) = VT_BSTR;
        V_BSTR(&arguments[0]) = text;
        V_VT(&arguments[1]) = VT_BSTR;
        V_BSTR(&arguments[1]) = user;
        return Call(m_add, DISPATCH_METHOD, arguments, 2, nullptr);
    }
    HRESULT Get(BSTR user, BSTR* text) override {
        VARIANT key;
        V_VT(&key) = VT_BSTR;
        V_BSTR(&key) = user;
        VARIANT result;
        ::VariantInit(&result);
        const HRESULT hr = Call(m_item, DISPATCH_PROPERTYGET, &key, 1, &result);
        if (FAILED(hr)) return hr;
        if (V_VT(&result) != VT_BSTR) {
            ::VariantClear(&result);
            return E_FAIL;
        }
        *text = V_BSTR(&result);  // handed to the caller
        return S_OK;
    }

private:
    explicit DictionaryStore(const CLSID& clsid) {
        if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&m_dictionary))))
            return;
        if (!Lookup(L"Add", &m_add) || !Lookup(L"Item", &m_item) || !Lookup(L"RemoveAll", &m_removeAll)) {
            m_dictionary->Release();
            m_dictionary = nullptr;
        }
    }
    bool Lookup(const wchar_t* name, DISPID* id) {
        LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
        return SUCCEEDED(m_dictionary->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id));
    }
    HRESULT Call(DISPID id, WORD flags, VARIANT* arguments, UINT count, VARIANT* result) {
        DISPPARAMS params = {arguments, nullptr, count, 0};
        return m_dictionary->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
    }

    IDispatch* m_dictionary = nullptr;
    DISPID m_add = 0, m_item = 0, m_removeAll = 0;
};

// ---- measuring -------------------------------------------------------------

struct Figures {
    double addNs = 0;
    double getNs = 0;
    double bytesPerEntry = -1;
};

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters)))
        return 0;
    // Some systems leave PrivateUsage 0; PagefileUsage is the same commit
    // charge under its older name.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Private bytes the store grows by for `keys`, per entry. The store keeps
// its entries afterwards, so later measurements cannot reuse that memory.
double MeasureMemory(Store& store, const Keys& keys) {
    store.Reset();
    const SIZE_T before = PrivateBytes();
    for (size_t i = 0; i < keys.users.size(); ++i)
        if (FAILED(store.Add(keys.users[i], keys.texts[i]))) return -1;
    const SIZE_T after = PrivateBytes();
    return static_cast<double>(after - before) / static_cast<double>(keys.users.size());
}

Figures MeasureSpeed(Store& store, const Keys& keys) {
    Figures figures;
    figures.addNs = figures.getNs = 1e18;
    const size_t count = keys.users.size();
    for (int pass = 0; pass < kPasses; ++pass) {
        store.Reset();
        Stopwatch add;
        for (size_t i = 0; i < count; ++i) store.Add(keys.users[i], keys.texts[i]);
        figures.addNs = std::min(figures.addNs, add.Nanoseconds() / count);
    }
    for (int pass = 0; pass < kPasses; ++pass) {
        size_t found = 0;
        Stopwatch get;
        for (size_t i = 0; i < count; ++i) {
            BSTR text = nullptr;
            if (store.Get(keys.users[i], &text) == S_OK) ++found;
            ::SysFreeString(text);
        }
        figures.getNs = std::min(figures.getNs, get.Nanoseconds() / count);
        if (found != count) std::printf("  %s: only %zu of %zu found\n", store.Name(), found, count);
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    std::vector<std::unique_ptr<Store>> stores;
    std::unique_ptr<Store> server = argc > 1 ? ComCacheStore::Load(argv[1]) : nullptr;
    if (argc > 1 && !server) std::printf("could not load %s: measuring the manager directly\n", argv[1]);
    stores.push_back(server ? std::move(server) : std::unique_ptr<Store>(new ManagerStore()));
    stores.push_back(std::unique_ptr<Store>(new BaselineStore()));
    if (std::unique_ptr<Store> dictionary = DictionaryStore::Create())
        stores.push_back(std::move(dictionary));
    else
        std::printf("Scripting.Dictionary is not available\n");

    std::vector<Figures> figures(stores.size());
    {
        // Memory first, each store keeping its entries until all are measured.
        const Keys memoryKeys(kMemoryEntries);
        for (size_t i = 0; i < stores.size(); ++i) figures[i].bytesPerEntry = MeasureMemory(*stores[i], memoryKeys);
        for (auto& store : stores) store->Reset();
    }
    const Keys keys(kUsers);
    for (size_t i = 0; i < stores.size(); ++i) {
        const Figures speed = MeasureSpeed(*stores[i], keys);
        figures[i].addNs = speed.addNs;
        figures[i].getNs = speed.getNs;
    }

    std::printf("%d users, 16-character names, 100-character texts; best of %d passes\n", kUsers, kPasses);
    std::printf("%-24s %12s %12s %16s\n", "store", "Add ns/call", "Get ns/call", "bytes/entry");
    for (size_t i = 0; i < stores.size(); ++i)
        std::printf("%-24s %12.0f %12.0f %16.0f\n", stores[i]->Name(), figures[i].addNs, figures[i].getNs,
                    figures[i].bytesPerEntry);
    for (size_t i = 1; i < stores.size(); ++i)
        std::printf("COMCache / %-22s Add %.2fx  Get %.2fx\n", stores[i]->Name(), figures[0].addNs / figures[i].addNs,
                    figures[0].getNs / figures[i].getNs);

    stores.clear();
    ::CoUninitialize();
    return 0;
}
