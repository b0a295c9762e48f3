// The farm measured as a page sees it: Add and Get through the ICOMCache
// interface table of objects from the registered DLL, whose farm settings
// (HKLM\SOFTWARE\QuorCache\Farm) name the Redis server of bench/farm_bench.sh.
// One thread per call for latency, then 8 threads, each with its own
// apartment and object, sharing the DLL's one pool.
//   farm_com_perftest.exe CALLS   prints "dll_name value" lines
#include "bench/farm_bench_workload.h"
#include "support/bstr.h"
#include "support/com_ref.h"

#include "QuorCache.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace qc::bench;

namespace {

qc::ComRef<ICOMCache2> NewCache() {
    qc::ComRef<ICOMCache2> cache;
    CheckFarmCall(::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache2,
                                     cache.ReceiveVoid()),
                  "CoCreateInstance");
    return cache;
}

// One benchmark thread's apartment and object.
class Session {
public:
    explicit Session(qc::ComRef<ICOMCache2>* slot) : m_slot(slot) {
        CheckFarmCall(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
        *m_slot = NewCache();
    }
    ~Session() {
        *m_slot = qc::ComRef<ICOMCache2>();
        ::CoUninitialize();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    qc::ComRef<ICOMCache2>* m_slot;
};

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
    CheckFarmCall(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    {
        qc::ComRef<ICOMCache2> control = NewCache();
        const qc::Bstr cacheName(L"Bench");
        const qc::Bstr text(std::wstring(kFarmTextBytes, L't').c_str());
        std::vector<qc::Bstr> users;
        for (int i = 0; i < kFarmUsers; ++i) {
            const std::string name = FarmUser(i);
            users.emplace_back(std::wstring(name.begin(), name.end()).c_str());
        }
        CheckFarmCall(control->Initialize(), "Initialize");
        CheckFarmCall(control->CreateCache(cacheName.Get(), 1000000, 20), "CreateCache");
        CheckFarmCall(control->Clear(cacheName.Get()), "Clear");
        for (const qc::Bstr& user : users) CheckFarmCall(control->Add(user.Get(), text.Get(), cacheName.Get()), "warm-up add");

        // Each timed thread makes its own apartment and object first.
        std::vector<qc::ComRef<ICOMCache2>> objects(kFarmThreads);
        const auto start = [&](int t) { return std::make_unique<Session>(&objects[t]); };
        const auto user = [&](int t, int i) { return users[FarmUserIndex(t, i) % kFarmUsers].Get(); };
        PrintFarmFigures(
            "dll_", calls, start,
            [&](int t, int i) { CheckFarmCall(objects[t]->Add(user(t, i), text.Get(), cacheName.Get()), "Add"); },
            [&](int t, int i) {
                BSTR value = nullptr;
                CheckFarmCall(objects[t]->Get(user(t, i), &value, cacheName.Get()), "Get");
                ::SysFreeString(value);
            });
        CheckFarmCall(control->Clear(cacheName.Get()), "Clear");
        CheckFarmCall(control->Terminate(), "Terminate");
    }
    ::CoUninitialize();
    return 0;
}
