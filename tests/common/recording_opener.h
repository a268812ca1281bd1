// The desktop's opener in tests: a script named xdg-open first on PATH that
// writes down each call's arguments. The old PATH comes back at the end.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "common/temp_root.h"

namespace vqtest {

class RecordingOpener {
 public:
  explicit RecordingOpener(const TempRoot& root) : record_(root.At("/opener.record")) {
    const std::string bin = root.At("/bin");
    ::mkdir(bin.c_str(), 0755);
    // One line per call: the number of arguments, then each one in brackets.
    WriteFileBytes(bin + "/xdg-open",
                   "#!/bin/sh\n{ printf '%s' \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo; } >> '" +
                       record_ + "'\n");
    ::chmod((bin + "/xdg-open").c_str(), 0755);
    const char* path = std::getenv("PATH");
    saved_ = path ? path : "";
    ::setenv("PATH", (bin + ":" + saved_).c_str(), 1);
  }
  ~RecordingOpener() { ::setenv("PATH", saved_.c_str(), 1); }
  RecordingOpener(const RecordingOpener&) = delete;
  RecordingOpener& operator=(const RecordingOpener&) = delete;

  std::string Record() const { return ReadFileBytes(record_); }
  // True once a whole line is written.
  bool Called() const {
    const std::string r = Record();
    return !r.empty() && r.back() == '\n';
  }

 private:
  std::string record_;
  std::string saved_;
};

}  // namespace vqtest
