// The two log writers, checked on the bytes they leave on disk: the ring
// file's header, record positions, wrap and recovery from bad headers, and
// the append file's record layout. Every test logs into its own temp folder.
#include "support/diagnostic_log.h"

#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using qc::test::FileExists;
using qc::test::ReadWholeFile;
using qc::test::TempFolder;
using qc::test::WriteWholeFile;

struct RingHeader {
    long end = 0;
    long highWater = 0;
};

RingHeader ReadHeader(const std::string& file) {
    RingHeader header;
    EXPECT_EQ(std::sscanf(file.c_str(), "%ld, %ld,", &header.end, &header.highWater), 2)
        << "header: " << file.substr(0, 40);
    return header;
}

// Checks one ring record "\r\nYYYY/MM/DD hh:mm:ss.mmm TTTT message" written by
// this thread at `offset`, and returns its length.
std::size_t ExpectRecordAt(const std::string& file, std::size_t offset, const std::string& message) {
    char threadId[16];
    std::snprintf(threadId, sizeof(threadId), "%4X", static_cast<unsigned>(::GetCurrentThreadId()));
    const std::size_t length = 2 + 23 + 1 + std::strlen(threadId) + 1 + message.size();
    if (offset + length > file.size()) {
        ADD_FAILURE() << "record at " << offset << " runs past the end of the file";
        return length;
    }
    const std::string record = file.substr(offset, length);
    static const std::regex layout(
        "\r\n[0-9]{4}/[01][0-9]/[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} ");
    EXPECT_TRUE(std::regex_search(record.substr(0, 26), layout, std::regex_constants::match_continuous))
        << "record at " << offset << ": " << record;
    EXPECT_EQ(record.substr(26), std::string(threadId) + " " + message);
    return length;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetLogPath(m_log.c_str()));
        LogMode = kLogWriteFile;
    }
    void TearDown() override {
        LogMode = kLogWriteFile;
        // Never leave the default path behind for a later test to write into.
        SetLogPath(m_folder.File("after.txt").c_str());
    }

    TempFolder m_folder{"log"};
    const std::string m_log = m_folder.File("log.txt");
};

using RingLog = LogTest;

TEST_F(RingLog, FirstRecordGoesAt100BehindANulPaddedHeader) {
    WriteRingLog("first");
    const std::string file = ReadWholeFile(m_log);
    const std::size_t length = ExpectRecordAt(file, 100, "first");
    const RingHeader header = ReadHeader(file);
    EXPECT_EQ(header.end, static_cast<long>(100 + length));
    EXPECT_EQ(header.highWater, header.end);
    EXPECT_EQ(file.size(), 100 + length);

    const std::string headerText = std::to_string(header.end) + ", " + std::to_string(header.end) + ",";
    EXPECT_EQ(file.substr(0, headerText.size()), headerText);
    EXPECT_EQ(file.substr(headerText.size(), 100 - headerText.size()),
              std::string(100 - headerText.size(), '\0'));
}

TEST_F(RingLog, LaterRecordsFollowTheNewestEnd) {
    WriteRingLog("one");
    const long firstEnd = ReadHeader(ReadWholeFile(m_log)).end;
    WriteRingLog("two, a little longer");

    const std::string file = ReadWholeFile(m_log);
    ExpectRecordAt(file, 100, "one");
    const std::size_t length = ExpectRecordAt(file, firstEnd, "two, a little longer");
    const RingHeader header = ReadHeader(file);
    EXPECT_EQ(header.end, firstEnd + static_cast<long>(length));
    EXPECT_EQ(header.highWater, header.end);
    EXPECT_EQ(file.size(), static_cast<std::size_t>(header.end));
}

TEST_F(RingLog, WrapsJustPastTheHeaderTextAndKeepsTheHighWaterMark) {
    const std::string oldHeader = "5242880, 5242950,";  // 17 characters: the next record goes at 18
    std::string before = oldHeader + std::string(100 - oldHeader.size(), '\0') + std::string(200, 'x');
    WriteWholeFile(m_log, before);

    WriteRingLog("wrapped");
    std::string file = ReadWholeFile(m_log);
    const std::size_t length = ExpectRecordAt(file, 18, "wrapped");
    RingHeader header = ReadHeader(file);
    EXPECT_EQ(header.end, static_cast<long>(18 + length));
    EXPECT_EQ(header.highWater, 5242950);
    EXPECT_EQ(file[17], '\0');  // the old header's terminating NUL is never written over
    // Not truncated: the previous pass stays behind the new end.
    ASSERT_EQ(file.size(), before.size());
    EXPECT_EQ(file.substr(header.end), before.substr(header.end));

    // The new pass continues from its own end.
    const long wrappedEnd = header.end;
    WriteRingLog("next");
    file = ReadWholeFile(m_log);
    ExpectRecordAt(file, 18, "wrapped");
    const std::size_t nextLength = ExpectRecordAt(file, wrappedEnd, "next");
    header = ReadHeader(file);
    EXPECT_EQ(header.end, wrappedEnd + static_cast<long>(nextLength));
    EXPECT_EQ(header.highWater, 5242950);
}

// A header that names no usable end restarts the ring at 100, without
// writing a record into the header area.
struct BadHeader {
    const char* text;
    long expectedHighWater;  // 0: the new end
};

class RingLogBadHeader : public LogTest, public ::testing::WithParamInterface<BadHeader> {};

