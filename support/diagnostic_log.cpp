// The diagnostic log's settings, its lock and its two writers.
//
// Append-log record (text mode, so each LF reaches the disk as CR LF):
//   "\n\n ****  " + CTimeText of the local time (24 characters and its own
//   LF) + " " + message
//
// Ring-log file (bytes, no terminators written):
//   offset 0     header "E, M," in decimal: E is the offset just past the
//                newest record, M the largest E ever written. Bytes after the
//                header text keep what they held: NUL in a new file, or the
//                tail of an older, longer header.
//   offset 100   records on the first pass, each
//                "\r\nYYYY/MM/DD hh:mm:ss.mmm TTTT " (local time, thread id in
//                hex, at least 4 columns) + message.
// Once E reaches kRingThreshold the next record goes just past the header
// text and the pass starts again from there. The file is never truncated,
// so the previous pass's records stay readable beyond E, up to M.
#include "support/diagnostic_log.h"

#include "support/scoped_handle.h"
#include "support/static_lock.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

std::atomic<LogWriterFunction> LogWriter{WriteAppendLog};
std::atomic<DWORD> LogMode{kLogWriteFile};

namespace {

// Both guarded by LogLock.
char LogPath[kLogPathCapacity] = "C:\\LogError.txt";
bool g_pathRewritePending = true;

constexpr LONG kRingHeaderBytes = 100;
constexpr LONG kRingThreshold = 0x500000;
constexpr std::size_t kRecordPrefixCapacity = 512;

// The lock of every writer call, prepared with the module's statics.
CStaticLock LogLock;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// REQUIRES: LogLock held.
// Once per process, whatever the outcome: when a module "Pivot" is loaded,
// the log moves to "Quor_Log.txt" in that module's directory. A path that
// would not fit in the log path's room leaves the log where it was, rather
// than pointing it at a cut-off name.
void MovePathBesidePivotOnce() {
    if (!g_pathRewritePending) return;
    g_pathRewritePending = false;

    const HMODULE pivot = ::GetModuleHandleA("Pivot");
    if (pivot == nullptr) return;
    char path[kLogPathCapacity];
    const DWORD length = ::GetModuleFileNameA(pivot, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) return;  // failed, or the name was cut short
    path[length] = '\0';
    unsigned char* lastSeparator = ::_mbsrchr(reinterpret_cast<unsigned char*>(path), '\\');
    if (lastSeparator == nullptr) return;

    static const char kFileName[] = "\\Quor_Log.txt";
    const std::size_t directoryLength = static_cast<std::size_t>(
        lastSeparator - reinterpret_cast<unsigned char*>(path));
    if (directoryLength + sizeof(kFileName) > sizeof(LogPath)) return;
    std::memcpy(path + directoryLength, kFileName, sizeof(kFileName));
    std::memcpy(LogPath, path, directoryLength + sizeof(kFileName));
}

// Waits until the user closes the box; the caller holds LogLock meanwhile.
void ShowMessageBox(const char* text) {
    ::MessageBoxA(nullptr, text, "Error", MB_ICONERROR | MB_OK);
}

// REQUIRES: LogLock held.
void AppendRecord(const char* text) {
    const std::size_t length = std::strlen(text);
    const std::time_t now = std::time(nullptr);
    // "t" explicitly: a host that switched the runtime's default file mode
    // to binary must not change the record's line ends.
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(LogPath, "at"));
    if (!file) return;
    const std::tm* local = std::localtime(&now);
    std::fprintf(file.get(), "\n\n ****  %s ", local != nullptr ? CTimeText(*local).c_str() : "");
    std::fwrite(text, 1, length, file.get());
    ::OutputDebugStringA(text);
}

// Reads "%d, %d," the way the runtime's scanner does (a number, a comma,
// optional white space, a number), except that numbers out of range clamp
// instead of being undefined. A number that is not there reads as 0.
void ParseRingHeader(const char* header, LONG& end, LONG& highWater) {
    char* rest = nullptr;
    end = std::strtol(header, &rest, 10);
    highWater = 0;
    if (rest != header && *rest == ',') highWater = std::strtol(rest + 1, nullptr, 10);
}

