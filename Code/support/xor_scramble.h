// A light scrambler: the data XOR a 6-byte key of the program, the key
// repeated from its first byte every 6 bytes. Applying it twice restores the
// data. It hides text from a casual look; it is no encryption.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t XOR_SCRAMBLE_KEY_BYTES = 6;
// The work buffer of XorScrambleBuffer.
inline constexpr size_t XOR_SCRAMBLE_BUFFER_BYTES = 512;

// Clears out, then writes in XOR the key into its first in.size() bytes.
// 1, or 0 (out untouched) when out is shorter than in.
int XorScramble(std::span<const uint8_t> in, std::span<uint8_t> out);

// The same through a work buffer of XOR_SCRAMBLE_BUFFER_BYTES: 0 (out
// untouched) when in does not fit it or out is shorter than in.
int XorScrambleBuffer(std::span<const uint8_t> in, std::span<uint8_t> out);
