// Native side of the seam: standard C++ and POSIX stand-ins with the contracts
// of the Win32 calls, plus the handful of Windows types the core is written in.
#pragma once

#include <pthread.h>
#include <time.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using HRESULT = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = int;
using BYTE = std::uint8_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using HANDLE = void*;
using HINSTANCE = struct HINSTANCE__*;
// A UTF-16 code unit, as on Windows (where wchar_t has 16 bits; here it has 32).
using WCHAR = char16_t;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }

// Declared only, so that an interface may name them; the native build has no
// automation values.
struct tagVARIANT;
using VARIANT = tagVARIANT;

#define STDMETHODCALLTYPE
#define TRUE 1
#define FALSE 0
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);

// Platform error codes the core meets (the registry's, through the registrar's
// registry seam), with their Windows values.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_OUTOFMEMORY = 14;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_KEY_DELETED = 1018;

// Waits and threads (platform/sync.h), with their Windows values.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr int MAXIMUM_WAIT_OBJECTS = 64;  // an int, as the Windows macro
constexpr DWORD STILL_ACTIVE = 259;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0));

// The one rule for HRESULTs from platform codes, the same as Windows' own: 0
// and negative codes are HRESULTs already (0 is S_OK); others land in the
// Win32 facility, so WAIT_TIMEOUT (258) becomes 0x80070102.
constexpr HRESULT HRESULT_FROM_WIN32(LONG code) {
    return code <= 0 ? code : static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(code) & 0xFFFFu));
}

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The root of the core's COM-style interfaces (the real one on Windows).
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

namespace qc::platform {

// The calling thread's last error, as the seam's calls set it (sync_posix.cpp).
DWORD LastError();
void SetLastError(DWORD error);

struct Lock {
    pthread_mutex_t mutex;
};

inline bool InitializeLock(Lock& lock) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const bool ok = pthread_mutex_init(&lock.mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}
inline void DeleteLock(Lock& lock) { pthread_mutex_destroy(&lock.mutex); }
inline void EnterLock(Lock& lock) { pthread_mutex_lock(&lock.mutex); }
inline void LeaveLock(Lock& lock) { pthread_mutex_unlock(&lock.mutex); }

// The interlocked calls are full barriers on Windows; seq_cst matches that.
inline LONG AtomicIncrement(volatile LONG* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
inline LONG AtomicDecrement(volatile LONG* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }
inline LONG AtomicExchangeAdd(volatile LONG* value, LONG add) {
    return __atomic_fetch_add(value, add, __ATOMIC_SEQ_CST);
}
inline LONG AtomicCompareExchange(volatile LONG* value, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(value, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;  // the value found, as InterlockedCompareExchange returns it
}

inline unsigned long long RawSystemTimeAsFileTime() {
    constexpr unsigned long long kUnixEpochAsFileTime = 116444736000000000ULL;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return kUnixEpochAsFileTime + static_cast<unsigned long long>(now.tv_sec) * 10000000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 100ULL;
}

// The native build treats every byte as a whole character (a single-byte
// code page), where the multibyte comparison is plain byte order.
inline int CompareMultiByte(const char* a, const char* b) { return std::strcmp(a, b); }

// No module of the product is loaded by name in the native build.
inline HINSTANCE LoadedModule(const char*) { return nullptr; }

// An index out of range of a table that only a broken invariant can reach.
[[noreturn]] inline void RaiseBoundsFault() { std::abort(); }

inline void* RawHeapAllocate(std::size_t bytes) { return std::malloc(bytes ? bytes : 1); }
inline void* RawHeapReallocate(void* block, std::size_t bytes) { return std::realloc(block, bytes ? bytes : 1); }
inline void RawHeapFree(void* block) { std::free(block); }

}  // namespace qc::platform
