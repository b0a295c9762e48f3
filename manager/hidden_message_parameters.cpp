// The hidden message parameters as callers hand them over: an automation
// array of strings, read into the manager's list. Windows only, like the
// arrays themselves.
#include "manager/cache_manager.h"

#include "support/bstr.h"
#include "support/hresult_of.h"
#include "support/text_conversion.h"

#include <oleauto.h>

#include <climits>

namespace {

// The array a VARIANT carries: by value, by reference, or in the VARIANT
// that a script's array variable passes by reference. Null when it carries
// none.
SAFEARRAY* ArrayOf(const VARIANT* value) {
    if (V_VT(value) == (VT_BYREF | VT_VARIANT)) {
        value = V_VARIANTREF(value);
        if (value == nullptr) return nullptr;
    }
    if ((V_VT(value) & VT_ARRAY) == 0) return nullptr;
    if ((V_VT(value) & VT_BYREF) == 0) return V_ARRAY(value);
    return V_ARRAYREF(value) != nullptr ? *V_ARRAYREF(value) : nullptr;
}

// Keeps a caller's SAFEARRAY locked for one scope.
class CSafeArrayLock {
public:
    explicit CSafeArrayLock(SAFEARRAY* array) : m_array(array), m_result(::SafeArrayLock(array)) {}
    ~CSafeArrayLock() {
        if (SUCCEEDED(m_result)) ::SafeArrayUnlock(m_array);
    }
    CSafeArrayLock(const CSafeArrayLock&) = delete;
    CSafeArrayLock& operator=(const CSafeArrayLock&) = delete;
    HRESULT Result() const { return m_result; }

private:
    SAFEARRAY* m_array;
    HRESULT m_result;
};

// The cells of an array: the product of every dimension's element count
// (at most ULONG_MAX, which no array can hold anyway).
ULONG CellCount(const SAFEARRAY& array) {
    unsigned long long cells = 1;
    for (USHORT dimension = 0; dimension < array.cDims && cells != 0; ++dimension) {
        cells *= array.rgsabound[dimension].cElements;
        if (cells > ULONG_MAX) cells = ULONG_MAX;
    }
    return static_cast<ULONG>(cells);
}

// Appends the non-null strings among the first `count` elements, in order.
// A string that cannot be copied ends the list after those before it.
HRESULT ReadStrings(const SAFEARRAY& array, LONG count, std::vector<std::string>& list) {
    // Element i of dimension 1 lies i - lowerBound places into the data.
    const BSTR* elements = static_cast<const BSTR*>(array.pvData);
    return HResultOf([&] {
        for (LONG position = 0; position < count; ++position) {
            const BSTR element = elements[position];
            if (element == nullptr) continue;
            const qc::Bstr copy = qc::Bstr::Adopt(
                ::SysAllocStringByteLen(reinterpret_cast<const char*>(element), ::SysStringByteLen(element)));
            if (copy.Get() == nullptr) return E_OUTOFMEMORY;
            list.push_back(BstrToAnsi(copy.Get()));
        }
        return S_OK;
    });
}

}  // namespace

HRESULT CCacheManager::SetHiddemMessageParameters(const VARIANT* parameters) {
    SAFEARRAY* array = parameters != nullptr ? ArrayOf(parameters) : nullptr;
    if (array == nullptr) return E_INVALIDARG;

    VARTYPE elementType = VT_EMPTY;
    HRESULT hr = ::SafeArrayGetVartype(array, &elementType);
    if (FAILED(hr)) return hr;
    if (elementType != VT_BSTR) return E_INVALIDARG;

    CSafeArrayLock arrayLock(array);
    if (FAILED(arrayLock.Result())) return arrayLock.Result();
    LONG lowerBound = 0;
    LONG upperBound = 0;
    hr = ::SafeArrayGetLBound(array, 1, &lowerBound);
    if (FAILED(hr)) return hr;
    hr = ::SafeArrayGetUBound(array, 1, &upperBound);
    if (FAILED(hr)) return hr;
    // ub - lb + 1 in wrapping 32-bit arithmetic: an empty dimension gives 0.
    // Dimension 1 is the list, but it may promise more elements than the
    // array holds (a 5 x 0 array has no cells at all): never more are read.
    LONG count = static_cast<LONG>(static_cast<ULONG>(upperBound) - static_cast<ULONG>(lowerBound) + 1u);
    const ULONG cells = CellCount(*array);
    if (count > 0 && static_cast<ULONG>(count) > cells) count = static_cast<LONG>(cells);

    // An array without elements leaves the list as it was; any other array
    // replaces it, with what could be read even when reading stopped early.
    std::vector<std::string> list;
    hr = ReadStrings(*array, count, list);
    if (count > 0) ReplaceHiddenMessageParameters(std::move(list));
    return hr;
}
