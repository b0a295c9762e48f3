// The append log's one-time move beside a loaded module "Pivot", when the
// module's folder is one character too long for "\Quor_Log.txt" to fit in
// the log path: the log stays where it was. Its own program, because the
// move is looked at only once per process.
#include "support/diagnostic_log.h"

#include "tests/log/pivot_module_copy.h"

#include <gtest/gtest.h>

namespace {

using qc::test::PivotModuleCopy;
using qc::test::ReadWholeFile;
using qc::test::TempFolder;

constexpr std::size_t kLogFileNameLength = 13;  // "\Quor_Log.txt"

TEST(AppendLogBesidePivot, StaysWhenTheModulesFolderIsTooLong) {
    LogMode = kLogWriteFile;
    TempFolder folder("pivot-long", 261 - kLogFileNameLength);
    PivotModuleCopy pivot(folder.Path());
    ASSERT_EQ(pivot.LoadedFolder().size() + kLogFileNameLength, 261u);
    TempFolder logFolder("log");
    const std::string set = logFolder.File("log.txt");
    ASSERT_TRUE(SetLogPath(set.c_str()));

    WriteAppendLog("kept");
    EXPECT_EQ(GetLogPath(), set);
    EXPECT_NE(ReadWholeFile(set).find("kept"), std::string::npos);
}

}  // namespace
