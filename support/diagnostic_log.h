// The server's diagnostic log: a process-wide entry, LogWriter, through which
// error texts are reported, and the two writers that can stand behind it.
//
//   WriteAppendLog  appends a time-stamped record to a text file; on its first
//                   call in the process the file moves beside a loaded
//                   "Pivot" module, as "Quor_Log.txt".
//   WriteRingLog    sends the text to the debugger output and keeps a file of
//                   bounded size that it overwrites in a ring (layout in
//                   diagnostic_log.cpp).
//
// LogMode decides whether a writer also shows the text in a message box
// (kLogShowMessageBox) and whether it writes the file (kLogWriteFile). Every
// writer call holds the log lock from start to end, the message box included,
// so records never interleave within the process. The log lock is taken
// last: no other lock of the server is taken while it is held.
//
// Neither writer reports a failure: a file that cannot be opened, read or
// written ends that call's work silently. A null text is ignored.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <ctime>
#include <string>

using LogWriterFunction = void (*)(const char* text);

void WriteAppendLog(const char* text) noexcept;
void WriteRingLog(const char* text) noexcept;

// The entry; starts as WriteAppendLog. Call as LogWriter.load()(text).
extern std::atomic<LogWriterFunction> LogWriter;

constexpr DWORD kLogShowMessageBox = 1;
constexpr DWORD kLogWriteFile = 2;

// Flags; other bits are ignored. Starts as kLogWriteFile.
extern std::atomic<DWORD> LogMode;

// Room for the log file's path: 260 characters and the terminator.
constexpr std::size_t kLogPathCapacity = MAX_PATH + 1;

// Points both writers at another file. False (and the path unchanged) when
// the path is null or longer than 260 characters. A later first call of
// WriteAppendLog may still move the file beside a loaded "Pivot" module.
bool SetLogPath(const char* path);

// The log file's path as it stands now ("C:\LogError.txt" at first).
std::string GetLogPath();

// The time text of an append-log record: the C standard's asctime form,
// 24 characters and a line feed, the day of the month padded with a space
// ("Tue Dec  8 09:05:03 2026\n").
std::string CTimeText(const std::tm& time);
