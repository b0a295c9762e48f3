// The hidden message parameters: every shape of automation array a caller can
// hand over, by value, by reference or in a script's variable, and what the
// list holds afterwards. Each case starts from the list {"kept"}.
#include "support/bstr.h"
#include "tests/common/manager_test_fixture.h"

#include <oleauto.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace qc::test {
namespace {

using Strings = std::vector<std::string>;

// A SAFEARRAY of `type` in a VARIANT, owned for one case. Two dimensions
// when `second` is not 0 (the strings then fill it in storage order).
class ArrayVariant {
public:
    ArrayVariant(std::vector<const wchar_t*> texts, LONG lowerBound = 0, VARTYPE type = VT_BSTR, ULONG first = 0,
                 ULONG second = 0) {
        if (second == 0 && first == 0) {
            m_array = ::SafeArrayCreateVector(type, lowerBound, static_cast<ULONG>(texts.size()));
        } else {
            SAFEARRAYBOUND bounds[2] = {{first, 0}, {second, 0}};
            m_array = ::SafeArrayCreate(type, 2, bounds);
        }
        if (type == VT_BSTR) {
            BSTR* data = nullptr;
            ::SafeArrayAccessData(m_array, reinterpret_cast<void**>(&data));
            for (size_t i = 0; i < texts.size(); ++i) data[i] = texts[i] ? ::SysAllocString(texts[i]) : nullptr;
            ::SafeArrayUnaccessData(m_array);
        }
        ::VariantInit(&m_value);
        V_VT(&m_value) = VT_ARRAY | type;
        V_ARRAY(&m_value) = m_array;
    }
    ~ArrayVariant() { ::VariantClear(&m_value); }
    ArrayVariant(const ArrayVariant&) = delete;
    ArrayVariant& operator=(const ArrayVariant&) = delete;

