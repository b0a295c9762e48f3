// The ICOMCache methods called through the interface table: argument checks
// (a null BSTR is E_INVALIDARG before anything happens, a null [out] pointer
// E_POINTER), the three answers of Get, and the array argument of
// SetHiddemMessageParameters.
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

namespace qc::test {
namespace {

class Methods : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.Loaded());
        cache_ = dll_.NewCache();
        ASSERT_TRUE(cache_);
    }
    void TearDown() override {
        if (cache_) {
            EXPECT_EQ(cache_->Terminate(), S_OK);
        }
    }
    void StartWithCache(BSTR name) {
        ASSERT_EQ(cache_->Initialize(), S_OK);
        ASSERT_EQ(cache_->CreateCache(name, 10, 5), S_OK);
    }

    ServerDll dll_;
    ComRef<ICOMCache> cache_;
    Bstr users_{L"Users"}, alice_{L"alice"}, text_{L"text"}, old_{L"old"};
};

TEST_F(Methods, NullArgumentsAreRefusedFirst) {
    // No Initialize: the checks come before the manager is involved.
    EXPECT_EQ(cache_->Add(nullptr, text_.Get(), users_.Get()), E_INVALIDARG);
    EXPECT_EQ(cache_->Add(alice_.Get(), nullptr, users_.Get()), E_INVALIDARG);
    EXPECT_EQ(cache_->Add(alice_.Get(), text_.Get(), nullptr), E_INVALIDARG);
    BSTR value = old_.Get();
    EXPECT_EQ(cache_->Get(nullptr, &value, users_.Get()), E_INVALIDARG);
    EXPECT_EQ(cache_->Get(alice_.Get(), &value, nullptr), E_INVALIDARG);
    EXPECT_EQ(value, old_.Get());
    // The BSTR checks come before the [out] pointer's.
    EXPECT_EQ(cache_->Get(nullptr, nullptr, users_.Get()), E_INVALIDARG);
    EXPECT_EQ(cache_->Get(alice_.Get(), nullptr, users_.Get()), E_POINTER);
    EXPECT_EQ(cache_->Free(nullptr, users_.Get()), E_INVALIDARG);
    EXPECT_EQ(cache_->Free(alice_.Get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(cache_->DestroyCache(nullptr), E_INVALIDARG);
    EXPECT_EQ(cache_->CreateCache(nullptr, 10, 5), E_INVALIDARG);
}

TEST_F(Methods, GetMessageFromExchangeChecksItsArgumentsAndProducesNothing) {
    Bstr url(L"http://exchange/"), headers(L"h");
    BSTR message = old_.Get();
    EXPECT_EQ(cache_->GetMessageFromExchange(url.Get(), headers.Get(), alice_.Get(), users_.Get(), &message), S_OK);
    EXPECT_EQ(message, old_.Get());

    BSTR strings[4] = {url.Get(), headers.Get(), alice_.Get(), users_.Get()};
    for (int missing = 0; missing < 4; ++missing) {
        BSTR arguments[4] = {strings[0], strings[1], strings[2], strings[3]};
        arguments[missing] = nullptr;
        EXPECT_EQ(cache_->GetMessageFromExchange(arguments[0], arguments[1], arguments[2], arguments[3], &message),
                  E_INVALIDARG)
            << missing;
    }
    EXPECT_EQ(cache_->GetMessageFromExchange(url.Get(), headers.Get(), alice_.Get(), users_.Get(), nullptr),
              E_POINTER);
}

TEST_F(Methods, GetTellsAnUnknownCacheFromAnAbsentUser) {
    StartWithCache(users_.Get());
    ASSERT_EQ(cache_->Add(alice_.Get(), text_.Get(), users_.Get()), S_OK);

    Bstr other(L"Other"), bob(L"bob");
    BSTR value = old_.Get();
    EXPECT_EQ(cache_->Get(alice_.Get(), &value, other.Get()), S_FALSE);
    EXPECT_EQ(value, old_.Get());
    EXPECT_EQ(cache_->Get(bob.Get(), &value, users_.Get()), E_FAIL);
    EXPECT_EQ(value, old_.Get());

    Bstr found;
    EXPECT_EQ(cache_->Get(alice_.Get(), found.Receive(), users_.Get()), S_OK);
    EXPECT_STREQ(found.Text(), L"text");
    EXPECT_EQ(cache_->Add(alice_.Get(), text_.Get(), other.Get()), S_FALSE);
}

TEST_F(Methods, KeysStopAtTheirFirstNulAndCacheTypesIgnoreCase) {
    Bstr inbox(L"Inbox"), upper(L"INBOX"), withNul(L"ab\0cd", 5), ab(L"ab"), empty(L"");
    StartWithCache(inbox.Get());
    ASSERT_EQ(cache_->Add(withNul.Get(), text_.Get(), upper.Get()), S_OK);
    ASSERT_EQ(cache_->Add(empty.Get(), old_.Get(), inbox.Get()), S_OK);

    Bstr value;
    EXPECT_EQ(cache_->Get(ab.Get(), value.Receive(), inbox.Get()), S_OK);
    EXPECT_STREQ(value.Text(), L"text");
    EXPECT_EQ(cache_->Get(empty.Get(), value.Receive(), upper.Get()), S_OK);
    EXPECT_STREQ(value.Text(), L"old");
}

TEST_F(Methods, InitializeTwiceSucceedsBothTimes) {
    EXPECT_EQ(cache_->Initialize(), S_OK);
    EXPECT_EQ(cache_->Initialize(), S_OK);
}

TEST_F(Methods, SetHiddemMessageParametersTakesAnArrayByValueOrByReference) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, 1);
    ASSERT_NE(array, nullptr);
    LONG index = 0;
    ASSERT_EQ(::SafeArrayPutElement(array, &index, text_.Get()), S_OK);
    Variant parameters;
    V_VT(&parameters.Get()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&parameters.Get()) = array;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(parameters.Get()), S_OK);

    VARIANT byReference;
    V_VT(&byReference) = VT_BYREF | VT_ARRAY | VT_BSTR;
    V_ARRAYREF(&byReference) = &array;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(byReference), S_OK);

    // A script's array variable: a reference to the VARIANT holding the array.
    VARIANT variable;
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = &parameters.Get();
    EXPECT_EQ(cache_->SetHiddemMessageParameters(variable), S_OK);

    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = text_.Get();
    EXPECT_EQ(cache_->SetHiddemMessageParameters(text), E_INVALIDARG);
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = &text;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(variable), E_INVALIDARG);

    VARIANT noArray;
    V_VT(&noArray) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&noArray) = nullptr;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(noArray), E_INVALIDARG);
    SAFEARRAY* nullArray = nullptr;
    V_VT(&byReference) = VT_BYREF | VT_ARRAY | VT_BSTR;
    V_ARRAYREF(&byReference) = &nullArray;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(byReference), E_INVALIDARG);
    V_ARRAYREF(&byReference) = nullptr;
    EXPECT_EQ(cache_->SetHiddemMessageParameters(byReference), E_INVALIDARG);
}

}  // namespace
}  // namespace qc::test
