// Road of one log line:
//   1. LogPrint formats the message; it is cut to 255 UTF-16 units.
//   2. The stamp (local time, level name, process and thread id) is put in
//      front and the whole line is cut to 255 units again.
//   3. WriteLine makes the folder, then under the lock opens log.txt for
//      appending (moving a full file aside first), writes the line as
//      UTF-16LE ending in CR LF with one write(), and closes it.
//   4. The line is queued in memory; the queue keeps the newest 250.
#include "support/log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <random>

#include "platform/fd_io.h"
#include "platform/paths/paths.h"
#include "platform/unique_fd.h"
#include "support/utf16.h"

namespace {

constexpr const char* kLogVendorFolder = "Tarnwickgate";
constexpr const char* kLogProductFolder = "Tarnwickgate Marrowlantern";
constexpr const char* kDefaultLogName = "log.txt";
// A rotated name that is taken gets a few more draws before the rotation
// counts as failed.
constexpr int kRotateAttempts = 8;
constexpr int kRotateNumberLimit = 32768;

using Fd = platform::UniqueFd;

bool RealLocalTime(std::tm& tm, int& milliseconds) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const time_t seconds = now.tv_sec;
  if (::localtime_r(&seconds, &tm) == nullptr) return false;
  milliseconds = static_cast<int>(now.tv_nsec / 1000000);
  return true;
}

int RealRotateNumber() {
  std::random_device source;
  return static_cast<int>(source() % kRotateNumberLimit);
}

std::shared_ptr<const LogStamp> FillStamp(LogStamp stamp) {
  if (!stamp.localTime) stamp.localTime = RealLocalTime;
  if (!stamp.processId) stamp.processId = [] { return static_cast<unsigned long>(::getpid()); };
  if (!stamp.threadId) stamp.threadId = [] { return static_cast<unsigned long>(::gettid()); };
  if (!stamp.rotateNumber) stamp.rotateNumber = RealRotateNumber;
  return std::make_shared<const LogStamp>(std::move(stamp));
}

struct LogState {
  // Serialises each open-write-close of the file and every queue access.
  std::mutex lock;
  std::deque<std::string> queue;

  // Settings, apart from the write lock so that they can be read while it
  // is held.
  std::mutex settingsLock;
  std::string fileName;
  std::shared_ptr<const LogStamp> stamp = FillStamp({});
  // A program running as an ordinary user may find the shared file (made by
  // the root service) closed to it; it then writes to its own folder.
  bool userFallback = false;
  bool usingFallback = false;
};

LogState& State() {
  static LogState state;
  return state;
}

std::shared_ptr<const LogStamp> CurrentStamp() {
  LogState& state = State();
  std::lock_guard guard(state.settingsLock);
  return state.stamp;
}

const char* LevelName(int level) {
  switch (level) {
    case LOG_EMERG: return "LOG_EMERG";
    case LOG_ALERT: return "LOG_ALERT";
    case LOG_CRIT: return "LOG_CRIT";
    case LOG_ERR: return "LOG_ERR";
    case LOG_WARNING: return "LOG_WARNING";
    case LOG_NOTICE: return "LOG_NOTICE";
    case LOG_INFO: return "LOG_INFO";
    default: return "LOG_DEBUG";
  }
}

std::string SharedLogFolder() {
  return platform::paths::CommonAppData() + "/" + kLogVendorFolder + "/" + kLogProductFolder;
}

std::string UserLogFolder() { return platform::paths::UserAppData() + "/tarnwickgate"; }

bool UsingFallback() {
  LogState& state = State();
  std::lock_guard guard(state.settingsLock);
  return state.usingFallback;
}

std::string LogFolder() { return UsingFallback() ? UserLogFolder() : SharedLogFolder(); }

