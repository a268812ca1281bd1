// One named narrow code page to and from UTF-16, through iconv (UTF-8 by
// our own decoder). The building block of text_convert.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/text_convert.h"

namespace support::detail {

inline constexpr size_t kNoLimit = static_cast<size_t>(-1);

// "936" -> "CP936", "65001"/"utf8" -> "UTF-8"; other names as given. Empty
// when iconv knows neither direction of the result.
std::string CanonicalCodePage(std::string_view name);

bool IsUtf8CodePage(std::string_view canonicalName);

// At most maxUnits units, never ending inside a surrogate pair.
std::u16string NarrowToUtf16(const std::string& codePage, std::string_view text, size_t maxUnits,
                             ConvertReport& report);

// At most maxBytes bytes, never ending inside a character.
std::string Utf16ToNarrow(const std::string& codePage, std::u16string_view text, size_t maxBytes,
                          ConvertReport& report);

}  // namespace support::detail
