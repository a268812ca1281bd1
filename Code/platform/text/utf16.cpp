#include "platform/text/utf16.h"

#include <cstdint>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text, bool* invalid) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte; the narrow
    // ranges reject overlong forms, surrogates and values above U+10FFFF.
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      if (invalid) *invalid = true;
      ++i;
      continue;
    }
    size_t used = 1;
    bool complete = true;
    for (; used < length; ++used) {
      if (i + used >= text.size()) {
        complete = false;
        break;
      }
      const auto b = static_cast<uint8_t>(text[i + used]);
      const uint8_t lo = used == 1 ? low : 0x80;
      const uint8_t hi = used == 1 ? high : 0xBF;
      if (b < lo || b > hi) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (complete) {
      AppendCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);
      if (invalid) *invalid = true;
    }
    i += used;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text, bool* invalid) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(out, kReplacement);
      if (invalid) *invalid = true;
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

size_t Utf16CutLength(std::u16string_view text, size_t maxUnits) {
  if (text.size() <= maxUnits) return text.size();
  size_t n = maxUnits;
  if (n > 0 && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n])) --n;
  return n;
}

size_t Utf16Length(std::string_view utf8) { return Utf8ToUtf16(utf8).size(); }

std::string CutUtf8ToUnits(std::string_view utf8, size_t maxUnits) {
  std::u16string wide = Utf8ToUtf16(utf8);
  wide.resize(Utf16CutLength(wide, maxUnits));
  return Utf16ToUtf8(wide);
}

std::string Utf16LeBytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::u16string Utf16FromLeBytes(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                   (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return out;
}
