// Base64 of RFC 4648 ("A-Z a-z 0-9 + /", "=" padding) with the encoder's
// two flags and its line breaks: without BASE64_FLAG_NOCRLF a CR LF follows
// every complete line of 76 characters, never a shorter last line, and the
// characters of a final 1- or 2-byte remainder come after the last CR LF.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t BASE64_FLAG_NOPAD = 1;
inline constexpr uint32_t BASE64_FLAG_NOCRLF = 2;

// The bound the encoder's output never exceeds: L = length * 4 / 3, plus
// length mod 3 without NOPAD; lines = L / 76 + 1; L rounded up to a multiple
// of 4; plus 2 * lines without NOCRLF. -1 when length is negative or the
// bound does not fit an int.
int Base64EncodeGetRequiredLength(int length, uint32_t flags);

// When *outLength (the capacity of out) is below the required length,
// stores the required length and returns false; else encodes, stores the
// number of characters written (no terminator) and returns true. NULL
// arguments or a negative length give false.
bool Base64Encode(const uint8_t* data, int length, char* out, int* outLength, uint32_t flags);

// Decodes groups of four alphabet characters, skipping every other character
// ("=", CR, LF, blanks); a final group of n characters gives n * 6 / 8 bytes.
// Always stores the decoded byte count in *outLength (when outLength is set).
// Writes nothing and returns false when that count exceeds the capacity
// passed in *outLength, when out is NULL (a count only), or when text or
// outLength is NULL or length is negative.
bool Base64Decode(const char* text, int length, uint8_t* out, int* outLength);

// 0-63 for an alphabet character, else -1.
int Base64DecodeChar(int c);

// The same encoder and decoder into a string and a byte vector.
std::string Base64EncodeToString(std::span<const uint8_t> data, uint32_t flags);
std::vector<uint8_t> Base64DecodeToBytes(std::string_view text);
