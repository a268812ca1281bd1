#include "Wendle/cx_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/paths/paths.h"
#include "platform/text/utf16.h"
#include "support/log.h"

namespace {

// Set once the process's log is gone; a plain flag outlives it.
std::atomic<bool> g_destroyed{false};
std::atomic<const void*> g_instance{nullptr};

constexpr const char* kLevelNames[] = {"MsgLog", "WrnLog", "EcpLog", "ErrLog"};

std::string NowText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return text;
}

std::string BaseName(const char* path) {
  if (!path) return {};
  std::string_view p(path);
  const size_t cut = p.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? p : p.substr(cut + 1));
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DefaultPath() {
  std::string folder = LogFilePath();
  folder.erase(folder.rfind('/'));
  return folder + "/" + WENDLE_LOG_NAME;
}

}  // namespace

std::string CxLogLine(std::string_view time, int level, std::string_view file, int line, std::string_view text) {
  const char* levelName = level >= 0 && level < 4 ? kLevelNames[level] : "";
  std::string body = std::string(time) + " " + levelName + " " + std::string(file) + "(" +
                     std::to_string(line) + "): " + std::string(text);
  const bool ownEnd = body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0;
  if (ownEnd && Utf16Length(body) <= CXLOG_LINE_UNITS) return body;
  if (ownEnd) body.resize(body.size() - 2);
  // A cut line still ends its line.
  return CutUtf8ToUnits(body, CXLOG_LINE_UNITS - 2) + "\r\n";
}

std::string CxLogHexDump(const uint8_t* data, size_t length) {
  std::string out;
  for (size_t offset = 0; offset < length; offset += 16) {
    char head[16];
    std::snprintf(head, sizeof head, "%08X: ", static_cast<unsigned>(offset));
    out += head;
    for (size_t i = 0; i < 16; ++i) {
      if (offset + i < length) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", data[offset + i]);
        out += hex;
      } else {
        out += "   ";
      }
    }
    for (size_t i = 0; i < 16; ++i) {
      const uint8_t b = offset + i < length ? data[offset + i] : ' ';
      // Bytes stand for the characters of the same number.
      const char16_t unit = b < 0x20 || b == 0x7F ? u' ' : static_cast<char16_t>(b);
      out += Utf16ToUtf8(std::u16string_view(&unit, 1));
    }
    out += "\r\n";
  }
  return out;
}

CxLog* CxLog::Instance() {
  if (g_destroyed.load()) {
    std::fputs("CxLog has destroy!\n", stderr);
    return nullptr;
  }
  static CxLog log{std::string()};
  g_instance = &log;
  return &log;
}

CxLog::CxLog(std::string path) : path_(std::move(path)) { thread_ = std::thread([this] { Run(); }); }

CxLog::~CxLog() {
  if (g_instance.load() == this) g_destroyed = true;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
}

std::string CxLog::path() const { return path_.empty() ? DefaultPath() : path_; }

void CxLog::Log(const char* sourcePath, const char* function, int line, int level, const char* text,
                const uint8_t* data, size_t length) {
  Record r;
  r.path = path();
  r.time = NowText();
  r.file = BaseName(sourcePath);
  if (function) r.function = function;
  r.line = line;
  r.level = level;
  if (text) r.text = text;
  if (data && length) r.data.assign(data, data + length);
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(r));
    ++queued_;
  }
  work_.notify_one();
}

void CxLog::Flush() {
  std::unique_lock lock(mutex_);
  const uint64_t target = queued_;
  written_.wait(lock, [&] { return writtenCount_ >= target; });
}

void CxLog::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped with nothing left
    std::deque<Record> batch;
    batch.swap(queue_);
    lock.unlock();
    const size_t n = batch.size();
    // One write per run of records for the same file.
    std::string bytes;
    for (size_t i = 0; i < n; ++i) {
      const Record& r = batch[i];
      std::string text = CxLogLine(r.time, r.level, r.file, r.line, r.text ? *r.text : std::string());
      if (!r.data.empty()) text += CxLogHexDump(r.data.data(), r.data.size());
      bytes += Utf16LeBytes(Utf8ToUtf16(text));
      if (i + 1 == n || batch[i + 1].path != r.path) {
        WriteBatch(r.path, bytes);
        bytes.clear();
      }
    }
    lock.lock();
    writtenCount_ += n;
    written_.notify_all();
  }
}

void CxLog::WriteBatch(const std::string& path, const std::string& text) {
  std::string bytes = text;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) platform::paths::CreateDirectories(path.substr(0, slash));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Another process may be writing its batch: take turns, and only the
  // first writer of an empty file gives it its byte-order mark.
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  struct stat st{};
  if (::fstat(fd, &st) == 0 && st.st_size == 0) bytes.insert(0, "\xFF\xFE", 2);
  WriteAll(fd, bytes);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}
