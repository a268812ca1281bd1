#include "client/store/xml_text.h"

#include <cstdint>

namespace marrowlantern {
namespace {

bool IsXmlChar(uint32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n';
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

}  // namespace

bool IsXmlText(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length;
    uint32_t c;
    uint32_t least;
    if (lead < 0x80) {
      length = 1, c = lead, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // An overlong form hides a character behind a longer sequence.
    if (c < least || !IsXmlChar(c)) return false;
    i += length;
  }
  return true;
}

}  // namespace marrowlantern
