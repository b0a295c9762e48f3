// Loads a copy of the test module "Pivot" (built beside the test program)
// from a given folder, and unloads it at the end.
#pragma once

#include "tests/log/temp_folder.h"

#include <string>

namespace qc::test {

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

}  // namespace qc::test
