// The small "Key=Value" text files of the service layer (entries and
// status), read whole and replaced atomically so a reader never sees half a
// file.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

namespace platform::service::detail {

using KeyValues = std::map<std::string, std::string>;

// 0, ERROR_FILE_NOT_FOUND when the file is missing, or the Win32 code of the
// read error. Lines without '=' are skipped; the first '=' splits.
uint32_t ReadKeyValueFile(const std::string& path, KeyValues& out);

// Writes "Key=Value\n" lines to a temporary file beside path and renames it
// over path (mode 0644); creates the folder when missing. 0 or a Win32 code.
// Values must not hold line breaks (ERROR_INVALID_PARAMETER).
uint32_t WriteKeyValueFile(const std::string& path,
                           const std::initializer_list<std::pair<std::string, std::string>>& lines);

// Decimal numbers; false on anything else (empty, sign, trailing text, overflow).
bool ParseNumber(const std::string& text, uint32_t& out);
bool ParseNumber(const std::string& text, uint64_t& out);

}  // namespace platform::service::detail
