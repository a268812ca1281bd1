// The byte images of registry values, as the hives store them: strings as
// UTF-16LE, numbers little-endian. Readers go by the data's length and never
// past it; text is always returned whole and terminated (a std::string).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// REG_SZ / REG_EXPAND_SZ: the text as UTF-16LE, with a terminating NUL unit
// when terminate is set.
std::vector<uint8_t> RegSzBytes(std::string_view text, bool terminate = true);

// The text of a REG_SZ image: its units up to the first NUL or the end of the
// data, whichever comes first (an odd last byte is ignored).
std::string RegSzText(std::span<const uint8_t> data);

// UTF-16 units of that text, without a terminator.
size_t RegSzUnits(std::span<const uint8_t> data);

// REG_MULTI_SZ: each string terminated, then an empty string. Empty strings
// cannot be part of the list (they would end it) and are left out.
std::vector<uint8_t> RegMultiSzBytes(const std::vector<std::string>& strings);

// The strings of a REG_MULTI_SZ image, up to the empty string that ends the
// list or the end of the data; a last string without its terminator counts.
std::vector<std::string> RegMultiSzStrings(std::span<const uint8_t> data);

std::vector<uint8_t> RegDwordBytes(uint32_t value);
// Nothing unless the data is exactly 4 bytes.
std::optional<uint32_t> RegDwordValue(std::span<const uint8_t> data);
