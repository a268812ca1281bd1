#include "support/base64.h"

#include <climits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 76;
constexpr size_t kGroupsPerLine = kLineChars / 4;

uint64_t RequiredLength(uint64_t length, uint32_t flags) {
  uint64_t chars = length * 4 / 3;
  if (!(flags & BASE64_FLAG_NOPAD)) chars += length % 3;
  const uint64_t lines = chars / kLineChars + 1;
  if (chars % 4 != 0) chars += 4 - chars % 4;
  if (!(flags & BASE64_FLAG_NOCRLF)) chars += 2 * lines;
  return chars;
}

// Writes the encoding of data to out (which holds RequiredLength bytes) and
// returns the number of characters written.
size_t EncodeInto(const uint8_t* data, size_t length, char* out, uint32_t flags) {
  const bool breaks = !(flags & BASE64_FLAG_NOCRLF);
  size_t n = 0;
  size_t groupsOnLine = 0;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out[n++] = kAlphabet[(v >> 18) & 0x3F];
    out[n++] = kAlphabet[(v >> 12) & 0x3F];
    out[n++] = kAlphabet[(v >> 6) & 0x3F];
    out[n++] = kAlphabet[v & 0x3F];
    if (breaks && ++groupsOnLine == kGroupsPerLine) {
      out[n++] = '\r';
      out[n++] = '\n';
      groupsOnLine = 0;
    }
  }
  const size_t rest = length - i;
  if (rest > 0) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
    out[n++] = kAlphabet[(v >> 18) & 0x3F];
    out[n++] = kAlphabet[(v >> 12) & 0x3F];
    if (rest == 2) out[n++] = kAlphabet[(v >> 6) & 0x3F];
    if (!(flags & BASE64_FLAG_NOPAD)) {
      out[n++] = '=';
      if (rest == 1) out[n++] = '=';
    }
  }
  return n;
}

// Counts the bytes text decodes to, and writes them when out is set.
size_t DecodeInto(const char* text, size_t length, uint8_t* out) {
  size_t n = 0;
  uint32_t acc = 0;
  int have = 0;
  for (size_t i = 0; i < length; ++i) {
    const int v = Base64DecodeChar(static_cast<unsigned char>(text[i]));
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      if (out) {
        out[n] = static_cast<uint8_t>(acc >> 16);
        out[n + 1] = static_cast<uint8_t>(acc >> 8);
        out[n + 2] = static_cast<uint8_t>(acc);
      }
      n += 3;
      acc = 0;
      have = 0;
    }
  }
  // A final group of `have` characters carries have * 6 / 8 whole bytes.
  const int tail = have * 6 / 8;
  acc <<= 6 * (4 - have);
  for (int k = 0; k < tail; ++k) {
    if (out) out[n] = static_cast<uint8_t>(acc >> (16 - 8 * k));
    ++n;
  }
  return n;
}

}  // namespace

int Base64EncodeGetRequiredLength(int length, uint32_t flags) {
  if (length < 0) return -1;
  const uint64_t required = RequiredLength(static_cast<uint64_t>(length), flags);
  return required > INT_MAX ? -1 : static_cast<int>(required);
}

bool Base64Encode(const uint8_t* data, int length, char* out, int* outLength, uint32_t flags) {
  if (!data || !out || !outLength || length < 0) return false;
  const int required = Base64EncodeGetRequiredLength(length, flags);
  if (required < 0) return false;
  if (*outLength < required) {
    *outLength = required;
    return false;
  }
  *outLength = static_cast<int>(EncodeInto(data, static_cast<size_t>(length), out, flags));
  return true;
}

bool Base64Decode(const char* text, int length, uint8_t* out, int* outLength) {
  if (!outLength) return false;
  if (!text || length < 0) {
    *outLength = 0;
    return false;
  }
  const size_t count = DecodeInto(text, static_cast<size_t>(length), nullptr);
  const int capacity = *outLength;
  *outLength = static_cast<int>(count);  // length * 3 / 4 at most, so it fits
  if (!out || capacity < 0 || count > static_cast<size_t>(capacity)) return false;
  DecodeInto(text, static_cast<size_t>(length), out);
  return true;
}

int Base64DecodeChar(int c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string Base64EncodeToString(std::span<const uint8_t> data, uint32_t flags) {
  std::string out(RequiredLength(data.size(), flags), '\0');
  out.resize(EncodeInto(data.data(), data.size(), out.data(), flags));
  return out;
}

std::vector<uint8_t> Base64DecodeToBytes(std::string_view text) {
  std::vector<uint8_t> out(DecodeInto(text.data(), text.size(), nullptr));
  DecodeInto(text.data(), text.size(), out.data());
  return out;
}
