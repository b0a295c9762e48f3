// The append log's one-time move beside a loaded module "Pivot". The move is
// looked at on the first call in the process only, so each scenario runs in
// a process of its own (CMake runs this program once per scenario, with a
// filter): the module's folder is long enough that "\Quor_Log.txt" just fits
// in the log path, or one character too long, when the log stays.
#include "support/diagnostic_log.h"

#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

namespace qc::test {
namespace {

constexpr std::size_t kLogFileNameLength = 13;  // "\Quor_Log.txt"

// Loads a copy of the test module "Pivot" (built beside the test program)
// from a given folder, and unloads it at the end.
class PivotModuleCopy {
public:
    explicit PivotModuleCopy(const std::string& folder) : m_path(folder + "\\Pivot.dll") {
        char program[MAX_PATH + 1];
        const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof(program));
        std::string source(program, length);
        source = source.substr(0, source.rfind('\\')) + "\\Pivot.dll";
        EXPECT_TRUE(::CopyFileA(source.c_str(), m_path.c_str(), FALSE)) << source << " -> " << m_path;
        m_module = ::LoadLibraryA(m_path.c_str());
        EXPECT_NE(m_module, nullptr) << m_path;
    }
    ~PivotModuleCopy() { Unload(); }
    PivotModuleCopy(const PivotModuleCopy&) = delete;
    PivotModuleCopy& operator=(const PivotModuleCopy&) = delete;

    // The folder as the loader reports the module's file name.
    std::string LoadedFolder() const {
        char path[MAX_PATH + 1];
        const DWORD length = ::GetModuleFileNameA(m_module, path, sizeof(path));
        const std::string name(path, length);
        return name.substr(0, name.rfind('\\'));
    }

    void Unload() {
        if (m_module != nullptr) ::FreeLibrary(m_module);
        m_module = nullptr;
    }

private:
    std::string m_path;
    HMODULE m_module = nullptr;
};

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
}  // namespace qc::test
