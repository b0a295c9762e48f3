// What a call to Add and Get costs along each road a client takes to a
// registered COMCache, in one run, against the direct interface-table call:
//   vtable              ICOMCache called directly, in the object's apartment
//   Invoke (DISPID)     IDispatch::Invoke with DISPIDs looked up once
//   Invoke + names      GetIDsOfNames before every Invoke, as late-bound
//                       callers without a DISPID cache do
//   proxy (MTA thread)  ICOMCache from another apartment, through the DLL's
//                       own proxy/stub
// Users are 16-character names and texts 100 characters. Timings are per
// call, the best of several passes over the users.
//
// The server must be registered (regsvr32): Invoke needs its registered type
// library and the proxy needs its registered proxy/stub.
// Usage: com_cache_dispatch_perftest.exe [--csv]
//   --csv prints one line per measurement instead of the table:
//   roads,ROAD,OPERATION,USERS,,NS_PER_CALL,
#include "platform/platform.h"
#include "bench/com_bench_workload.h"

#include "QuorCache.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using qc::bench::Keys;
using qc::bench::Stopwatch;

constexpr int kUsers = 10000;
constexpr int kProxyUsers = 2000;  // a cross-apartment call is a thousand times slower
constexpr int kPasses = 15;
constexpr int kProxyPasses = 3;

// One road to the object: Add and Get for user i, each returning its HRESULT.
struct Road {
    std::function<HRESULT(BSTR user, BSTR text)> add;
    std::function<HRESULT(BSTR user)> get;  // frees the text it receives
};

struct Figures {
    double addNs = 1e18;
    double getNs = 1e18;
    int failures = 0;
};

// One timed pass of `road` over the first `count` users, kept when it beats
// the passes before it.
void MeasurePass(const Road& road, const Keys& keys, int count, Figures& figures) {
    Stopwatch add;
    for (int i = 0; i < count; ++i)
        if (road.add(keys.users[i], keys.texts[i]) != S_OK) ++figures.failures;
    figures.addNs = std::min(figures.addNs, add.Nanoseconds() / count);
    Stopwatch get;
    for (int i = 0; i < count; ++i)
        if (road.get(keys.users[i]) != S_OK) ++figures.failures;
    figures.getNs = std::min(figures.getNs, get.Nanoseconds() / count);
}

Road VtableRoad(ICOMCache* cache, BSTR type) {
    return Road{[=](BSTR user, BSTR text) { return cache->Add(user, text, type); },
                [=](BSTR user) {
                    BSTR text = nullptr;
                    const HRESULT hr = cache->Get(user, &text, type);
                    ::SysFreeString(text);
                    return hr;
                }};
}

