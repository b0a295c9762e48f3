// The ICOMCache and ICOMCache2 methods of the real server DLL, called through
// the interface table with real BSTRs: the argument checks (a null BSTR is
// E_INVALIDARG before anything happens, a null [out] pointer E_POINTER), the
// three answers of Get and of Lookup, the life of caches and entries as a
// client sees it, and the statistics snapshot. (The arrays
// SetHiddemMessageParameters takes and the figures after flushes are the
// manager's tests'; the script's road through IDispatch is the server's.)
#include "tests/common/server_dll.h"
#include "tests/common/statistics_figures.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

    // What Lookup returned: its HRESULT, the VARIANT's type and any text.
    struct Looked {
        HRESULT hr = E_UNEXPECTED;
        VARTYPE type = VT_ILLEGAL;
        std::wstring text;
    };
    Looked Lookup(const wchar_t* user, const wchar_t* type) {
        Looked looked;
        Variant text;
        looked.hr = cache2->Lookup(Bstr(user).Get(), Bstr(type).Get(), &text);
        looked.type = V_VT(&text.Get());
        if (looked.type == VT_BSTR) looked.text = V_BSTR(&text.Get());
        return looked;
    }
    // Exists' answer, which must be one of the two VARIANT_BOOLs.
    bool Exists(const wchar_t* user, const wchar_t* type, HRESULT expected = S_OK) {
        VARIANT_BOOL answer = 2;  // neither
        EXPECT_EQ(cache2->Exists(Bstr(user).Get(), Bstr(type).Get(), &answer), expected);
        EXPECT_TRUE(answer == VARIANT_TRUE || answer == VARIANT_FALSE) << answer;
        return answer == VARIANT_TRUE;
    }
    LONG Count(const wchar_t* type, HRESULT expected = S_OK) {
        LONG entries = -1;
        EXPECT_EQ(cache2->Count(Bstr(type).Get(), &entries), expected);
        return entries;
    }
    StatisticsFigures Figures(const wchar_t* type) {
        ComRef<IDispatch> statistics;
        EXPECT_EQ(cache2->Statistics(Bstr(type).Get(), statistics.Receive()), S_OK);
        return statistics ? ReadFigures(statistics.Get()) : StatisticsFigures{};
    }
    // The names, after checking the array's shape: a vector of VARIANTs from 0.
    std::vector<std::wstring> Names() {
        Variant names;
        EXPECT_EQ(cache2->CacheNames(&names), S_OK);
        std::vector<std::wstring> result;
        if (V_VT(&names.Get()) != (VT_ARRAY | VT_VARIANT)) {
            ADD_FAILURE() << "CacheNames gave type " << V_VT(&names.Get());
            return result;
        }
        SAFEARRAY* array = V_ARRAY(&names.Get());
        EXPECT_EQ(::SafeArrayGetDim(array), 1u);
        LONG lower = -1, upper = -1;
        EXPECT_EQ(::SafeArrayGetLBound(array, 1, &lower), S_OK);
        EXPECT_EQ(::SafeArrayGetUBound(array, 1, &upper), S_OK);
        EXPECT_EQ(lower, 0);
        for (LONG index = 0; index <= upper; ++index) {
            Variant element;
            EXPECT_EQ(::SafeArrayGetElement(array, &index, &element), S_OK);
            EXPECT_EQ(V_VT(&element.Get()), VT_BSTR);
            if (V_VT(&element.Get()) == VT_BSTR) result.push_back(V_BSTR(&element.Get()));
        }
        return result;
    }
    // Every ICOMCache2 method's answer for a cache that does not exist.
    void ExpectUnknown(const wchar_t* type) {
        SCOPED_TRACE(type);
        const Looked looked = Lookup(L"alice", type);
        EXPECT_EQ(looked.hr, S_FALSE);
        EXPECT_EQ(looked.type, VT_NULL);
        EXPECT_FALSE(Exists(L"alice", type, S_FALSE));
        EXPECT_EQ(Count(type, S_FALSE), 0);
        IDispatch* statistics = reinterpret_cast<IDispatch*>(1);
        EXPECT_EQ(cache2->Statistics(Bstr(type).Get(), &statistics), S_FALSE);
        EXPECT_EQ(statistics, nullptr);
        EXPECT_EQ(cache2->Clear(Bstr(type).Get()), S_FALSE);
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

// Names and texts are kept exactly, whatever the thread's code page (the
// tests run with 1252, which has none of these letters): texts round-trip,
// users and caches that a code page would merge stay apart, only ASCII
// letters fold in cache names, and a text keeps its embedded NULs.
TEST_F(ComCacheMethods, NamesAndTextsOutsideTheCodePageAreKeptExactly) {
    ASSERT_EQ(cache->Initialize(), S_OK);
    const Bstr home(L"\u0414\u043E\u043C"), cacheWord(L"\u041A\u044D\u0448");  // "Dom", "Kesh"
    const Bstr cacheUpper(L"\u041A\u042D\u0428");
    ASSERT_EQ(cache->CreateCache(home.Get(), 10, 5), S_OK);
    ASSERT_EQ(cache->CreateCache(cacheWord.Get(), 10, 5), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::wstring>{L"\u0414\u043E\u043C", L"\u041A\u044D\u0448"}));
    EXPECT_EQ(Figures(L"\u041A\u044D\u0448").name, L"\u041A\u044D\u0448");
    ExpectUnknown(L"\u041A\u042D\u0428");  // non-ASCII letters do not fold

    const Bstr pyotr(L"\u041F\u0451\u0442\u0440"), ivan(L"\u0418\u0432\u0430\u043D");
    const std::wstring texts[] = {L"\u4E2D\u6587", L"\u0416\u0443\u043A", L"\U0001F600", L"caf\u00E9",
                                  std::wstring(L"a\0b", 3), std::wstring(L"\xD800 lone", 6)};
    for (const std::wstring& text : texts) {
        const Bstr value(text.c_str(), static_cast<UINT>(text.size()));
        ASSERT_EQ(cache->Add(pyotr.Get(), value.Get(), home.Get()), S_OK);
        Bstr back;
        ASSERT_EQ(cache->Get(pyotr.Get(), back.Receive(), home.Get()), S_OK);
        EXPECT_EQ(std::wstring(back.Get(), ::SysStringLen(back.Get())), text);
    }
    ASSERT_EQ(cache->Add(ivan.Get(), Bstr(L"for Ivan").Get(), home.Get()), S_OK);
    ASSERT_EQ(cache->Add(ivan.Get(), Bstr(L"in the other cache").Get(), cacheWord.Get()), S_OK);
    EXPECT_EQ(GetText(cache.Get(), ivan.Get(), home.Get()), L"for Ivan");
    EXPECT_EQ(Lookup(L"\u041F\u0451\u0442\u0440", L"\u0414\u043E\u043C").text, L"\xD800 lone");
    EXPECT_EQ(Lookup(L"\u0418\u0432\u0430\u043D", L"\u041A\u044D\u0448").text, L"in the other cache");
    EXPECT_EQ(Count(L"\u0414\u043E\u043C"), 2);
    EXPECT_FALSE(Exists(L"\u043F\u0451\u0442\u0440", L"\u0414\u043E\u043C"));  // user names keep their case
}

