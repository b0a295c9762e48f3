// What only a Windows thread lets a test do to the manager's worker: count
// it, kill it, and suspend it past Terminate's wait.
#include "tests/common/manager_test_fixture.h"

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace qc::test {
namespace {

std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> threads;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) threads.push_back(entry.th32ThreadID);
    ::CloseHandle(snapshot);
    return threads;
}

// The worker thread Initialize starts: the one thread that is new since `before`.
HANDLE OpenNewThread(const std::vector<DWORD>& before) {
    for (DWORD id : ThreadsOfThisProcess())
        if (std::find(before.begin(), before.end(), id) == before.end())
            return ::OpenThread(THREAD_ALL_ACCESS, FALSE, id);
    return nullptr;
}

TEST_F(CacheManagerTest, InitializeTwiceStartsOneThreadAndTerminateEndsIt) {
    const std::size_t before = ThreadsOfThisProcess().size();
    ASSERT_GT(before, 0u);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(ThreadsOfThisProcess().size(), before + 1);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(ThreadsOfThisProcess().size(), before + 1);
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(ThreadsOfThisProcess().size(), before);
}

// The worker thread died (it ended without a shutdown), so a cache's timer
// cannot be taken out of its table and DestroyCache fails. The settings go,
// the cache stays until Terminate: Add and Get find no cache, Free still
// reaches it (its store is emptied and stopped), CreateCache makes nothing.
TEST_F(CacheManagerTest, ACacheWhoseDestroyFailsStaysWithoutSettingsUntilTerminate) {
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    const HANDLE worker = OpenNewThread(before);
    ASSERT_NE(worker, nullptr);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "a", "Inbox"), S_OK);
    ASSERT_TRUE(::TerminateThread(worker, 1));
    ::WaitForSingleObject(worker, INFINITE);
    ::CloseHandle(worker);

    EXPECT_EQ(m_manager->DestroyCache("Inbox"), E_UNEXPECTED);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    DWORD limit = 0;
    LONG lifetime = 0;
    EXPECT_EQ(m_manager->GetCacheSettings("Inbox", &limit, &lifetime), S_FALSE);
    EXPECT_EQ(m_manager->Add("bob", "b", "Inbox"), S_FALSE);
    std::string value = "sentinel";
    EXPECT_EQ(m_manager->Get("Inbox", "ann", &value), S_FALSE);
    EXPECT_EQ(value, "sentinel");
    bool exists = true;  // and so do the inspections, which never reach the stopped store
    EXPECT_EQ(m_manager->Exists("Inbox", "ann", &exists), S_FALSE);
    EXPECT_FALSE(exists);
    std::vector<std::string> names{"sentinel"};
    EXPECT_EQ(m_manager->CacheNames(&names), S_OK);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(m_manager->Clear("Inbox"), S_FALSE);
    EXPECT_EQ(m_manager->Free("ann", "Inbox"), E_UNEXPECTED);  // an unknown cache would give S_OK
    EXPECT_EQ(m_manager->Free("ann", "Nowhere"), S_OK);
    EXPECT_EQ(m_manager->CreateCache("INBOX", 3, 1), S_OK);
    EXPECT_EQ(m_manager->Add("bob", "b", "Inbox"), S_FALSE);
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);  // no settings: nothing to do

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(m_manager->Free("ann", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    EXPECT_EQ(m_manager->Add("bob", "b", "Inbox"), S_OK);
}

// A suspended worker cannot end within Terminate's wait. The thread then
// still runs, so the server must stay loaded, and the next Initialize
// completes that shutdown before it starts again.
TEST_F(CacheManagerTest, AfterATerminateWhoseWaitRanOutInitializeStartsAgain) {
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    const HANDLE worker = OpenNewThread(before);
    ASSERT_NE(worker, nullptr);
    m_manager->SetShutdownWait(100);
    ASSERT_NE(::SuspendThread(worker), static_cast<DWORD>(-1));
    EXPECT_EQ(m_manager->Terminate(), HRESULT_FROM_WIN32(WAIT_TIMEOUT));
    EXPECT_TRUE(IsCacheManagerStarted());
    EXPECT_EQ(m_manager->Initialize(), HRESULT_FROM_WIN32(WAIT_TIMEOUT));  // still stuck

    ::ResumeThread(worker);
    EXPECT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(::WaitForSingleObject(worker, 0), WAIT_OBJECT_0);  // the old thread has ended
    ::CloseHandle(worker);
    m_manager->SetShutdownWait(10000);
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    EXPECT_EQ(m_manager->Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_FALSE(IsCacheManagerStarted());
}

}  // namespace
}  // namespace qc::test
