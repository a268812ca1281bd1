// The number at the start of a text as the C runtime's atoi reads it:
// blanks and a sign, then the decimal digits that follow.
#pragma once

#include <cstdint>
#include <string_view>

// 0 when no digit follows; a value past the 32-bit range is clamped.
int32_t LeadingInt32(std::string_view text);
