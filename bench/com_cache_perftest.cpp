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
// Users are 16-character names and texts 100 characters. For each count of
// users (1 000, 10 000 and 100 000 unless --users says otherwise), Add fills
// an emptied store and Get reads every user back; the figure per call is the
// best of several passes, taken in turns between the stores so that a busy
// moment of the machine does not fall on one of them alone, and enough passes
// that each figure spans at least --calls calls. Memory is the growth of the
// process's private bytes per entry as each store fills from empty up to
// each count.
//
// Usage: com_cache_perftest.exe [--csv] [--users=N,N,...] [--calls=N] [path of QuorCache.dll]
//   --csv prints one line per measurement instead of the table:
//   com,STORE,OPERATION,USERS,,NS_PER_CALL,BYTES_PER_ENTRY
#include "bench/com_bench_workload.h"
#include "manager/cache_manager.h"
#include "support/hresult_of.h"
#include "support/text_conversion.h"

#include "QuorCache.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using qc::bench::Keys;
using qc::bench::Stopwatch;

constexpr int kMinPasses = 5;

// What the command line asks for.
struct Options {
    bool csv = false;
    std::vector<int> users{1000, 10000, 100000};  // ascending
    int calls = 300000;
    const char* dll = nullptr;

    int MostUsers() const { return users.back(); }
    int Passes(int userCount) const { return std::max(kMinPasses, calls / userCount); }
};

// ---- the three stores, behind one small interface --------------------------

