// Conversions between the encodings the programs meet: UTF-8 (the text of
// the programs), UTF-16 (stored and wire formats), and the narrow "ANSI" and
// "OEM" code pages, which are real code pages through iconv.
//
// Every conversion returns the whole converted text as a string; an empty
// input gives an empty result. Nothing is cut except by the two fixed-size
// conversions (WideToOem, AnsiToWideBuffered), and those cut only between
// characters. What could not be converted faithfully is replaced (U+FFFD
// towards Unicode, '?' towards a narrow code page) and reported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What a conversion met on its way. Flags are only ever set, so one report
// can collect several conversions.
struct ConvertReport {
  bool invalidInput = false;  // malformed sequences in the input
  bool lossy = false;         // characters the target code page lacks
  bool truncated = false;     // a fixed-size conversion stopped at its limit
  bool ok() const { return !invalidInput && !lossy && !truncated; }
};

// The two narrow code pages of the system.
enum class CodePage { Ansi, Oem };

// The code page in force, by its iconv name ("UTF-8", "CP936", "CP1252").
// Both default to UTF-8, or to $VQ_ANSI_CODEPAGE / $VQ_OEM_CODEPAGE when set
// to a known name at first use.
std::string CodePageName(CodePage which);

// Accepts iconv names and Windows numbers ("936", "1252", "65001"). Returns
// false and changes nothing when the name is unknown. Process-wide.
bool SetCodePage(CodePage which, std::string_view name);

// Capacity, terminator included, of the fixed buffers of WideToOem (bytes)
// and AnsiToWideBuffered (UTF-16 units).
inline constexpr size_t FIXED_CONVERT_SIZE = 1024;

std::u16string Utf8ToWide(std::string_view text, ConvertReport* report = nullptr);
std::string WideToUtf8(std::u16string_view text, ConvertReport* report = nullptr);

std::u16string AnsiToWide(std::string_view text, ConvertReport* report = nullptr);
std::string WideToAnsi(std::u16string_view text, ConvertReport* report = nullptr);
std::string AnsiToUtf8(std::string_view text, ConvertReport* report = nullptr);
std::string Utf8ToAnsi(std::string_view text, ConvertReport* report = nullptr);

std::u16string OemToWide(std::string_view text, ConvertReport* report = nullptr);
std::string OemToUtf8(std::string_view text, ConvertReport* report = nullptr);
std::string Utf8ToOem(std::string_view text, ConvertReport* report = nullptr);

// At most FIXED_CONVERT_SIZE - 1 bytes of OEM text.
std::string WideToOem(std::u16string_view text, ConvertReport* report = nullptr);
// At most FIXED_CONVERT_SIZE - 1 UTF-16 units.
std::u16string AnsiToWideBuffered(std::string_view text, ConvertReport* report = nullptr);