    VARIANT* Value() { return &m_value; }
    SAFEARRAY* Array() const { return m_array; }
    SAFEARRAY** Slot() { return &m_array; }

private:
    SAFEARRAY* m_array = nullptr;
    VARIANT m_value;
};

VARIANT Wrapped(VARTYPE type, void* reference) {
    VARIANT value;
    V_VT(&value) = type;
    V_BYREF(&value) = reference;
    return value;
}

TEST_F(CacheManagerTest, HiddenParametersTakeTheStringsOfAnyArrayShapeAndRefuseTheRest) {
    const wchar_t withNul[] = L"ab\0cd";
    const std::wstring longText(200, L'x');  // needs a heap buffer to convert
    struct Case {
        const char* name;
        std::function<HRESULT(CCacheManager&)> call;
        HRESULT expected;
        Strings list;
    };
    const Case cases[] = {
        {"empty and null strings", [](CCacheManager& m) {
             ArrayVariant array({L"a", L"", nullptr, L"c"});
             const HRESULT hr = m.SetHiddemMessageParameters(array.Value());
             EXPECT_EQ(array.Array()->cLocks, 0u);  // handed back unlocked
             return hr;
         }, S_OK, {"a", "", "c"}},
        {"from index 1", [](CCacheManager& m) { ArrayVariant array({L"x", L"y"}, 1);
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"x", "y"}},
        {"bounds that wrap past LONG_MAX", [](CCacheManager& m) {
             ArrayVariant array({L"x", L"y", L"z"}, LONG_MAX - 1);
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"x", "y", "z"}},
        {"a string with a NUL ends there", [&](CCacheManager& m) {
             ArrayVariant array({L"z"});
             BSTR* data = nullptr;
             ::SafeArrayAccessData(array.Array(), reinterpret_cast<void**>(&data));
             ::SysFreeString(data[0]);
             data[0] = ::SysAllocStringLen(withNul, 5);
             ::SafeArrayUnaccessData(array.Array());
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"ab"}},
        {"no elements keeps the list", [](CCacheManager& m) { ArrayVariant array({});
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"kept"}},
        {"only nulls empty it", [](CCacheManager& m) { ArrayVariant array({nullptr});
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {}},
        // Dimension 1 is the list: 2 of the 6 cells.
        {"2 x 3 reads dimension 1", [](CCacheManager& m) {
             ArrayVariant array({L"e0", L"e1", L"e2", L"e3", L"e4", L"e5"}, 0, VT_BSTR, 2, 3);
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"e0", "e1"}},
        // Without cells nothing is read, whatever dimension 1 promises.
        {"5 x 0", [](CCacheManager& m) { ArrayVariant array({}, 0, VT_BSTR, 5, 0);
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"kept"}},
        {"0 x 5", [](CCacheManager& m) { ArrayVariant array({}, 0, VT_BSTR, 0, 5);
             return m.SetHiddemMessageParameters(array.Value()); }, S_OK, {"kept"}},
        // A string that cannot be copied ends the list after those before it.
        {"a refused copy", [&](CCacheManager& m) {
             ArrayVariant array({L"a", L"b", longText.c_str(), L"d"});
             qc::platform::SetHeapAllocationHook([](std::size_t) { return false; });
             const HRESULT hr = m.SetHiddemMessageParameters(array.Value());
             qc::platform::SetHeapAllocationHook(nullptr);
             EXPECT_EQ(array.Array()->cLocks, 0u);
             return hr; }, E_OUTOFMEMORY, {"a", "b"}},
        {"by reference", [](CCacheManager& m) { ArrayVariant array({L"p", L"q"});
             VARIANT reference = Wrapped(VT_BYREF | VT_ARRAY | VT_BSTR, array.Slot());
             return m.SetHiddemMessageParameters(&reference); }, S_OK, {"p", "q"}},
        {"in a script's variable", [](CCacheManager& m) { ArrayVariant array({L"v"});
             VARIANT variable = Wrapped(VT_BYREF | VT_VARIANT, array.Value());
             return m.SetHiddemMessageParameters(&variable); }, S_OK, {"v"}},
        // What script engines build (arrays of VARIANTs), and arrays of numbers.
        {"VARIANT elements", [](CCacheManager& m) {
             ArrayVariant array({L"", L""}, 0, VT_VARIANT);
             const HRESULT hr = m.SetHiddemMessageParameters(array.Value());
             EXPECT_EQ(array.Array()->cLocks, 0u);
             return hr; }, E_INVALIDARG, {"kept"}},
        {"numbers", [](CCacheManager& m) { ArrayVariant array({L""}, 0, VT_I4);
             return m.SetHiddemMessageParameters(array.Value()); }, E_INVALIDARG, {"kept"}},
        {"a reference to no array", [](CCacheManager& m) { SAFEARRAY* none = nullptr;
             VARIANT reference = Wrapped(VT_BYREF | VT_ARRAY | VT_BSTR, &none);
             return m.SetHiddemMessageParameters(&reference); }, E_INVALIDARG, {"kept"}},
        {"a null reference", [](CCacheManager& m) {
             VARIANT reference = Wrapped(VT_BYREF | VT_ARRAY | VT_BSTR, nullptr);
             return m.SetHiddemMessageParameters(&reference); }, E_INVALIDARG, {"kept"}},
        {"a null array", [](CCacheManager& m) { VARIANT value = Wrapped(VT_ARRAY | VT_BSTR, nullptr);
             return m.SetHiddemMessageParameters(&value); }, E_INVALIDARG, {"kept"}},
        {"a string", [](CCacheManager& m) { Bstr text(L"first");
             VARIANT value = Wrapped(VT_BSTR, text.Get());
             return m.SetHiddemMessageParameters(&value); }, E_INVALIDARG, {"kept"}},
        {"a variable holding a string", [](CCacheManager& m) { Bstr text(L"first");
             VARIANT value = Wrapped(VT_BSTR, text.Get());
             VARIANT variable = Wrapped(VT_BYREF | VT_VARIANT, &value);
             return m.SetHiddemMessageParameters(&variable); }, E_INVALIDARG, {"kept"}},
        {"a variable without a reference", [](CCacheManager& m) {
             VARIANT variable = Wrapped(VT_BYREF | VT_VARIANT, nullptr);
             return m.SetHiddemMessageParameters(&variable); }, E_INVALIDARG, {"kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_manager->ReplaceHiddenMessageParameters({"kept"});
        EXPECT_EQ(c.call(*m_manager), c.expected);
        EXPECT_EQ(m_manager->HiddenMessageParameters(), c.list);
    }
}

}  // namespace
}  // namespace qc::test
