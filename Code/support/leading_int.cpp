#include "support/leading_int.h"

#include <limits>

int32_t LeadingInt32(std::string_view text) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  // Past kMax + 1 every further digit only clamps.
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= kMax + 1; ++i)
    value = value * 10 + (text[i] - '0');
  if (negative) value = -value;
  if (value > kMax) return static_cast<int32_t>(kMax);
  if (value < kMin) return static_cast<int32_t>(kMin);
  return static_cast<int32_t>(value);
}
