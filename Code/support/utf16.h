// UTF-8 <-> UTF-16 at the boundary to stored formats that hold UTF-16LE.
// Limits in those formats count UTF-16 units; cuts never split a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Invalid or truncated UTF-8 sequences become U+FFFD (one per maximal
// invalid subpart).
std::u16string Utf8ToUtf16(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The largest length <= maxUnits that does not end between the two units of
// a surrogate pair.
size_t Utf16CutLength(std::u16string_view text, size_t maxUnits);

// Two bytes a unit, low byte first, no byte-order mark.
std::string Utf16LeBytes(std::u16string_view text);
