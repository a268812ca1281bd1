// REG_SZ images for the service layer, which sits below the support
// library's value helpers: UTF-8 text in, UTF-16LE bytes out and back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::service::detail {

// The text as UTF-16LE with a terminating NUL unit. Invalid UTF-8 bytes
// become U+FFFD.
std::vector<uint8_t> RegSzImage(std::string_view text);

// The units up to the first NUL or the end of the data (an odd last byte is
// ignored); unpaired surrogates become U+FFFD.
std::string RegSzImageText(std::span<const uint8_t> data);

}  // namespace platform::service::detail
