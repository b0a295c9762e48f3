// The append log's one-time move beside a loaded module "Pivot". It happens
// on the first call in the process only, so this program holds the one
// scenario that starts with the module loaded from a folder whose
// "\Quor_Log.txt" path just fits.
#include "support/diagnostic_log.h"

#include "tests/log/pivot_module_copy.h"

#include <gtest/gtest.h>

namespace {

using qc::test::FileExists;
using qc::test::PivotModuleCopy;
using qc::test::ReadWholeFile;
using qc::test::TempFolder;

constexpr std::size_t kLogFileNameLength = 13;  // "\Quor_Log.txt"

TEST(AppendLogBesidePivot, MovesOnceIntoTheModulesFolder) {
    LogMode = kLogWriteFile;
    TempFolder first("pivot", 260 - kLogFileNameLength);
    PivotModuleCopy pivot(first.Path());
    const std::string moved = pivot.LoadedFolder() + "\\Quor_Log.txt";
    ASSERT_EQ(moved.size(), 260u) << "the moved path should fill the log path exactly";
    const std::string set = first.File("set.txt");
    ASSERT_TRUE(SetLogPath(set.c_str()));

    WriteAppendLog("moved");
    EXPECT_EQ(GetLogPath(), moved);
    EXPECT_NE(ReadWholeFile(moved).find("moved"), std::string::npos);
    EXPECT_FALSE(FileExists(set));

    // Unloaded and loaded again elsewhere, the module no longer moves the log.
    pivot.Unload();
    TempFolder second("pivot-again");
    PivotModuleCopy again(second.Path());
    const std::string stays = second.File("stays.txt");
    ASSERT_TRUE(SetLogPath(stays.c_str()));
    WriteAppendLog("stays");
    EXPECT_EQ(GetLogPath(), stays);
    EXPECT_NE(ReadWholeFile(stays).find("stays"), std::string::npos);
    EXPECT_FALSE(FileExists(second.File("Quor_Log.txt")));
}

}  // namespace