class Store {
public:
    virtual ~Store() = default;
    virtual const char* Name() const = 0;
    // Empties the store and makes it ready for up to `capacity` entries.
    virtual void Reset(int capacity) = 0;
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
    void Reset(int capacity) override {
        m_cache->Initialize();
        m_cache->DestroyCache(m_type);
        m_cache->CreateCache(m_type, capacity * 2, 0);
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
    void Reset(int capacity) override {
        CCacheManager* manager = GetCacheManager();
        manager->Initialize();
        manager->DestroyCache("Bench");
        manager->CreateCache("Bench", capacity * 2, 0);
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
    void Reset(int) override { m_map.clear(); }
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
    void Reset(int) override { Call(m_removeAll, DISPATCH_METHOD, nullptr, 0, nullptr); }
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
    double addNs = 1e18;
    double getNs = 1e18;
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

// Fills the emptied store with the first users, one count after another,
// and sets each count's bytes per entry: the private bytes grown since the
// store was empty. The store keeps its entries afterwards, so that later
// measurements cannot reuse that memory.
void MeasureMemory(Store& store, const Keys& keys, const Options& options, std::vector<Figures>& figures) {
    store.Reset(options.MostUsers());
    const SIZE_T before = PrivateBytes();
    size_t added = 0;
    for (size_t size = 0; size < options.users.size(); ++size) {
        const auto count = static_cast<size_t>(options.users[size]);
        for (; added < count; ++added)
            if (FAILED(store.Add(keys.users[added], keys.texts[added]))) return;
        figures[size].bytesPerEntry = static_cast<double>(PrivateBytes() - before) / static_cast<double>(count);
    }
}

// One timed pass over the first `count` users: Add into the emptied store,
// then Get of each; kept where it beats the passes before it.
void MeasurePass(Store& store, const Keys& keys, size_t count, int capacity, Figures& figures) {
    store.Reset(capacity);
    Stopwatch add;
    for (size_t i = 0; i < count; ++i) store.Add(keys.users[i], keys.texts[i]);
    figures.addNs = std::min(figures.addNs, add.Nanoseconds() / count);
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

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--csv") == 0) {
            options.csv = true;
        } else if (std::strncmp(argument, "--users=", 8) == 0) {
            options.users.clear();
            for (const char* p = argument + 8; *p != 0;) {
                char* end = nullptr;
                const long count = std::strtol(p, &end, 10);
                if (end == p || count <= 0 || (!options.users.empty() && count <= options.users.back())) return false;
                options.users.push_back(static_cast<int>(count));
                p = *end == ',' ? end + 1 : end;
                if (*end != ',' && *end != 0) return false;
            }
            if (options.users.empty()) return false;
        } else if (std::strncmp(argument, "--calls=", 8) == 0) {
            options.calls = std::atoi(argument + 8);
        } else if (argument[0] == '-' || options.dll != nullptr) {
            return false;
        } else {
            options.dll = argument;
        }
    }
    return true;
}

void PrintTable(const std::vector<std::unique_ptr<Store>>& stores, const std::vector<std::vector<Figures>>& figures,
                const Options& options) {
    std::printf("16-character names, 100-character texts; best of several passes, at least %d calls each\n",
                options.calls);
    std::printf("%-24s %8s %12s %12s %12s\n", "store", "users", "Add ns/call", "Get ns/call", "bytes/entry");
    for (size_t size = 0; size < options.users.size(); ++size)
        for (size_t i = 0; i < stores.size(); ++i)
            std::printf("%-24s %8d %12.0f %12.0f %12.0f\n", stores[i]->Name(), options.users[size],
                        figures[i][size].addNs, figures[i][size].getNs, figures[i][size].bytesPerEntry);
    for (size_t size = 0; size < options.users.size(); ++size)
        for (size_t i = 1; i < stores.size(); ++i)
            std::printf("%8d users: COMCache / %-22s Add %.2fx  Get %.2fx\n", options.users[size], stores[i]->Name(),
                        figures[0][size].addNs / figures[i][size].addNs,
                        figures[0][size].getNs / figures[i][size].getNs);
}

void PrintCsv(const std::vector<std::unique_ptr<Store>>& stores, const std::vector<std::vector<Figures>>& figures,
              const Options& options) {
    for (size_t i = 0; i < stores.size(); ++i)
        for (size_t size = 0; size < options.users.size(); ++size) {
            const Figures& f = figures[i][size];
            std::printf("com,%s,Add,%d,,%.1f,%.0f\n", stores[i]->Name(), options.users[size], f.addNs, f.bytesPerEntry);
            std::printf("com,%s,Get,%d,,%.1f,\n", stores[i]->Name(), options.users[size], f.getNs);
        }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::printf("usage: com_cache_perftest.exe [--csv] [--users=N,N,...] [--calls=N] [path of QuorCache.dll]\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    std::vector<std::unique_ptr<Store>> stores;
    std::unique_ptr<Store> server = options.dll ? ComCacheStore::Load(options.dll) : nullptr;
    if (options.dll && !server) std::printf("could not load %s: measuring the manager directly\n", options.dll);
    stores.push_back(server ? std::move(server) : std::unique_ptr<Store>(new ManagerStore()));
    stores.push_back(std::unique_ptr<Store>(new BaselineStore()));
    if (std::unique_ptr<Store> dictionary = DictionaryStore::Create())
        stores.push_back(std::move(dictionary));
    else
        std::printf("Scripting.Dictionary is not available\n");

    // figures[store][size]
    std::vector<std::vector<Figures>> figures(stores.size(), std::vector<Figures>(options.users.size()));
    const Keys keys(options.MostUsers());
    // Memory first, each store keeping its entries until all are measured.
    for (size_t i = 0; i < stores.size(); ++i) MeasureMemory(*stores[i], keys, options, figures[i]);
    for (size_t size = 0; size < options.users.size(); ++size) {
        const auto count = static_cast<size_t>(options.users[size]);
        for (int pass = 0; pass < options.Passes(options.users[size]); ++pass)
            for (size_t i = 0; i < stores.size(); ++i)
                MeasurePass(*stores[i], keys, count, options.MostUsers(), figures[i][size]);
    }

    if (options.csv)
        PrintCsv(stores, figures, options);
    else
        PrintTable(stores, figures, options);

    stores.clear();
    ::CoUninitialize();
    return 0;
}
