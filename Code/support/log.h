// The process-wide log writer ("log.txt" in the common application data
// folder, shared by the tunnel service and the client application), its
// in-memory queue of the newest 250 lines, and the debug-file writer.
//
// Text is UTF-8 here; the files hold UTF-16LE. Format strings are printf
// style, formatted type-safely by fmt::sprintf.
#pragma once

#include <fmt/printf.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>



inline constexpr int LOG_EMERG = 0;
inline constexpr int LOG_ALERT = 1;
inline constexpr int LOG_CRIT = 2;
inline constexpr int LOG_ERR = 3;
inline constexpr int LOG_WARNING = 4;
inline constexpr int LOG_NOTICE = 5;
inline constexpr int LOG_INFO = 6;
inline constexpr int LOG_DEBUG = 7;

// Size at which log.txt is moved aside before the next line.
inline constexpr int64_t LOG_ROTATE_SIZE = 0x1E00000;
// Lines kept in memory.
inline constexpr int LOG_QUEUE_LINES = 250;
// Buffers of the message and the line, in UTF-16 units with the terminator.
inline constexpr size_t LOG_LINE_UNITS = 256;
inline constexpr size_t DEBUG_LOG_LINE_UNITS = 1024;

// Formats printf style; a format that does not fit its arguments yields the
// format text itself rather than an exception.
template <typename... Args>
std::string FormatText(std::string_view format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return std::string(format);
  } else {
    try {
      return fmt::sprintf(format, args...);
    } catch (const std::exception&) {
      return std::string(format);
    }
  }
}

// fileName null or empty: "log.txt".
void LogInit(const char* fileName = nullptr);
int LogCleanup();

// For a program run by an ordinary user: when the shared log file (the root
// service's) cannot be written, lines go to <user app data>/tarnwickgate/
// with the file's name instead, the first of them saying so.
void LogAllowUserFallback(bool allow);

// One finished message (already formatted) at a level.
void LogPrintText(int level, std::string_view message);

template <typename... Args>
void LogPrint(int level, std::string_view format, const Args&... args) {
  LogPrintText(level, FormatText(format, args...));
}

// Appends one line to the log file; 0 after an attempt to write, -1 when
// the folder could not be found or made.
int WriteLine(std::string_view line);

// Opens path for appending, moving a file of LOG_ROTATE_SIZE bytes or more
// aside first. 0 with fd set (-1 when the open failed), or -1 when the
// rotation failed. The caller closes fd.
int LogOpenFile(int& fd, const std::string& path);

// Size in bytes, or -1 when there is no such file.
int64_t GetFileSizeByName(const char* path);

void LogQueueLine(std::string_view line);
// Every queued line, oldest first, each followed by CR LF.
std::string LogGetQueuedText();
// Empties the queue; the log file is not touched.
void LogClearQueue();
// The log file (LogFilePath()) read whole while no line is being written,
// as UTF-8 text: 0, or the errno of the open or read (ENOENT: no file yet).
int LogReadFileText(std::string& text);

void LogHexDump(const char* title, const uint8_t* data, int length);

// Appends one timestamped line to a UTF-16LE file that starts with a BOM.
void AppendDebugLogText(const std::string& path, std::string_view message);

template <typename... Args>
void AppendDebugLog(const std::string& path, std::string_view format, const Args&... args) {
  AppendDebugLogText(path, FormatText(format, args...));
}

int SetCurrentDirToModuleDir();

// The full path of the log file (folder made on demand by WriteLine).
std::string LogFilePath();

// What the log stamps each line with; tests replace it to get fixed lines.
struct LogStamp {
  // Local broken-down time and milliseconds; false when it cannot be had.
  std::function<bool(std::tm&, int& milliseconds)> localTime;
  std::function<unsigned long()> processId;
  std::function<unsigned long()> threadId;
  // The number appended to a rotated file's name, 0..32767.
  std::function<int()> rotateNumber;
};
// Empty members fall back to the real sources.
void LogSetStamp(LogStamp stamp);