// A thread's code page does not decide what a name or a text becomes:
// threads whose locales have different ANSI code pages read each other's
// entries, and a text added on one reads back exactly on the other.
TEST_F(ComCacheMethods, ThreadsWithDifferentCodePagesReadEachOthersEntries) {
    StartWithInbox();
    const std::wstring user = L"\u0416\u0443\u043A", text = L"\u00E9t\u00E9 \u041F\u0440\u0438\u0432\u0435\u0442";
    ICOMCache* const shared = cache.Get();
    std::thread([&] {
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(0x0419, SORT_DEFAULT)));  // 1251
        ASSERT_EQ(shared->Add(Bstr(user.c_str()).Get(), Bstr(text.c_str()).Get(), m_inbox.Get()), S_OK);
        ASSERT_EQ(shared->Add(Bstr(L"\u00E9").Get(), Bstr(L"from 1251").Get(), m_inbox.Get()), S_OK);
    }).join();
    EXPECT_EQ(GetText(shared, Bstr(user.c_str()).Get(), m_inbox.Get()), text);  // this thread: 1252
    std::thread([&] {
        ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
        EXPECT_EQ(GetText(shared, Bstr(user.c_str()).Get(), m_inbox.Get()), text);
        EXPECT_EQ(GetText(shared, Bstr(L"\u00E9").Get(), m_inbox.Get()), L"from 1251");
    }).join();
    EXPECT_EQ(Count(L"Inbox"), 2);
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

