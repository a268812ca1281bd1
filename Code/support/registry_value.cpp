#include "support/registry_value.h"

#include "support/utf16.h"

namespace {

std::u16string Units(std::span<const uint8_t> data) {
  return Utf16FromLeBytes(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

void AppendUnits(std::vector<uint8_t>& out, std::u16string_view units) {
  for (const char16_t u : units) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  }
}

}  // namespace

std::vector<uint8_t> RegSzBytes(std::string_view text, bool terminate) {
  std::vector<uint8_t> out;
  std::u16string units = Utf8ToUtf16(text);
  if (terminate) units.push_back(u'\0');
  AppendUnits(out, units);
  return out;
}

std::string RegSzText(std::span<const uint8_t> data) {
  std::u16string units = Units(data);
  units.resize(RegSzUnits(data));
  return Utf16ToUtf8(units);
}

size_t RegSzUnits(std::span<const uint8_t> data) {
  const std::u16string units = Units(data);
  const size_t nul = units.find(u'\0');
  return nul == std::u16string::npos ? units.size() : nul;
}

std::vector<uint8_t> RegMultiSzBytes(const std::vector<std::string>& strings) {
  std::vector<uint8_t> out;
  for (const std::string& s : strings) {
    if (s.empty()) continue;
    std::u16string units = Utf8ToUtf16(s);
    units.push_back(u'\0');
    AppendUnits(out, units);
  }
  AppendUnits(out, std::u16string(1, u'\0'));
  return out;
}

std::vector<std::string> RegMultiSzStrings(std::span<const uint8_t> data) {
  const std::u16string units = Units(data);
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    if (end == start) break;  // the empty string that ends the list
    strings.push_back(Utf16ToUtf8(std::u16string_view(units).substr(start, end - start)));
    start = end + 1;
  }
  return strings;
}

std::vector<uint8_t> RegDwordBytes(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::optional<uint32_t> RegDwordValue(std::span<const uint8_t> data) {
  if (data.size() != 4) return std::nullopt;
  return uint32_t{data[0]} | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) |
         (uint32_t{data[3]} << 24);
}
