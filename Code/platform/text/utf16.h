// UTF-8 <-> UTF-16 at the boundary to stored formats that hold UTF-16LE.
// Limits in those formats count UTF-16 units; cuts never split a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Invalid or truncated UTF-8 sequences become U+FFFD (one per maximal
// invalid subpart); *invalid, when given, is set to true if there were any.
std::u16string Utf8ToUtf16(std::string_view text, bool* invalid = nullptr);

// Unpaired surrogates become U+FFFD; *invalid as above.
std::string Utf16ToUtf8(std::u16string_view text, bool* invalid = nullptr);

// The largest length <= maxUnits that does not end between the two units of
// a surrogate pair.
size_t Utf16CutLength(std::u16string_view text, size_t maxUnits);

// UTF-16 units the UTF-8 text takes (invalid sequences count as U+FFFD).
size_t Utf16Length(std::string_view utf8);

// The UTF-8 text cut to at most maxUnits UTF-16 units, never inside a
// character (invalid sequences become U+FFFD).
std::string CutUtf8ToUnits(std::string_view utf8, size_t maxUnits);

// Two bytes a unit, low byte first, no byte-order mark.
std::string Utf16LeBytes(std::u16string_view text);

// The units of a UTF-16LE byte image; an odd last byte is ignored.
std::u16string Utf16FromLeBytes(std::string_view bytes);
