#include "platform/service/service_name.h"

namespace platform::service::detail {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool IsValidServiceName(std::string_view name) {
  if (name.empty() || name.size() > 256 || name == "." || name == "..") return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

std::string ServiceFileStem(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameServiceName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace platform::service::detail
