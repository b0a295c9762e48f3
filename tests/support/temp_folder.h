// Test helpers for the log tests: a private folder under the temp directory,
// removed with its files at the end, and whole-file reads and writes.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace qc::test {

class TempFolder {
public:
    // `pathLength`, when given, pads the folder's full path to exactly that
    // many characters.
    explicit TempFolder(const char* tag, std::size_t pathLength = 0) {
        char base[MAX_PATH + 1];
        const DWORD length = ::GetTempPathA(sizeof(base), base);
        EXPECT_GT(length, 0u);
        m_path = std::string(base, length) + "qc-" + tag + "-" +
                 std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++s_counter);
        if (pathLength > m_path.size()) m_path.append(pathLength - m_path.size(), 'p');
        EXPECT_TRUE(::CreateDirectoryA(m_path.c_str(), nullptr)) << m_path;
    }
    ~TempFolder() { RemoveTree(m_path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const char* name) const { return m_path + "\\" + name; }

private:
    static void RemoveTree(const std::string& folder) {
        WIN32_FIND_DATAA found;
        const HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name == "." || name == "..") continue;
                const std::string path = folder + "\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(path);
                else
                    ::DeleteFileA(path.c_str());
            } while (::FindNextFileA(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryA(folder.c_str());
    }

    static inline int s_counter = 0;
    std::string m_path;
};

inline bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qc::test
