// Comparisons of the system's words and names without regard to ASCII case
// ("CHECK" is "check"); other bytes compare as they are.
#pragma once

#include <string_view>

// <0, 0 or >0 as a sorts before, with or after b, byte by byte with 'A'-'Z'
// taken as 'a'-'z'; a prefix sorts first.
int AsciiCompareNoCase(std::string_view a, std::string_view b);

inline bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiCompareNoCase(a, b) == 0;
}