TEST_P(RingLogBadHeader, RestartsAt100) {
    const std::string oldHeader = GetParam().text;
    WriteWholeFile(m_log, oldHeader + std::string(100 - oldHeader.size(), '\0') + std::string(50, 'y'));

    WriteRingLog("recovered");
    const std::string file = ReadWholeFile(m_log);
    const std::size_t length = ExpectRecordAt(file, 100, "recovered");
    const RingHeader header = ReadHeader(file);
    EXPECT_EQ(header.end, static_cast<long>(100 + length));
    const long highWater = GetParam().expectedHighWater;
    EXPECT_EQ(header.highWater, highWater != 0 ? highWater : header.end);
}

INSTANTIATE_TEST_SUITE_P(Headers, RingLogBadHeader,
                         ::testing::Values(BadHeader{"not a header", 0},
                                           BadHeader{"-40, 500,", 500},
                                           BadHeader{"-2147483648, -2147483648,", 0},
                                           BadHeader{"5, 5,", 0}));

TEST_F(RingLog, RecordsOfConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kRecordsPerThread = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kRecordsPerThread; ++i)
                WriteRingLog(("thread " + std::to_string(t) + " record " + std::to_string(i)).c_str());
        });
    for (auto& thread : threads) thread.join();

    const std::string file = ReadWholeFile(m_log);
    const RingHeader header = ReadHeader(file);
    ASSERT_EQ(file.size(), static_cast<std::size_t>(header.end));
    // Each record is "\r\n" + 23-character time + " " + thread id + " " + message.
    std::set<std::string> messages;
    std::size_t start = 100;
    while (start < file.size()) {
        ASSERT_EQ(file.compare(start, 2, "\r\n"), 0) << "at " << start;
        std::size_t next = file.find("\r\n", start + 2);
        if (next == std::string::npos) next = file.size();
        const std::string record = file.substr(start + 2, next - start - 2);
        const std::size_t threadIdStart = record.find_first_not_of(' ', 24);
        const std::size_t messageStart = record.find(' ', threadIdStart) + 1;
        messages.insert(record.substr(messageStart));
        start = next;
    }
    EXPECT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kRecordsPerThread));
    EXPECT_EQ(messages.count("thread 3 record 24"), 1u);
}

TEST_F(RingLog, TheEntryStartsAtTheAppendWriterAndCanBeSwitched) {
    EXPECT_EQ(LogWriter.load(), &WriteAppendLog);
    LogWriter = WriteRingLog;
    LogWriter.load()("through the entry");
    LogWriter = WriteAppendLog;
    ExpectRecordAt(ReadWholeFile(m_log), 100, "through the entry");
}

TEST_F(RingLog, WritesNothingWithoutFileModeANullTextOrAReachableFile) {
    LogMode = 0;
    WriteRingLog("not written");
    WriteAppendLog("not written");
    EXPECT_FALSE(FileExists(m_log));

    LogMode = kLogWriteFile;
    WriteRingLog(nullptr);
    WriteAppendLog(nullptr);
    EXPECT_FALSE(FileExists(m_log));

    const std::string unreachable = m_folder.File("missing\\log.txt");
    ASSERT_TRUE(SetLogPath(unreachable.c_str()));
    WriteRingLog("lost");
    WriteAppendLog("lost");
    EXPECT_FALSE(FileExists(unreachable));
}

TEST(LogPath, HoldsAtMost260Characters) {
    const std::string before = GetLogPath();
    EXPECT_FALSE(SetLogPath(std::string(261, 'a').c_str()));
    EXPECT_FALSE(SetLogPath(nullptr));
    EXPECT_EQ(GetLogPath(), before);

    const std::string longest(260, 'b');
    EXPECT_TRUE(SetLogPath(longest.c_str()));
    EXPECT_EQ(GetLogPath(), longest);
    SetLogPath(before.c_str());
}

using AppendLog = LogTest;

// The local time as the append log writes it, LF as CR LF (text mode).
std::string TimeOnDisk(std::time_t when) {
    std::string text = CTimeText(*std::localtime(&when));
    text.insert(text.size() - 1, "\r");
    return text;
}

TEST_F(AppendLog, RecordsStartWithTwoBlankLinesAndTheTimeText) {
    const std::time_t before = std::time(nullptr);
    WriteAppendLog("first line\nsecond");
    WriteAppendLog("again");
    const std::time_t after = std::time(nullptr);
    // No module "Pivot" is loaded here, so the log stayed where it was put.
    EXPECT_EQ(GetLogPath(), m_log);

    const std::string file = ReadWholeFile(m_log);
    static const std::regex layout("\r\n\r\n \\*\\*\\*\\*  (.{24}\r\n) first line\r\nsecond"
                                   "\r\n\r\n \\*\\*\\*\\*  (.{24}\r\n) again");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(file, match, layout)) << file;
    for (const std::string& written : {match[1].str(), match[2].str()})
        EXPECT_TRUE(written == TimeOnDisk(before) || written == TimeOnDisk(after)) << written;
}

// The C standard's form, whatever the runtime's own ctime would write: the
// day of the month is padded with a space.
TEST(AppendLogTime, IsTheStandardAsctimeText) {
    struct Case {
        std::tm time;
        const char* text;
    };
    const Case cases[] = {
        {{3, 5, 9, 8, 11, 126, 2, 0, 0}, "Tue Dec  8 09:05:03 2026\n"},
        {{59, 59, 23, 31, 0, 127, 0, 0, 0}, "Sun Jan 31 23:59:59 2027\n"},
        {{0, 0, 0, 1, 6, 100, 6, 0, 0}, "Sat Jul  1 00:00:00 2000\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(CTimeText(c.time), c.text);
}

}  // namespace
