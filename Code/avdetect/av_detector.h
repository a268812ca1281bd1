// One antivirus check: the process names listed in the signature file,
// compared exactly (case-sensitive, blanks included) with the executable
// file names of the running processes. Everything lives for one check; the
// only lasting effect is the lines appended to the log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "support/log.h"

inline constexpr const char* kSignatureFileName = "signatures.ini";
inline constexpr const char* kDetectorLogFileName = "PelldornLog.txt";
// Buffers, in UTF-16 units, for the section names and for one NAME_LIST.
inline constexpr size_t kSignatureBufferUnits = 1024;

class CAvDetector {
 public:
  // The files in the current directory, the processes from /proc.
  CAvDetector();
  // The files in folder, the processes from procRoot (a folder laid out like
  // /proc).
  CAvDetector(const std::string& folder, std::string procRoot);
  CAvDetector(const CAvDetector&) = delete;
  CAvDetector& operator=(const CAvDetector&) = delete;

  // The whole check: one of the PELLDORN_* results.
  int32_t ExecuteProc();

 private:
  bool ReadSignatures();
  bool GetProcessList();

  // A line that cannot be built or written is dropped.
  template <typename... Args>
  void Log(std::string_view format, const Args&... args) noexcept {
    try {
      AppendDebugLog(m_strLogPath, format, args...);
    } catch (...) {
    }
  }

  std::string m_strFilePath;
  std::string m_strLogPath;
  std::string m_procRoot;
  // Ordered by UTF-16 code units, so the name reported first is the
  // smallest in that order.
  std::set<std::u16string> m_signatures;
  std::set<std::u16string> m_processes;
};
