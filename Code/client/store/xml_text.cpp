#include "client/store/xml_text.h"

#include "platform/text/utf16.h"

namespace client {

bool IsXmlText(std::string_view text) {
  bool invalid = false;
  const std::u16string units = Utf8ToUtf16(text, &invalid);
  if (invalid) return false;
  // Well-formed UTF-8 gives surrogates only in pairs (characters above
  // U+FFFF, all of them XML characters).
  for (char16_t u : units) {
    if (u < 0x20 && u != '\t' && u != '\n') return false;
    if (u == 0xFFFE || u == 0xFFFF) return false;
  }
  return true;
}

}  // namespace client
