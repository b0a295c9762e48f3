// The workload and clock shared by the COMCache bench programs: 16-character
// user names and 100-character texts as BSTRs, and a high-resolution stopwatch.
#pragma once

#include "platform/platform.h"

#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

namespace qc::bench {

class Stopwatch {
public:
    Stopwatch() {
        ::QueryPerformanceFrequency(&m_frequency);
        ::QueryPerformanceCounter(&m_start);
    }
    double Nanoseconds() const {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - m_start.QuadPart) * 1e9 / static_cast<double>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency;
    LARGE_INTEGER m_start;
};

struct Keys {
    std::vector<BSTR> users;
    std::vector<BSTR> texts;
    explicit Keys(int count) {
        wchar_t user[32];
        std::wstring text(100, L'x');
        for (int i = 0; i < count; ++i) {
            std::swprintf(user, 32, L"user%012d", i);  // 16 characters
            users.push_back(::SysAllocString(user));
            std::swprintf(&text[0], 17, L"text%012d", i);
            text[16] = L'-';  // swprintf's terminator; the text stays 100 characters
            texts.push_back(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        }
    }
    ~Keys() {
        for (BSTR b : users) ::SysFreeString(b);
        for (BSTR b : texts) ::SysFreeString(b);
    }
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
};

}  // namespace qc::bench
