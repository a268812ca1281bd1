// The texts that name this host in the login, and the conversions between
// the programs' text and the narrow code page the control protocol carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/log.h"

namespace brindleway {

// The host name sent when the system gives none.
inline constexpr char kFallbackHostName[] = "Fenn";
// Longest host identifier text kept.
inline constexpr size_t kHostIdTextSize = 100;

// True with the host identifier (at most size - 1 bytes) in out.
bool GetHostIdText(std::string& out, size_t size = kHostIdTextSize);
// Always true: the host name, or "Fenn".
bool GetHostNameText(std::string& out, size_t size = 256);

// UTF-16 to the narrow code page. False (logged, out untouched) when a
// character has no narrow form: nothing is cut into bytes.
bool WideToNarrow(std::u16string_view text, std::string& out);
bool NarrowToWide(std::string_view text, std::u16string& out);

// Largest text FormatText makes, in UTF-16 units.
inline constexpr size_t kFormatTextLimit = 1023 * 1024;

// printf-style formatting into UTF-16; the number of units, or -1 when the
// text would be longer than kFormatTextLimit (out then empty).
template <typename... Args>
int FormatText(std::u16string& out, std::string_view format, const Args&... args);

int StoreFormattedText(std::u16string& out, const std::string& text);

template <typename... Args>
int FormatText(std::u16string& out, std::string_view format, const Args&... args) {
  return StoreFormattedText(out, ::FormatText(format, args...));
}

}  // namespace brindleway