// Arguments go right to left, as DISPPARAMS holds them.
HRESULT InvokeAdd(IDispatch* dispatch, DISPID id, BSTR user, BSTR text, BSTR type) {
    VARIANT arguments[3];
    V_VT(&arguments[0]) = VT_BSTR;
    V_BSTR(&arguments[0]) = type;
    V_VT(&arguments[1]) = VT_BSTR;
    V_BSTR(&arguments[1]) = text;
    V_VT(&arguments[2]) = VT_BSTR;
    V_BSTR(&arguments[2]) = user;
    DISPPARAMS params = {arguments, nullptr, 3, 0};
    return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

HRESULT InvokeGet(IDispatch* dispatch, DISPID id, BSTR user, BSTR type) {
    BSTR text = nullptr;
    VARIANT arguments[3];
    V_VT(&arguments[0]) = VT_BSTR;
    V_BSTR(&arguments[0]) = type;
    V_VT(&arguments[1]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&arguments[1]) = &text;
    V_VT(&arguments[2]) = VT_BSTR;
    V_BSTR(&arguments[2]) = user;
    DISPPARAMS params = {arguments, nullptr, 3, 0};
    const HRESULT hr =
        dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    ::SysFreeString(text);
    return hr;
}

DISPID IdOf(IDispatch* dispatch, const wchar_t* name) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

Road DispidRoad(IDispatch* dispatch, BSTR type) {
    const DISPID add = IdOf(dispatch, L"Add");
    const DISPID get = IdOf(dispatch, L"Get");
    return Road{[=](BSTR user, BSTR text) { return InvokeAdd(dispatch, add, user, text, type); },
                [=](BSTR user) { return InvokeGet(dispatch, get, user, type); }};
}

Road NamedRoad(IDispatch* dispatch, BSTR type) {
    return Road{[=](BSTR user, BSTR text) { return InvokeAdd(dispatch, IdOf(dispatch, L"Add"), user, text, type); },
                [=](BSTR user) { return InvokeGet(dispatch, IdOf(dispatch, L"Get"), user, type); }};
}

// Measures the proxy road on a multithreaded-apartment thread while this
// (single-threaded) apartment serves the calls.
Figures MeasureThroughProxy(ICOMCache* cache, BSTR type, const Keys& keys) {
    struct Job {
        IStream* stream;
        BSTR type;
        const Keys* keys;
        Figures figures;
        HRESULT hr;
        static DWORD WINAPI Run(void* argument) {
            auto& job = *static_cast<Job*>(argument);
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ICOMCache* proxy = nullptr;
            job.hr = ::CoGetInterfaceAndReleaseStream(job.stream, IID_ICOMCache, reinterpret_cast<void**>(&proxy));
            if (SUCCEEDED(job.hr)) {
                const Road road = VtableRoad(proxy, job.type);
                for (int pass = 0; pass < kProxyPasses; ++pass) MeasurePass(road, *job.keys, kProxyUsers, job.figures);
                proxy->Release();
            }
            ::CoUninitialize();
            return 0;
        }
    };
    Job job{nullptr, type, &keys, Figures{}, E_FAIL};
    Figures none;
    none.failures = -1;
    if (FAILED(::CoMarshalInterThreadInterfaceInStream(IID_ICOMCache, cache, &job.stream))) return none;
    HANDLE thread = ::CreateThread(nullptr, 0, &Job::Run, &job, 0, nullptr);
    if (thread == nullptr) return none;
    DWORD index = 0;
    ::CoWaitForMultipleHandles(0, INFINITE, 1, &thread, &index);
    ::CloseHandle(thread);
    return SUCCEEDED(job.hr) ? job.figures : none;
}

void PrintCsv(const char* road, const Figures& figures, int users) {
    if (figures.failures < 0) return;
    std::printf("roads,%s,Add,%d,,%.1f,\n", road, users, figures.addNs);
    std::printf("roads,%s,Get,%d,,%.1f,\n", road, users, figures.getNs);
}

void Print(const char* road, const Figures& figures, const Figures& vtable) {
    if (figures.failures < 0) {
        std::printf("%-22s %12s %12s\n", road, "unavailable", "");
        return;
    }
    std::printf("%-22s %12.0f %12.0f %9.1fx %9.1fx%s\n", road, figures.addNs, figures.getNs,
                figures.addNs / vtable.addNs, figures.getNs / vtable.getNs,
                figures.failures ? "  (some calls failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const bool csv = argc == 2 && std::strcmp(argv[1], "--csv") == 0;
    if (argc > 1 && !csv) {
        std::printf("usage: com_cache_dispatch_perftest.exe [--csv]\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    ICOMCache* cache = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache,
                                  reinterpret_cast<void**>(&cache)))) {
        std::printf("QuorCache.COMCache is not registered: run regsvr32 QuorCache.dll first\n");
        return 1;
    }
    BSTR type = ::SysAllocString(L"Bench");
    cache->Initialize();
    cache->CreateCache(type, kUsers * 2, 0);

    int status = 0;
    {
        const Keys keys(kUsers);
        // The in-process roads take turns, pass by pass, so that a busy
        // moment of the machine does not fall on one of them alone.
        const char* const names[] = {"vtable", "Invoke (DISPID)", "Invoke + names", "proxy (MTA thread)"};
        const Road roads[] = {VtableRoad(cache, type), DispidRoad(cache, type), NamedRoad(cache, type)};
        Figures figures[4];
        for (const Road& road : roads) {
            Figures warmUp;
            MeasurePass(road, keys, kUsers, warmUp);
        }
        for (int pass = 0; pass < kPasses; ++pass)
            for (int road = 0; road < 3; ++road) MeasurePass(roads[road], keys, kUsers, figures[road]);
        figures[3] = MeasureThroughProxy(cache, type, keys);

        if (!csv) {
            std::printf("%d users, 16-character names, 100-character texts; best of %d passes "
                        "(across apartments: %d users, best of %d)\n",
                        kUsers, kPasses, kProxyUsers, kProxyPasses);
            std::printf("%-22s %12s %12s %10s %10s\n", "road", "Add ns/call", "Get ns/call", "Add/vtbl", "Get/vtbl");
        }
        for (int road = 0; road < 4; ++road) {
            if (csv)
                PrintCsv(names[road], figures[road], road == 3 ? kProxyUsers : kUsers);
            else
                Print(names[road], figures[road], figures[0]);
            if (figures[road].failures != 0) status = 1;
        }
    }

    cache->Terminate();
    cache->Release();
    ::SysFreeString(type);
    ::CoUninitialize();
    return status;
}
