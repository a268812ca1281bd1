#include "common/log_reader.h"

#include "common/temp_root.h"
#include "support/log.h"
#include "support/utf16.h"

namespace vqtest {

std::string ReadLogFile(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::u16string wide(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return Utf16ToUtf8(wide);
}

std::string ReadLogText() { return ReadLogFile(LogFilePath()); }

}  // namespace vqtest
