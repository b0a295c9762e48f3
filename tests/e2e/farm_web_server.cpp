// One web server of a farm, for the end-to-end test of farm caches: a client
// process of the registered DLL that runs the steps on its command line, in
// order, and prints one line per step; several of them share caches only
// through the farm's server. Steps:
//   create CACHE MAX MINUTES      add CACHE USER TEXT     get CACHE USER
//   free CACHE USER               destroy CACHE
//   gone CACHE USER SECONDS       Gets every 100 ms (its own flushes run) until one fails,
//                                 USER being absent, or SECONDS have passed (S_OK)
//   lookup CACHE USER   count CACHE   clear CACHE   names
//   stats CACHE                   prints "name entries hits misses"
//   calls N CACHE USER            N Gets in a row: the last one's result, the time of all
//   until CACHE USER SECONDS      the other way round: until one finds USER
//   signal FILE                   creates FILE       waitfor FILE   waits for FILE
//   sleep MILLISECONDS
//   tick                          prints the time: microseconds of the clock every process shares
//   seen CACHE USER TEXT SECONDS  Gets every millisecond until one gives TEXT ("-": USER is
//                                 absent); prints the time it did
// Each line is "<step> <user or cache>: 0x<HRESULT> <milliseconds>[ <text>]";
// texts travel as UTF-8. Initialize comes first and Terminate last.
#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include "QuorCache.h"

#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8Of(const wchar_t* text, int units = -1) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, units, &utf8[0], size, nullptr, nullptr);
    if (units < 0 && !utf8.empty()) utf8.pop_back();  // the terminator
    return utf8;
}

void Report(const wchar_t* step, const wchar_t* what, HRESULT hr, ULONGLONG started, const std::string& text = {}) {
    std::printf("%s %s: 0x%08lX %llu%s%s\n", Utf8Of(step).c_str(), Utf8Of(what).c_str(),
                static_cast<unsigned long>(hr), static_cast<unsigned long long>(::GetTickCount64() - started),
                text.empty() ? "" : " ", text.c_str());
    std::fflush(stdout);
}

unsigned long long NowMicroseconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    const unsigned long long ticks = now.QuadPart, perSecond = frequency.QuadPart;
    return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

