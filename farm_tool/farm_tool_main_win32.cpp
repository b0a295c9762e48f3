// quorcache-farm.exe: the tool's commands (farm_tool.h) over this machine's
// registry, console and standard streams.
#include "farm/farm_registry_settings.h"
#include "farm_tool/farm_tool.h"
#include "platform/protected_secret.h"
#include "support/utf8.h"

#include <windows.h>
#include <shellapi.h>

#include <iostream>

namespace {

// A password line longer than this is no password.
constexpr std::size_t kLongestLine = 64 * 1024;

HRESULT LastFailure() {
    const DWORD error = ::GetLastError();
    return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// The console's echo off while it types the password, and back as it was
// however the reading ends.
class EchoOff {
public:
    EchoOff(HANDLE console, DWORD mode) : m_console(console), m_mode(mode) {
        ::SetConsoleMode(console, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    ~EchoOff() { ::SetConsoleMode(m_console, m_mode); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    HANDLE m_console;
    DWORD m_mode;
};

// Text the console typed, wiped however the reading ends.
struct WipedUnits {
    qc::Utf16String units;
    ~WipedUnits() {
        if (!units.empty()) ::SecureZeroMemory(&units[0], units.size() * sizeof(WCHAR));
    }
};

HRESULT ReadConsoleLine(HANDLE console, DWORD mode, std::string* line) {
    std::cerr << "Password: " << std::flush;
    WipedUnits typed;
    {
        EchoOff echoOff(console, mode);
        WCHAR unit = 0;
        DWORD read = 0;
        while (typed.units.size() < kLongestLine) {
            if (!::ReadConsoleW(console, &unit, 1, &read, nullptr)) return LastFailure();
            if (read == 0 || unit == L'\n') break;
            if (unit != L'\r') typed.units += unit;
        }
    }
    std::cerr << "\n";  // the Enter the console did not echo
    return qc::Utf16ToUtf8(typed.units.data(), typed.units.size(), line);
}

// Piped or redirected input: its bytes up to the line's end, as they come
// (UTF-8, of which ASCII is a part).
HRESULT ReadPipedLine(HANDLE input, std::string* line) {
    char byte = 0;
    DWORD read = 0;
    while (line->size() < kLongestLine) {
        if (!::ReadFile(input, &byte, 1, &read, nullptr)) {
            if (::GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer is done
            return LastFailure();
        }
        if (read == 0 || byte == '\n') break;
        line->push_back(byte);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return S_OK;
}

class MachineSystem final : public qc::farm::FarmToolSystem {
public:
    HRESULT ReadSettings(qc::farm::FarmSettings* settings, std::vector<std::string>* notes) override {
        return qc::farm::ReadFarmSettingsFromRegistry(settings, notes);
    }
    HRESULT ReadSecretLine(std::string* line) override {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        return ::GetConsoleMode(input, &mode) ? ReadConsoleLine(input, mode, line) : ReadPipedLine(input, line);
    }
    HRESULT WriteBinaryValue(qc::farm::FarmValue which, const std::vector<unsigned char>& bytes) override {
        return qc::farm::WriteFarmBinaryValue(which, bytes);
    }
};

// Cache names and the server's texts are UTF-8: the console shows them so
// while the tool runs, and its own code page again after.
class Utf8ConsoleOutput {
public:
    Utf8ConsoleOutput() : m_codePage(::GetConsoleOutputCP()) {
        if (m_codePage != 0) ::SetConsoleOutputCP(CP_UTF8);
    }
    ~Utf8ConsoleOutput() {
        if (m_codePage != 0) ::SetConsoleOutputCP(m_codePage);
    }
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;

private:
    const UINT m_codePage;
};

// The program's arguments as UTF-8, its own name left out.
bool Arguments(std::vector<std::string>* arguments) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return false;
    bool converted = true;
    for (int i = 1; i < count && converted; ++i) {
        std::string argument;
        converted = SUCCEEDED(qc::Utf16ToUtf8(wide[i], ::lstrlenW(wide[i]), &argument));
        arguments->push_back(std::move(argument));
    }
    ::LocalFree(wide);
    return converted;
}

}  // namespace

int main() {
    std::vector<std::string> arguments;
    if (!Arguments(&arguments)) {
        std::cerr << "The command line cannot be read.\n";
        return qc::farm::kToolFailed;
    }
    const Utf8ConsoleOutput console;
    MachineSystem system;
    const int status = qc::farm::RunFarmTool(arguments, system, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