TEST_F(ComCacheMethods, ICOMCache2RefusesNullArgumentsAndAlwaysSetsItsOutValues) {
    StartWithInbox();
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);

    // Whatever a caller left in an out-value is replaced by that of absence.
    VARIANT text;
    V_VT(&text) = VT_I4;
    V_I4(&text) = 7;
    EXPECT_EQ(cache2->Lookup(nullptr, m_inbox.Get(), &text), E_INVALIDARG);
    EXPECT_EQ(V_VT(&text), VT_EMPTY);
    EXPECT_EQ(cache2->Lookup(m_alice.Get(), nullptr, &text), E_INVALIDARG);
    EXPECT_EQ(cache2->Lookup(m_alice.Get(), m_inbox.Get(), nullptr), E_POINTER);
    EXPECT_EQ(cache2->Lookup(nullptr, m_inbox.Get(), nullptr), E_INVALIDARG);  // the BSTRs first
    VARIANT_BOOL exists = VARIANT_TRUE;
    EXPECT_EQ(cache2->Exists(nullptr, m_inbox.Get(), &exists), E_INVALIDARG);
    EXPECT_EQ(exists, VARIANT_FALSE);
    EXPECT_EQ(cache2->Exists(m_alice.Get(), nullptr, &exists), E_INVALIDARG);
    EXPECT_EQ(cache2->Exists(m_alice.Get(), m_inbox.Get(), nullptr), E_POINTER);
    LONG count = 9;
    EXPECT_EQ(cache2->Count(nullptr, &count), E_INVALIDARG);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cache2->Count(m_inbox.Get(), nullptr), E_POINTER);
    IDispatch* statistics = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(cache2->Statistics(nullptr, &statistics), E_INVALIDARG);
    EXPECT_EQ(statistics, nullptr);
    EXPECT_EQ(cache2->Statistics(m_inbox.Get(), nullptr), E_POINTER);
    EXPECT_EQ(cache2->CacheNames(nullptr), E_POINTER);
    EXPECT_EQ(cache2->Clear(nullptr), E_INVALIDARG);

    // Nothing was touched on the way.
    EXPECT_EQ(Lookup(L"alice", L"Inbox").text, L"first");
    EXPECT_EQ(Figures(L"Inbox").hits, 1);
}

TEST_F(ComCacheMethods, ICOMCache2AnswersAbsenceAndFoldsTheCaseOfCacheNames) {
    // Before Initialize no cache can exist; the names are an empty array.
    ExpectUnknown(L"Inbox");
    EXPECT_TRUE(Names().empty());

    StartWithInbox();
    const Looked none = Lookup(L"alice", L"Inbox");
    EXPECT_EQ(none.hr, S_OK);
    EXPECT_EQ(none.type, VT_EMPTY);
    EXPECT_FALSE(Exists(L"alice", L"Inbox"));
    EXPECT_EQ(Count(L"Inbox"), 0);
    EXPECT_EQ(cache2->Clear(m_inbox.Get()), S_OK);
    ExpectUnknown(L"Other");

    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), Bstr(L"inbox").Get()), S_OK);
    ASSERT_EQ(cache->Add(Bstr(L"bob").Get(), Bstr(L"").Get(), m_inbox.Get()), S_OK);
    const Looked found = Lookup(L"alice", L"INBOX");
    EXPECT_EQ(found.hr, S_OK);
    EXPECT_EQ(found.type, VT_BSTR);
    EXPECT_EQ(found.text, L"first");
    const Looked empty = Lookup(L"bob", L"Inbox");  // an empty text is a text
    EXPECT_EQ(empty.type, VT_BSTR);
    EXPECT_EQ(empty.text, L"");
    EXPECT_TRUE(Exists(L"alice", L"iNbOx"));
    EXPECT_EQ(Count(L"INBOX"), 2);
    EXPECT_EQ(Figures(L"INBOX").name, L"Inbox");
    ASSERT_EQ(cache->CreateCache(Bstr(L"archive").Get(), 10, 5), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::wstring>{L"archive", L"Inbox"}));
    EXPECT_EQ(cache2->Clear(Bstr(L"inBOX").Get()), S_OK);
    EXPECT_EQ(Count(L"Inbox"), 0);

    ASSERT_EQ(cache->DestroyCache(m_inbox.Get()), S_OK);
    ExpectUnknown(L"Inbox");
    ASSERT_EQ(cache->Terminate(), S_OK);
    ExpectUnknown(L"archive");
    EXPECT_TRUE(Names().empty());
}

