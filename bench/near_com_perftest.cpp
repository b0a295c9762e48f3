// A hot farm Get served near against a local cache's Get, through the
// ICOMCache interface table of an object from the registered DLL, in one
// process and one run: both caches hold the same 1000 users, and every farm
// entry has been read once, so that with NearCache set the farm cache keeps
// a copy of each. bench/farm_bench.sh runs it with and without NearCache.
//   near_com_perftest.exe CALLS   prints "dll_local_get_us X", "dll_farm_get_us Y"
#include "bench/farm_bench_workload.h"
#include "support/bstr.h"
#include "support/com_ref.h"

#include "QuorCache.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace qc::bench;

namespace {

// Microseconds per Get of `cacheName`, walking the users, from this thread.
double GetMicroseconds(ICOMCache2* cache, BSTR cacheName, const std::vector<qc::Bstr>& users, int calls) {
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        BSTR value = nullptr;
        CheckFarmCall(cache->Get(users[i % users.size()].Get(), &value, cacheName), "Get");
        ::SysFreeString(value);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
    CheckFarmCall(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    {
        qc::ComRef<ICOMCache2> cache;
        CheckFarmCall(::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache2,
                                         cache.ReceiveVoid()),
                      "CoCreateInstance");
        const qc::Bstr farm(L"Bench"), local(L"LocalBench");
        const qc::Bstr text(std::wstring(kFarmTextBytes, L't').c_str());
        std::vector<qc::Bstr> users;
        for (int i = 0; i < kFarmUsers; ++i) {
            const std::string name = FarmUser(i);
            users.emplace_back(std::wstring(name.begin(), name.end()).c_str());
        }
        CheckFarmCall(cache->Initialize(), "Initialize");
        CheckFarmCall(cache->CreateCache(farm.Get(), 1000000, 20), "CreateCache");
        CheckFarmCall(cache->CreateCache(local.Get(), 1000000, 20), "CreateCache");
        CheckFarmCall(cache->Clear(farm.Get()), "Clear");
        for (const qc::Bstr& user : users) {
            CheckFarmCall(cache->Add(user.Get(), text.Get(), farm.Get()), "warm-up add");
            CheckFarmCall(cache->Add(user.Get(), text.Get(), local.Get()), "warm-up add");
        }
        // The invalidation channel subscribes within moments of Initialize;
        // copies are kept from then on, and this process's own adds echo
        // back as invalidations first.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        GetMicroseconds(cache.Get(), farm.Get(), users, kFarmUsers);
        // Rounds in turns, the best of each.
        double localBest = 1e9, farmBest = 1e9;
        for (int round = 0; round < 3; ++round) {
            localBest = std::min(localBest, GetMicroseconds(cache.Get(), local.Get(), users, calls));
            farmBest = std::min(farmBest, GetMicroseconds(cache.Get(), farm.Get(), users, calls));
        }
        std::printf("dll_local_get_us %.3f\ndll_farm_get_us %.3f\n", localBest, farmBest);
        CheckFarmCall(cache->Clear(farm.Get()), "Clear");
        CheckFarmCall(cache->Terminate(), "Terminate");
    }
    ::CoUninitialize();
    return 0;
}
