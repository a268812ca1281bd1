#include "support/dotted_version.h"

#include <cctype>

#include "support/ascii_case.h"

namespace {

struct Part {
  std::string_view number;  // leading zeros stripped
  std::string_view rest;
};

Part SplitPart(std::string_view part) {
  size_t digits = 0;
  while (digits < part.size() && std::isdigit(static_cast<unsigned char>(part[digits])) != 0) ++digits;
  std::string_view number = part.substr(0, digits);
  while (!number.empty() && number.front() == '0') number.remove_prefix(1);
  return Part{number, part.substr(digits)};
}

// Numbers of any length: no overflow, a longer one is larger.
int CompareNumbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// The next dot-separated part of text ("" once it is used up).
std::string_view NextPart(std::string_view& text) {
  const size_t dot = text.find('.');
  std::string_view part = text.substr(0, dot);
  text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  return part;
}

}  // namespace

int CompareDottedVersions(std::string_view a, std::string_view b) {
  while (!a.empty() || !b.empty()) {
    const Part pa = SplitPart(NextPart(a));
    const Part pb = SplitPart(NextPart(b));
    if (const int c = CompareNumbers(pa.number, pb.number); c != 0) return c;
    if (const int c = AsciiCompareNoCase(pa.rest, pb.rest); c != 0) return c;
  }
  return 0;
}
