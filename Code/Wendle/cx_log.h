// The web control's own log ("Wendle.log" in the log folder): callers queue
// timestamped records and a thread of the log appends them, so the page's
// thread never waits for the disk.
//
// Each record is one line "<time> <level> <file>(<line>): <text>\r\n" in
// UTF-16LE, at most 1024 units, always ending in CR LF (a text ending in
// CR LF brings its own), followed by a hex dump of its data block when it
// has one. Processes share the file: every write appends, under flock, and
// the byte-order mark goes only into an empty file. Records queued before
// the log is destroyed are all written before its thread ends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

inline constexpr char WENDLE_LOG_NAME[] = "Wendle.log";
// Longest line, CR LF included, in UTF-16 units.
inline constexpr size_t CXLOG_LINE_UNITS = 1024;

enum CxLogLevel { MsgLog = 0, WrnLog = 1, EcpLog = 2, ErrLog = 3 };

class CxLog {
 public:
  // The process's log, made (with its thread) on first use; null after it
  // was destroyed at exit ("CxLog has destroy!" goes to standard error).
  static CxLog* Instance();

  // A log of its own on path; empty: "Wendle.log" in the log folder, as
  // the log folder is when each record is made.
  explicit CxLog(std::string path);
  ~CxLog();
  CxLog(const CxLog&) = delete;
  CxLog& operator=(const CxLog&) = delete;

  // sourcePath: the caller's file (only its name is kept); function and
  // text may be null; data (may be null) is dumped in hex after the line.
  void Log(const char* sourcePath, const char* function, int line, int level, const char* text,
           const uint8_t* data = nullptr, size_t length = 0);

  // Waits until every record queued so far is in the file (tests).
  void Flush();

  // The file the next record goes to.
  std::string path() const;

 private:
  struct Record {
    std::string path;
    std::string time;
    std::string file;
    std::optional<std::string> function;
    int line = 0;
    int level = 0;
    std::optional<std::string> text;
    std::vector<uint8_t> data;
  };

  void Run();
  static void WriteBatch(const std::string& path, const std::string& bytes);

  const std::string path_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable written_;
  std::deque<Record> queue_;
  uint64_t queued_ = 0;
  uint64_t writtenCount_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// The line of one record and the hex dump of a block, as written (UTF-8;
// tests and the writer share them).
std::string CxLogLine(std::string_view time, int level, std::string_view file, int line, std::string_view text);
std::string CxLogHexDump(const uint8_t* data, size_t length);

// Logs text at the caller's file and line, with no function name.
#define CXLOG(level, text) \
  do { \
    if (CxLog* log_ = CxLog::Instance()) log_->Log(__FILE__, nullptr, __LINE__, (level), (text)); \
  } while (0)
