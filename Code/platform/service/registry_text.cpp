#include "platform/service/registry_text.h"

namespace platform::service::detail {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void PutUnit(std::vector<uint8_t>& out, uint16_t unit) {
  out.push_back(static_cast<uint8_t>(unit & 0xFF));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

void PutUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One code point from text at i (advanced past it).
char32_t NextCodePoint(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i++]);
  if (b0 < 0x80) return b0;
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

}  // namespace

std::vector<uint8_t> RegSzImage(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2 + 2);
  for (size_t i = 0; i < text.size();) {
    const char32_t cp = NextCodePoint(text, i);
    if (cp >= 0x10000) {
      PutUnit(out, static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      PutUnit(out, static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      PutUnit(out, static_cast<uint16_t>(cp));
    }
  }
  PutUnit(out, 0);
  return out;
}

std::string RegSzImageText(std::span<const uint8_t> data) {
  std::string out;
  const size_t units = data.size() / 2;
  auto unitAt = [&](size_t k) { return static_cast<uint16_t>(data[2 * k] | (data[2 * k + 1] << 8)); };
  for (size_t k = 0; k < units; ++k) {
    const uint16_t u = unitAt(k);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
      const uint16_t low = unitAt(k + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        PutUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
        ++k;
        continue;
      }
    }
    PutUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
  }
  return out;
}

}  // namespace platform::service::detail
