// The ICOMCache methods of the real server DLL, called through the interface
// table with real BSTRs and VARIANTs: the life of caches and entries as a
// client sees it, and the arrays SetHiddemMessageParameters refuses or takes.
// (The argument checks and the three answers of Get are covered beside the
// COM shell's own tests.)
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::test {
namespace {

class ComCacheMethods : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dll.Loaded());
        m_cache = m_dll.NewCache();
        ASSERT_TRUE(m_cache);
    }
    void TearDown() override {
        if (m_cache) {
            EXPECT_EQ(m_cache->Terminate(), S_OK);
        }
    }

    std::wstring GetText(ICOMCache* cache, BSTR user, BSTR type) {
        Bstr value;
        EXPECT_EQ(cache->Get(user, value.Receive(), type), S_OK);
        return value.Text();
    }

    ServerDll m_dll;
    ComRef<ICOMCache> m_cache;
    Bstr m_inbox{L"Inbox"}, m_alice{L"alice"}, m_first{L"first"}, m_second{L"second"};
};

TEST_F(ComCacheMethods, EveryObjectOfTheProcessSeesTheSameCaches) {
    ComRef<ICOMCache> other = m_dll.NewCache();
    ASSERT_TRUE(other);
    ASSERT_EQ(m_cache->Initialize(), S_OK);
    ASSERT_EQ(m_cache->CreateCache(m_inbox.Get(), 10, 5), S_OK);
    ASSERT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);

    EXPECT_EQ(GetText(other.Get(), m_alice.Get(), m_inbox.Get()), L"first");
    EXPECT_EQ(other->Free(m_alice.Get(), m_inbox.Get()), S_OK);
    BSTR untouched = m_first.Get();
    EXPECT_EQ(m_cache->Get(m_alice.Get(), &untouched, m_inbox.Get()), E_FAIL);
    EXPECT_EQ(untouched, m_first.Get());
}