bool WaitForFile(const wchar_t* path, DWORD seconds) {
    for (DWORD waited = 0; waited < seconds * 10; ++waited) {
        if (::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return true;
        ::Sleep(100);
    }
    return false;
}

// Runs the steps from argument `first` on; false at a step it cannot read.
// "name entries hits misses" of a cache's statistics.
std::string StatisticsText(IDispatch* snapshot) {
    qc::ComRef<ICacheStatistics> statistics;
    if (snapshot == nullptr || FAILED(snapshot->QueryInterface(IID_ICacheStatistics, statistics.ReceiveVoid())))
        return "<none>";
    qc::Bstr name;
    LONG entries = -1, hits = -1, misses = -1;
    statistics->get_Name(name.Receive());
    statistics->get_Entries(&entries);
    statistics->get_Hits(&hits);
    statistics->get_Misses(&misses);
    return Utf8Of(name.Get() ? name.Get() : L"") + " " + std::to_string(entries) + " " + std::to_string(hits) + " " +
           std::to_string(misses);
}

// The names of a CacheNames array, separated by commas.
std::string NamesText(const VARIANT& names) {
    if (V_VT(&names) != (VT_ARRAY | VT_VARIANT)) return "<not an array>";
    SAFEARRAY* array = V_ARRAY(&names);
    LONG low = 0, high = -1;
    ::SafeArrayGetLBound(array, 1, &low);
    ::SafeArrayGetUBound(array, 1, &high);
    std::string text;
    for (LONG index = low; index <= high; ++index) {
        qc::Variant element;
        ::SafeArrayGetElement(array, &index, &element.Get());
        if (!text.empty()) text += ",";
        text += V_VT(&element.Get()) == VT_BSTR ? Utf8Of(V_BSTR(&element.Get())) : "<not a text>";
    }
    return text;
}

bool RunSteps(ICOMCache2& cache, int count, wchar_t** arguments) {
    for (int i = 1; i < count;) {
        const std::wstring step = arguments[i];
        const int left = count - i - 1;
        const ULONGLONG started = ::GetTickCount64();
        auto arg = [&](int n) { return arguments[i + n]; };
        auto get = [&](const wchar_t* name, const wchar_t* user) {
            qc::Bstr text;
            return cache.Get(qc::Bstr(user).Get(), text.Receive(), qc::Bstr(name).Get());
        };
        if (step == L"create" && left >= 3) {
            Report(arg(0), arg(1), cache.CreateCache(qc::Bstr(arg(1)).Get(), _wtol(arg(2)), _wtol(arg(3))), started);
            i += 4;
        } else if (step == L"add" && left >= 3) {
            Report(arg(0), arg(2), cache.Add(qc::Bstr(arg(2)).Get(), qc::Bstr(arg(3)).Get(), qc::Bstr(arg(1)).Get()),
                   started);
            i += 4;
        } else if (step == L"get" && left >= 2) {
            qc::Bstr text;
            const HRESULT hr = cache.Get(qc::Bstr(arg(2)).Get(), text.Receive(), qc::Bstr(arg(1)).Get());
            Report(arg(0), arg(2), hr, started, text.Get() ? Utf8Of(text.Get(), ::SysStringLen(text.Get())) : "");
            i += 3;
        } else if (step == L"free" && left >= 2) {
            Report(arg(0), arg(2), cache.Free(qc::Bstr(arg(2)).Get(), qc::Bstr(arg(1)).Get()), started);
            i += 3;
        } else if (step == L"destroy" && left >= 1) {
            Report(arg(0), arg(1), cache.DestroyCache(qc::Bstr(arg(1)).Get()), started);
            i += 2;
        } else if (step == L"calls" && left >= 3) {
            HRESULT hr = S_OK;
            for (long call = _wtol(arg(1)); call > 0; --call) hr = get(arg(2), arg(3));
            Report(arg(0), arg(3), hr, started);
            i += 4;
        } else if ((step == L"gone" || step == L"until") && left >= 3) {
            const bool untilFound = step == L"until";
            HRESULT hr = S_OK;
            for (ULONGLONG limit = started + 1000ULL * _wtol(arg(3)); ::GetTickCount64() < limit; ::Sleep(100)) {
                hr = get(arg(1), arg(2));
                if ((hr == S_OK) == untilFound) break;
            }
            Report(arg(0), arg(2), hr, started);
            i += 4;
        } else if (step == L"lookup" && left >= 2) {
            qc::Variant text;
            const HRESULT hr = cache.Lookup(qc::Bstr(arg(2)).Get(), qc::Bstr(arg(1)).Get(), &text.Get());
            const VARIANT& value = text.Get();
            Report(arg(0), arg(2), hr, started, V_VT(&value) == VT_BSTR ? Utf8Of(V_BSTR(&value)) : "<no text>");
            i += 3;
        } else if (step == L"count" && left >= 1) {
            LONG entries = -1;
            const HRESULT hr = cache.Count(qc::Bstr(arg(1)).Get(), &entries);
            Report(arg(0), arg(1), hr, started, std::to_string(entries));
            i += 2;
        } else if (step == L"stats" && left >= 1) {
            qc::ComRef<IDispatch> snapshot;
            const HRESULT hr = cache.Statistics(qc::Bstr(arg(1)).Get(), snapshot.Receive());
            Report(arg(0), arg(1), hr, started, StatisticsText(snapshot.Get()));
            i += 2;
        } else if (step == L"clear" && left >= 1) {
            Report(arg(0), arg(1), cache.Clear(qc::Bstr(arg(1)).Get()), started);
            i += 2;
        } else if (step == L"names") {
            qc::Variant names;
            const HRESULT hr = cache.CacheNames(&names.Get());
            Report(arg(0), L"-", hr, started, NamesText(names.Get()));
            i += 1;
        } else if (step == L"signal" && left >= 1) {
            const HANDLE file = ::CreateFileW(arg(1), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            Report(arg(0), arg(1), file != INVALID_HANDLE_VALUE ? S_OK : E_FAIL, started);
            if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
            i += 2;
        } else if (step == L"waitfor" && left >= 1) {
            Report(arg(0), arg(1), WaitForFile(arg(1), 60) ? S_OK : E_FAIL, started);
            i += 2;
        } else if (step == L"tick") {
            Report(arg(0), L"-", S_OK, started, std::to_string(NowMicroseconds()));
            i += 1;
        } else if (step == L"seen" && left >= 4) {
            const bool absent = std::wstring(arg(3)) == L"-";
            HRESULT hr = E_FAIL;
            for (ULONGLONG limit = started + 1000ULL * _wtol(arg(4)); ::GetTickCount64() < limit; ::Sleep(1)) {
                qc::Bstr text;
                hr = cache.Get(qc::Bstr(arg(2)).Get(), text.Receive(), qc::Bstr(arg(1)).Get());
                if (absent ? hr == E_FAIL : hr == S_OK && std::wstring(text.Get() ? text.Get() : L"") == arg(3)) {
                    hr = S_OK;
                    break;
                }
                if (hr == S_OK) hr = S_FALSE;  // another text
            }
            Report(arg(0), arg(2), hr, started, std::to_string(NowMicroseconds()));
            i += 5;
        } else if (step == L"sleep" && left >= 1) {
            ::Sleep(static_cast<DWORD>(_wtol(arg(1))));
            i += 2;
        } else {
            std::printf("unknown or incomplete step %s\n", Utf8Of(arguments[i]).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr || FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    int status = 1;
    {
        qc::ComRef<ICOMCache2> cache;
        HRESULT hr = ::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache2,
                                        cache.ReceiveVoid());
        if (SUCCEEDED(hr)) {
            const ULONGLONG started = ::GetTickCount64();
            Report(L"initialize", L"-", hr = cache->Initialize(), started);
            if (RunSteps(*cache.Get(), count, arguments)) status = 0;
            Report(L"terminate", L"-", cache->Terminate(), ::GetTickCount64());
        } else {
            std::printf("CoCreateInstance failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        }
    }
    ::CoUninitialize();
    ::LocalFree(arguments);
    return status;
}
