#include "support/os_version.h"

#include <string>

#include "support/registry_helpers.h"

namespace {

bool ParseNumber(std::string_view text, uint32_t& out) {
  if (text.empty() || text.size() > 5) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

}  // namespace

std::optional<OsVersion> ParseOsVersion(std::string_view text) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  OsVersion v;
  if (!ParseNumber(text.substr(0, dot), v.major) || !ParseNumber(text.substr(dot + 1), v.minor))
    return std::nullopt;
  return v;
}

OsVersion GetOsVersion() {
  std::string text;
  uint32_t size = 64;
  if (RegReadProductValue(kOsVersionValue, text, size) == 0)
    if (auto parsed = ParseOsVersion(text)) return *parsed;
  return OsVersion{};
}

bool IsVistaOrLater(const OsVersion& version) { return version.nt && version.major >= 6; }

bool IsWindows2000(const OsVersion& version) {
  return version.nt && version.major == 5 && version.minor == 0;
}

bool IsVistaOrLater() { return IsVistaOrLater(GetOsVersion()); }

bool IsWindows2000() { return IsWindows2000(GetOsVersion()); }