// Where the next record goes. An end that does not lie past the header text
// (0 for a new file or an unreadable header, a negative number, or an
// offset inside the header itself) restarts the ring at offset 100: writing
// there would put a record where the header is rewritten.
LONG RingWritePosition(const char* header, LONG end) {
    const LONG headerEnd = static_cast<LONG>(std::strlen(header)) + 1;
    if (end >= kRingThreshold) return headerEnd;
    if (end < headerEnd) return kRingHeaderBytes;
    return end;
}

// REQUIRES: LogLock held.
void WriteRingRecord(const char* text) {
    const qc::ScopedHandle file(::CreateFileA(LogPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return;

    char header[kRingHeaderBytes + 1] = {};
    DWORD bytesRead = 0;
    if (!::ReadFile(file.Get(), header, kRingHeaderBytes, &bytesRead, nullptr)) return;
    LONG end = 0;
    LONG highWater = 0;
    ParseRingHeader(header, end, highWater);

    const LONG position = RingWritePosition(header, end);
    if (::SetFilePointer(file.Get(), position, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return;

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char prefix[kRecordPrefixCapacity];
    const int prefixLength = std::snprintf(
        prefix, sizeof(prefix), "\r\n%04u/%02u/%02u %02u:%02u:%02u.%03u %4X ",
        unsigned{now.wYear}, unsigned{now.wMonth}, unsigned{now.wDay}, unsigned{now.wHour},
        unsigned{now.wMinute}, unsigned{now.wSecond}, unsigned{now.wMilliseconds},
        static_cast<unsigned>(::GetCurrentThreadId()));
    DWORD prefixWritten = 0;
    if (prefixLength < 0 || !::WriteFile(file.Get(), prefix, static_cast<DWORD>(prefixLength),
                                         &prefixWritten, nullptr))
        return;
    // A failed write leaves the header naming the previous end, so the next
    // record overwrites this partial one.
    DWORD textWritten = 0;
    if (!::WriteFile(file.Get(), text, static_cast<DWORD>(std::strlen(text)), &textWritten, nullptr))
        return;

    const long long newEnd = static_cast<long long>(position) + prefixWritten + textWritten;
    if (newEnd > LONG_MAX) return;  // the header could not name it
    const LONG newHighWater = newEnd > highWater ? static_cast<LONG>(newEnd) : highWater;
    char newHeader[kRingHeaderBytes] = {};
    std::snprintf(newHeader, sizeof(newHeader), "%ld, %ld,", static_cast<long>(newEnd),
                  static_cast<long>(newHighWater));
    if (::SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return;
    DWORD headerWritten = 0;
    ::WriteFile(file.Get(), newHeader, static_cast<DWORD>(std::strlen(newHeader)), &headerWritten,
                nullptr);
}

}  // namespace

void WriteAppendLog(const char* text) noexcept {
    if (text == nullptr) return;
    CScopedLock<CStaticLock> hold(LogLock);
    MovePathBesidePivotOnce();
    const DWORD mode = LogMode.load();
    if (mode & kLogShowMessageBox) ShowMessageBox(text);
    if (mode & kLogWriteFile) AppendRecord(text);
}

void WriteRingLog(const char* text) noexcept {
    if (text == nullptr) return;
    CScopedLock<CStaticLock> hold(LogLock);
    const DWORD mode = LogMode.load();
    if (mode & kLogShowMessageBox) ShowMessageBox(text);
    ::OutputDebugStringA(text);
    ::OutputDebugStringA("\n");
    if (mode & kLogWriteFile) WriteRingRecord(text);
}

bool SetLogPath(const char* path) {
    if (path == nullptr) return false;
    const std::size_t length = std::strlen(path);
    if (length >= kLogPathCapacity) return false;
    CScopedLock<CStaticLock> hold(LogLock);
    std::memcpy(LogPath, path, length + 1);
    return true;
}

std::string GetLogPath() {
    CScopedLock<CStaticLock> hold(LogLock);
    return std::string(LogPath);
}

// Formatted here rather than by the runtime, whose ctime pads the day of the
// month with a zero on some systems.
std::string CTimeText(const std::tm& time) {
    static const char kDays[][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char kMonths[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const bool named = time.tm_wday >= 0 && time.tm_wday < 7 && time.tm_mon >= 0 && time.tm_mon < 12;
    char text[64];
    std::snprintf(text, sizeof(text), "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", named ? kDays[time.tm_wday] : "???",
                  named ? kMonths[time.tm_mon] : "???", time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec,
                  1900 + time.tm_year);
    return text;
}
