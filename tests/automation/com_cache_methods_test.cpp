// The ICOMCache methods of the real server DLL, called through the interface
// table with real BSTRs: the argument checks (a null BSTR is E_INVALIDARG
// before anything happens, a null [out] pointer E_POINTER), the three answers
// of Get, and the life of caches and entries as a client sees it. (The arrays
// SetHiddemMessageParameters takes are the manager's tests'; the script's
// road through IDispatch is the server's.)
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::test {
namespace {

class ComCacheMethods : public ComCacheTest {
protected:
    void StartWithInbox() {
        ASSERT_EQ(cache->Initialize(), S_OK);
        ASSERT_EQ(cache->CreateCache(m_inbox.Get(), 10, 5), S_OK);
    }
    std::wstring GetText(ICOMCache* from, BSTR user, BSTR type) {
        Bstr value;
        EXPECT_EQ(from->Get(user, value.Receive(), type), S_OK);
        return value.Text();
    }

    Bstr m_inbox{L"Inbox"}, m_alice{L"alice"}, m_first{L"first"}, m_second{L"second"};
};

TEST_F(ComCacheMethods, NullArgumentsAreRefusedFirst) {
    // No Initialize: the checks come before the manager is involved.
    EXPECT_EQ(cache->Add(nullptr, m_first.Get(), m_inbox.Get()), E_INVALIDARG);
    EXPECT_EQ(cache->Add(m_alice.Get(), nullptr, m_inbox.Get()), E_INVALIDARG);
    EXPECT_EQ(cache->Add(m_alice.Get(), m_first.Get(), nullptr), E_INVALIDARG);
    BSTR value = m_second.Get();
    EXPECT_EQ(cache->Get(nullptr, &value, m_inbox.Get()), E_INVALIDARG);
    EXPECT_EQ(cache->Get(m_alice.Get(), &value, nullptr), E_INVALIDARG);
    EXPECT_EQ(value, m_second.Get());
    // The BSTR checks come before the [out] pointer's.
    EXPECT_EQ(cache->Get(nullptr, nullptr, m_inbox.Get()), E_INVALIDARG);
    EXPECT_EQ(cache->Get(m_alice.Get(), nullptr, m_inbox.Get()), E_POINTER);
    EXPECT_EQ(cache->Free(nullptr, m_inbox.Get()), E_INVALIDARG);
    EXPECT_EQ(cache->Free(m_alice.Get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(cache->DestroyCache(nullptr), E_INVALIDARG);
    EXPECT_EQ(cache->CreateCache(nullptr, 10, 5), E_INVALIDARG);
}

TEST_F(ComCacheMethods, GetMessageFromExchangeChecksItsArgumentsAndProducesNothing) {
    Bstr url(L"http://exchange/"), headers(L"h");
    BSTR message = m_second.Get();
    EXPECT_EQ(cache->GetMessageFromExchange(url.Get(), headers.Get(), m_alice.Get(), m_inbox.Get(), &message), S_OK);
    EXPECT_EQ(message, m_second.Get());
    for (int missing = 0; missing < 4; ++missing) {
        BSTR arguments[4] = {url.Get(), headers.Get(), m_alice.Get(), m_inbox.Get()};
        arguments[missing] = nullptr;
        EXPECT_EQ(cache->GetMessageFromExchange(arguments[0], arguments[1], arguments[2], arguments[3], &message),
                  E_INVALIDARG)
            << missing;
    }
    EXPECT_EQ(cache->GetMessageFromExchange(url.Get(), headers.Get(), m_alice.Get(), m_inbox.Get(), nullptr),
              E_POINTER);
}

TEST_F(ComCacheMethods, GetTellsAnUnknownCacheFromAnAbsentUserAndHandsOutEvenAnEmptyText) {
    StartWithInbox();
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    Bstr other(L"Other"), bob(L"bob"), empty(L"");
    BSTR value = m_second.Get();
    EXPECT_EQ(cache->Get(m_alice.Get(), &value, other.Get()), S_FALSE);
    EXPECT_EQ(value, m_second.Get());
    EXPECT_EQ(cache->Get(bob.Get(), &value, m_inbox.Get()), E_FAIL);
    EXPECT_EQ(value, m_second.Get());
    EXPECT_EQ(GetText(cache.Get(), m_alice.Get(), m_inbox.Get()), L"first");
    EXPECT_EQ(cache->Add(m_alice.Get(), m_first.Get(), other.Get()), S_FALSE);

    // An empty text comes back as an empty, non-null BSTR.
    ASSERT_EQ(cache->Add(bob.Get(), empty.Get(), m_inbox.Get()), S_OK);
    Bstr text;
    ASSERT_EQ(cache->Get(bob.Get(), text.Receive(), m_inbox.Get()), S_OK);
    ASSERT_NE(text.Get(), nullptr);
    EXPECT_EQ(::SysStringLen(text.Get()), 0u);
}

TEST_F(ComCacheMethods, KeysStopAtTheirFirstNulAndCacheTypesIgnoreCase) {
    Bstr upper(L"INBOX"), withNul(L"ab\0cd", 5), ab(L"ab"), empty(L"");
    StartWithInbox();
    ASSERT_EQ(cache->Add(withNul.Get(), m_first.Get(), upper.Get()), S_OK);
    ASSERT_EQ(cache->Add(empty.Get(), m_second.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(cache.Get(), ab.Get(), m_inbox.Get()), L"first");
    EXPECT_EQ(GetText(cache.Get(), empty.Get(), upper.Get()), L"second");
}

TEST_F(ComCacheMethods, EveryObjectOfTheProcessSeesTheSameCaches) {
    ComRef<ICOMCache> other = dll.NewCache();
    ASSERT_TRUE(other);
    StartWithInbox();
    ASSERT_EQ(other->Initialize(), S_OK);  // a second Initialize succeeds too
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(other.Get(), m_alice.Get(), m_inbox.Get()), L"first");
    EXPECT_EQ(other->Free(m_alice.Get(), m_inbox.Get()), S_OK);
    BSTR untouched = m_first.Get();
    EXPECT_EQ(cache->Get(m_alice.Get(), &untouched, m_inbox.Get()), E_FAIL);
    EXPECT_EQ(untouched, m_first.Get());
}

TEST_F(ComCacheMethods, AddReplacesAndFreeRemovesOnlyWhatIsThere) {
    StartWithInbox();
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    ASSERT_EQ(cache->Add(m_alice.Get(), m_second.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(cache.Get(), m_alice.Get(), m_inbox.Get()), L"second");

    Bstr nowhere(L"Nowhere"), bob(L"bob");
    EXPECT_EQ(cache->Free(m_alice.Get(), nowhere.Get()), S_OK);
    EXPECT_EQ(cache->Free(bob.Get(), m_inbox.Get()), E_FAIL);
    EXPECT_EQ(cache->Free(m_alice.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(cache->Free(m_alice.Get(), m_inbox.Get()), E_FAIL);

    // Long keys and texts take the heap; they round-trip all the same.
    const std::wstring longUser(300, L'u'), longText(20000, L't');
    Bstr user(longUser.c_str()), text(longText.c_str());
    ASSERT_EQ(cache->Add(user.Get(), text.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(GetText(cache.Get(), user.Get(), m_inbox.Get()), longText);
}

TEST_F(ComCacheMethods, CachesLiveFromCreateCacheUntilDestroyCacheOrTerminate) {
    // Before Initialize no worker thread runs to flush a cache, so none is made.
    EXPECT_EQ(cache->CreateCache(m_inbox.Get(), 10, 5), E_UNEXPECTED);
    EXPECT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    EXPECT_EQ(cache->Terminate(), S_OK);

    StartWithInbox();
    Bstr upper(L"INBOX");
    EXPECT_EQ(cache->CreateCache(upper.Get(), 99, 1), S_OK);
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), upper.Get()), S_OK);
    EXPECT_EQ(cache->DestroyCache(upper.Get()), S_OK);
    EXPECT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    EXPECT_EQ(cache->DestroyCache(m_inbox.Get()), S_OK);

    ASSERT_EQ(cache->CreateCache(m_inbox.Get(), 10, 5), S_OK);
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    EXPECT_EQ(cache->Terminate(), S_OK);
    EXPECT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_FALSE);
    BSTR untouched = m_first.Get();
    EXPECT_EQ(cache->Get(m_alice.Get(), &untouched, m_inbox.Get()), S_FALSE);
    EXPECT_EQ(untouched, m_first.Get());
}

}  // namespace
}  // namespace qc::test
