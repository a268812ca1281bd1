#include "common/log_reader.h"

#include "common/temp_root.h"
#include "support/log.h"
#include "support/utf16.h"

namespace vqtest {

std::string ReadLogText() {
  const std::string bytes = ReadFileBytes(LogFilePath());
  std::u16string wide(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return Utf16ToUtf8(wide);
}

}  // namespace vqtest
