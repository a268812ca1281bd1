// The detector's log file read back: the byte-order mark count and the
// messages of its lines without their time stamps.
#pragma once

#include <string>
#include <vector>

namespace avtest {

struct DetectorLog {
  int byteOrderMarks = 0;             // FF FE pairs at line starts
  std::vector<std::string> messages;  // UTF-8, stamp checked and removed
};

DetectorLog ReadDetectorLog(const std::string& path);

// What one call that finds no signature file writes.
std::vector<std::string> NoSignatureLines(const std::string& signaturePath);

}  // namespace avtest