// Lookup and Get count as lookups, Exists and Count do not; a replacement
// keeps the count; Clear empties the cache and keeps its settings, peaks,
// hits and misses; a snapshot never changes. (The limit leaves the timer's
// flush nothing to trim.)
TEST_F(ComCacheMethods, TheSnapshotReportsTheFiguresOfItsCall) {
    ASSERT_EQ(cache->Initialize(), S_OK);
    const Bstr stats(L"Stats");
    ASSERT_EQ(cache->CreateCache(stats.Get(), 10, 7), S_OK);
    EXPECT_TRUE(SameFigures(Figures(L"STATS"), {L"Stats", 10, 7, 0, 0, 0, 0, 0, 0, 0.0}));
    for (const wchar_t* user : {L"a", L"b", L"c", L"d"})
        ASSERT_EQ(cache->Add(Bstr(user).Get(), Bstr(user).Get(), stats.Get()), S_OK);
    ASSERT_EQ(cache->Add(Bstr(L"a").Get(), Bstr(L"a again").Get(), stats.Get()), S_OK);
    EXPECT_EQ(Lookup(L"a", L"Stats").text, L"a again");
    EXPECT_EQ(Lookup(L"zz", L"Stats").type, VT_EMPTY);
    EXPECT_EQ(GetText(cache.Get(), Bstr(L"b").Get(), stats.Get()), L"b");
    EXPECT_TRUE(Exists(L"c", L"Stats"));
    EXPECT_EQ(Count(L"Stats"), 4);
    ComRef<IDispatch> before;
    ASSERT_EQ(cache2->Statistics(stats.Get(), before.Receive()), S_OK);
    const StatisticsFigures figures{L"Stats", 10, 7, 4, 4, 160, 160, 2, 1, 2.0 / 3.0};
    EXPECT_TRUE(SameFigures(ReadFigures(before.Get()), figures));

    ASSERT_EQ(cache2->Clear(stats.Get()), S_OK);
    EXPECT_TRUE(SameFigures(Figures(L"Stats"), {L"Stats", 10, 7, 0, 4, 0, 160, 2, 1, 2.0 / 3.0}));
    EXPECT_TRUE(SameFigures(ReadFigures(before.Get()), figures));
}

// A snapshot refers to no cache: it outlives DestroyCache and Terminate, and
// like every object of the server it keeps the DLL loaded while it lives.
TEST_F(ComCacheMethods, ASnapshotOutlivesItsCacheAndKeepsTheServerLoaded) {
    ASSERT_EQ(cache->Initialize(), S_OK);
    ASSERT_EQ(cache->CreateCache(m_inbox.Get(), -1, 0), S_OK);
    ASSERT_EQ(cache->Add(m_alice.Get(), m_first.Get(), m_inbox.Get()), S_OK);
    ComRef<IDispatch> statistics;
    ASSERT_EQ(cache2->Statistics(m_inbox.Get(), statistics.Receive()), S_OK);
    ComRef<ICacheStatistics> snapshot;
    ASSERT_EQ(statistics->QueryInterface(IID_ICacheStatistics, snapshot.ReceiveVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(snapshot.Get()), static_cast<IUnknown*>(statistics.Get()));

    ASSERT_EQ(cache->DestroyCache(m_inbox.Get()), S_OK);
    ASSERT_EQ(cache->Terminate(), S_OK);
    cache.Reset();
    cache2.Reset();
    // The limit and lifetime as CreateCache was given them.
    EXPECT_TRUE(SameFigures(ReadFigures(statistics.Get()), {L"Inbox", -1, 0, 1, 1, 40, 40, 0, 0, 0.0}));
    EXPECT_EQ(snapshot->get_Name(nullptr), E_POINTER);
    EXPECT_EQ(snapshot->get_Entries(nullptr), E_POINTER);
    EXPECT_EQ(snapshot->get_HitRatio(nullptr), E_POINTER);

    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    statistics.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    snapshot.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace qc::test