bool NotWritable(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::u16string CutUnits(std::u16string text, size_t maxUnits) {
  text.resize(Utf16CutLength(text, maxUnits));
  return text;
}

bool WriteAll(int fd, const std::string& bytes) {
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(bytes.size());
}

// Moves a full log file to path + a random number. A rotated file is never
// overwritten: a taken name gets another number.
bool RotateLogFile(const std::string& path) {
  const auto stamp = CurrentStamp();
  for (int attempt = 0; attempt < kRotateAttempts; ++attempt) {
    const std::string rotated = path + std::to_string(stamp->rotateNumber());
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, rotated.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno == EINVAL || errno == ENOSYS) {
      // The file system cannot rename without replacing; a hard link fails
      // just the same on a taken name.
      if (::link(path.c_str(), rotated.c_str()) == 0) return ::unlink(path.c_str()) == 0;
    }
    // The other process that writes this file has just moved it.
    if (errno == ENOENT) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

std::string LineBytes(std::u16string_view line) {
  std::u16string text(line);
  if (!text.empty() && text.back() == u'\n') text.pop_back();
  text += u"\r\n";
  return Utf16LeBytes(text);
}

// The shared file is closed to this user: from now on the user's own folder
// takes the lines, the first of them saying so. Caller holds state.lock.
int SwitchToUserLog(LogState& state, const std::string& sharedPath, int& fd) {
  {
    std::lock_guard guard(state.settingsLock);
    if (!state.userFallback) return -1;
    state.usingFallback = true;
  }
  if (!platform::paths::CreateDirectories(UserLogFolder())) return -1;
  const std::string path = LogFilePath();
  if (LogOpenFile(fd, path) != 0 || fd < 0) return -1;
  const std::string notice = "Cannot write " + sharedPath + ", logging to " + path + " instead";
  WriteAll(fd, LineBytes(Utf8ToUtf16(notice)));
  return 0;
}

// Writes one line (already converted) to the log file.
int WriteLineUnits(std::u16string_view line) {
  try {
    const std::string folder = LogFolder();
    const bool folderMade = platform::paths::CreateDirectories(folder);
    const int folderError = errno;
    const std::string path = LogFilePath();
    const std::string bytes = LineBytes(line);

    LogState& state = State();
    std::lock_guard guard(state.lock);
    int fd = -1;
    if (!folderMade) {
      if (!NotWritable(folderError) || SwitchToUserLog(state, path, fd) != 0) return -1;
    } else if (LogOpenFile(fd, path) != 0) {
      return 0;
    } else if (fd < 0 && NotWritable(errno) && !UsingFallback()) {
      SwitchToUserLog(state, path, fd);
    }
    const Fd file(fd);
    if (file.get() < 0) return 0;
    if (!WriteAll(file.get(), bytes)) {
      std::fputs("WriteLine error\n", stdout);
      std::fflush(stdout);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

}  // namespace

void LogInit(const char* fileName) {
  LogState& state = State();
  {
    std::lock_guard guard(state.settingsLock);
    state.fileName = fileName ? fileName : "";
  }
  std::lock_guard guard(state.lock);
  state.queue.clear();
}

void LogAllowUserFallback(bool allow) {
  LogState& state = State();
  std::lock_guard guard(state.settingsLock);
  state.userFallback = allow;
  if (!allow) state.usingFallback = false;
}

int LogCleanup() {
  LogState& state = State();
  std::lock_guard guard(state.lock);
  state.queue.clear();
  return 0;
}

void LogPrintText(int level, std::string_view message) {
  try {
    const std::u16string cutMessage = CutUnits(Utf8ToUtf16(message), LOG_LINE_UNITS - 1);

    const auto stamp = CurrentStamp();
    std::tm tm{};
    int milliseconds = 0;
    if (!stamp->localTime(tm, milliseconds)) return;

    const std::string line = fmt::sprintf(
        "%04d.%02d.%02d %02d:%02d:%02d %s [%lu:%lu]: %s", tm.tm_year + 1900, tm.tm_mon + 1,
        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, LevelName(level), stamp->processId(),
        stamp->threadId(), Utf16ToUtf8(cutMessage));
    const std::u16string cutLine = CutUnits(Utf8ToUtf16(line), LOG_LINE_UNITS - 1);

    WriteLineUnits(cutLine);
    LogQueueLine(Utf16ToUtf8(cutLine));
  } catch (const std::exception&) {
    // Logging never fails its caller.
  }
}

int WriteLine(std::string_view line) {
  try {
    return WriteLineUnits(Utf8ToUtf16(line));
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int LogOpenFile(int& fd, const std::string& path) {
  fd = -1;
  if (GetFileSizeByName(path.c_str()) >= LOG_ROTATE_SIZE && !RotateLogFile(path)) return -1;
  // Appending and never truncating: the other process may have just
  // created the file and written to it.
  fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return 0;
}

int64_t GetFileSizeByName(const char* path) {
  if (path == nullptr) return -1;
  struct stat st {};
  if (::stat(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

void LogQueueLine(std::string_view line) {
  try {
    std::string copy(line);
    if (!copy.empty() && copy.back() == '\n') copy.pop_back();
    LogState& state = State();
    std::lock_guard guard(state.lock);
    state.queue.push_back(std::move(copy));
    while (state.queue.size() > static_cast<size_t>(LOG_QUEUE_LINES)) state.queue.pop_front();
  } catch (const std::bad_alloc&) {
    // The line is left out of the queue.
  }
}

std::string LogGetQueuedText() {
  LogState& state = State();
  std::lock_guard guard(state.lock);
  size_t total = 0;
  for (const auto& line : state.queue) total += line.size() + 2;
  std::string text;
  text.reserve(total);
  for (const auto& line : state.queue) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void LogClearQueue() {
  LogState& state = State();
  std::lock_guard guard(state.lock);
  state.queue.clear();
}

int LogReadFileText(std::string& text) {
  text.clear();
  try {
    const std::string path = LogFilePath();
    std::string bytes;
    int error = 0;
    {
      LogState& state = State();
      std::lock_guard guard(state.lock);
      error = platform::ReadFileBytes(path, bytes);
    }
    if (error != 0) return error;
    std::u16string units = Utf16FromLeBytes(bytes);
    if (!units.empty() && units.front() == u'\xFEFF') units.erase(0, 1);
    text = Utf16ToUtf8(units);
    return 0;
  } catch (const std::bad_alloc&) {
    text.clear();
    return ENOMEM;
  }
}

void LogHexDump(const char* title, const uint8_t* data, int length) {
  LogPrint(LOG_DEBUG, "%s (%d):\n", title ? title : "", length);
  if (length < 1 || data == nullptr) return;

  constexpr int kRowBytes = 16;
  for (int offset = 0; offset < length; offset += kRowBytes) {
    const int count = std::min(kRowBytes, length - offset);
    std::string row = fmt::sprintf("%08x: ", offset);
    for (int i = 0; i < kRowBytes; ++i) {
      if (i == 8) row += ' ';
      row += i < count ? fmt::sprintf("%02x", static_cast<unsigned>(data[offset + i])) : std::string("  ");
      row += i + 1 < kRowBytes ? " " : "    ";
    }
    for (int i = 0; i < kRowBytes; ++i) {
      if (i == 8) row += ' ';
      if (i >= count) {
        row += ' ';
        continue;
      }
      // Printable as in the C locale: blank through tilde.
      const uint8_t b = data[offset + i];
      row += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    row += '\n';
    LogPrintText(LOG_INFO, row);
  }
}

void AppendDebugLogText(const std::string& path, std::string_view message) {
  try {
    const auto stamp = CurrentStamp();
    std::tm tm{};
    int milliseconds = 0;
    if (!stamp->localTime(tm, milliseconds)) return;

    const std::u16string cutMessage = CutUnits(Utf8ToUtf16(message), DEBUG_LOG_LINE_UNITS - 1);
    const std::string prefix =
        fmt::sprintf("%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d    ", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milliseconds);
    // The cut leaves room for CR LF, so a long line never runs into the next.
    std::u16string line = CutUnits(Utf8ToUtf16(prefix) + cutMessage, DEBUG_LOG_LINE_UNITS - 3);
    line += u"\r\n";

    const Fd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.get() < 0) return;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return;
    std::string bytes;
    if (st.st_size == 0) bytes = "\xFF\xFE";
    bytes += Utf16LeBytes(line);
    WriteAll(file.get(), bytes);
  } catch (const std::exception&) {
    // A debug line that cannot be built is left out.
  }
}

int SetCurrentDirToModuleDir() {
  const std::string dir = platform::paths::ModuleDir();
  if (dir.empty() || ::chdir(dir.c_str()) != 0) {
    LogPrint(LOG_ERR, "Cannot set current directory to %s", dir);
    return -1;
  }
  return 0;
}

std::string LogFilePath() {
  LogState& state = State();
  std::string name;
  {
    std::lock_guard guard(state.settingsLock);
    name = state.fileName;
  }
  return LogFolder() + "/" + (name.empty() ? std::string(kDefaultLogName) : name);
}

void LogSetStamp(LogStamp stamp) {
  auto filled = FillStamp(std::move(stamp));
  LogState& state = State();
  std::lock_guard guard(state.settingsLock);
  state.stamp = std::move(filled);
}