TEST_F(ComCacheMethods, AddReplacesAndFreeRemovesOnlyWhatIsThere) {
    ASSERT_EQ(m_cache->Initialize(), S_OK);
    ASSERT_EQ(m_cache->CreateCache(m_inbox.Get(), 10, 0), S_OK);
    ASSERT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    ASSERT_EQ(m_cache->Add(m_alice.Get(), m_second.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(m_cache.Get(), m_alice.Get(), m_inbox.Get()), L"second");

    Bstr nowhere(L"Nowhere"), bob(L"bob");
    EXPECT_EQ(m_cache->Free(m_alice.Get(), nowhere.Get()), S_OK);
    EXPECT_EQ(m_cache->Free(bob.Get(), m_inbox.Get()), E_FAIL);
    EXPECT_EQ(m_cache->Free(m_alice.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(m_cache->Free(m_alice.Get(), m_inbox.Get()), E_FAIL);

    // Long keys and texts take the heap; they round-trip all the same.
    const std::wstring longUser(300, L'u'), longText(20000, L't');
    Bstr user(longUser.c_str()), text(longText.c_str());
    ASSERT_EQ(m_cache->Add(user.Get(), text.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(m_cache.Get(), user.Get(), m_inbox.Get()), longText);
}

TEST_F(ComCacheMethods, CachesLiveFromCreateCacheUntilDestroyCacheOrTerminate) {
    // Before Initialize no worker thread runs to flush a cache, so none is made.
    EXPECT_EQ(m_cache->CreateCache(m_inbox.Get(), 10, 5), E_UNEXPECTED);
    EXPECT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    EXPECT_EQ(m_cache->Terminate(), S_OK);

    ASSERT_EQ(m_cache->Initialize(), S_OK);
    ASSERT_EQ(m_cache->CreateCache(m_inbox.Get(), 10, 5), S_OK);
    Bstr upper(L"INBOX");
    EXPECT_EQ(m_cache->CreateCache(upper.Get(), 99, 1), S_OK);
    ASSERT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), upper.Get()), S_OK);
    EXPECT_EQ(m_cache->DestroyCache(upper.Get()), S_OK);
    EXPECT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    EXPECT_EQ(m_cache->DestroyCache(m_inbox.Get()), S_OK);

    ASSERT_EQ(m_cache->CreateCache(m_inbox.Get(), 10, 5), S_OK);
    ASSERT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(m_cache->Terminate(), S_OK);
    EXPECT_EQ(m_cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    BSTR untouched = m_first.Get();
    EXPECT_EQ(m_cache->Get(m_alice.Get(), &untouched, m_inbox.Get()), S_FALSE);
    EXPECT_EQ(untouched, m_first.Get());
    EXPECT_EQ(m_cache->Terminate(), S_OK);
}

// A SAFEARRAY in a VARIANT, released at the end of the test.
class ArrayVariant {
public:
    struct Grid {
        ULONG first;
        ULONG second;
    };

    ArrayVariant(VARTYPE type, ULONG count, LONG lowerBound = 0) {
        Wrap(type, ::SafeArrayCreateVector(type, lowerBound, count));
    }
    ArrayVariant(VARTYPE type, Grid grid) {
        SAFEARRAYBOUND bounds[2] = {{grid.first, 0}, {grid.second, 0}};
        Wrap(type, ::SafeArrayCreate(type, 2, bounds));
    }
    ~ArrayVariant() { ::VariantClear(&m_value); }
    ArrayVariant(const ArrayVariant&) = delete;
    ArrayVariant& operator=(const ArrayVariant&) = delete;

    // Stores a copy of `text` (or a null BSTR) at storage position `position`.
    void SetString(ULONG position, const wchar_t* text) {
        BSTR* data = nullptr;
        ASSERT_EQ(::SafeArrayAccessData(m_array, reinterpret_cast<void**>(&data)), S_OK);
        ::SysFreeString(data[position]);
        data[position] = text ? ::SysAllocString(text) : nullptr;
        ::SafeArrayUnaccessData(m_array);
    }
    const VARIANT& Value() const { return m_value; }
    ULONG Locks() const { return m_array->cLocks; }

private:
    void Wrap(VARTYPE type, SAFEARRAY* array) {
        m_array = array;
        ::VariantInit(&m_value);
        V_VT(&m_value) = VT_ARRAY | type;
        V_ARRAY(&m_value) = array;
    }
    SAFEARRAY* m_array = nullptr;
    VARIANT m_value;
};

TEST_F(ComCacheMethods, HiddenParametersTakeStringArraysOfAnyShapeAndRefuseOtherElements) {
    ArrayVariant strings(VT_BSTR, 3);
    strings.SetString(0, L"a");
    strings.SetString(1, nullptr);
    strings.SetString(2, L"");
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(strings.Value()), S_OK);
    EXPECT_EQ(strings.Locks(), 0u);

    ArrayVariant empty(VT_BSTR, 0);
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(empty.Value()), S_OK);
    ArrayVariant fromOne(VT_BSTR, 2, 1);
    fromOne.SetString(0, L"x");
    fromOne.SetString(1, L"y");
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(fromOne.Value()), S_OK);
    ArrayVariant grid(VT_BSTR, ArrayVariant::Grid{2, 3});
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(grid.Value()), S_OK);

    // What script engines build (arrays of VARIANTs), and arrays of numbers,
    // are not string arrays; the caller's array comes back unlocked.
    ArrayVariant variants(VT_VARIANT, 2);
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(variants.Value()), E_INVALIDARG);
    EXPECT_EQ(variants.Locks(), 0u);
    ArrayVariant numbers(VT_I4, 2);
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(numbers.Value()), E_INVALIDARG);
    VARIANT variable;
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = const_cast<VARIANT*>(&variants.Value());
    EXPECT_EQ(m_cache->SetHiddemMessageParameters(variable), E_INVALIDARG);
}

}  // namespace
}  // namespace qc::test
