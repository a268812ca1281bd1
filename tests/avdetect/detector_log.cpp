#include "avdetect/detector_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/temp_root.h"
#include "support/utf16.h"

namespace avtest {

DetectorLog ReadDetectorLog(const std::string& path) {
  const std::string bytes = vqtest::ReadFileBytes(path);
  DetectorLog log;
  EXPECT_EQ(bytes.size() % 2, 0u);
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}    )");
  size_t start = 0;
  while (start < text.size()) {
    if (text[start] == 0xFEFF) {
      ++log.byteOrderMarks;
      ++start;
      continue;
    }
    const size_t end = text.find(u"\r\n", start);
    if (end == std::u16string::npos) {
      ADD_FAILURE() << "last line has no CR LF";
      break;
    }
    const std::string line = Utf16ToUtf8(text.substr(start, end - start));
    std::smatch m;
    if (std::regex_search(line, m, stamp)) {
      log.messages.push_back(line.substr(m.length(0)));
    } else {
      ADD_FAILURE() << "line without time stamp: " << line;
    }
    start = end + 2;
  }
  return log;
}

std::vector<std::string> NoSignatureLines(const std::string& signaturePath) {
  return {
      "******************************************************",
      "m_strFilePath is \"" + signaturePath + "\"",
      "Start ExcuteProc()....",
      "Start ReadSignatures()....",
      "Get config file sections error.",
      "ReadSignatures return FALSE.",
  };
}

}  // namespace avtest
