#include "support/url_credential.h"

#include <cstdint>

#include "support/base64.h"
#include "support/utf16.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<std::string> DecodeUrlCredential(std::string_view written) {
  const std::optional<std::string> base64 = PercentDecode(written);
  if (!base64) return std::nullopt;
  uint8_t bytes[URL_CREDENTIAL_MAX_BYTES];
  int length = static_cast<int>(sizeof bytes);
  if (!Base64Decode(base64->data(), static_cast<int>(base64->size()), bytes, &length)) return std::nullopt;
  if (length % 2 != 0) return std::nullopt;
  const std::u16string units =
      Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
  if (units.find(u'\0') != std::u16string::npos) return std::nullopt;
  bool invalid = false;
  std::string text = Utf16ToUtf8(units, &invalid);
  if (invalid) return std::nullopt;
  return text;
}

std::string EncodeUrlCredential(std::string_view text) {
  const std::string bytes = Utf16LeBytes(Utf8ToUtf16(text));
  const std::string base64 = Base64EncodeToString(
      std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), BASE64_FLAG_NOCRLF);
  std::string out;
  for (char c : base64) {
    if (c == '+') {
      out += "%2B";
    } else if (c == '/') {
      out += "%2F";
    } else if (c == '=') {
      out += "%3D";
    } else {
      out.push_back(c);
    }
  }
  return out;
}
