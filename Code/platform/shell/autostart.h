// Start at logon: the per-user autostart entry of the desktop,
// <user application data>/autostart/NAME.desktop, that the session starts
// when the user logs on (the Run value NAME of the user's registry).
//
// The entry is a desktop entry of type Application whose Exec is the
// program's absolute path, quoted and escaped so the session starts exactly
// that file whatever characters its path holds. It is written whole or not
// at all (a replacement file), so a reader never meets half an entry.
#pragma once

#include <cstdint>
#include <string>

namespace platform::shell {

// NAME's entry file, or "" when NAME cannot be one file name (empty, ".",
// "..", or holding '/').
std::string AutoStartPath(const std::string& name);

// The entry's text for a program path (no check of the path).
std::string AutoStartEntryText(const std::string& name, const std::string& programPath);

// Writes NAME's entry for programPath, replacing any earlier one; the
// autostart folder is made when missing. 0, ERROR_INVALID_PARAMETER for a
// bad name or a path that is not absolute or holds a control character, else
// the Win32 code of the failed step.
uint32_t SetAutoStart(const std::string& name, const std::string& programPath);

// Removes NAME's entry. 0; ERROR_FILE_NOT_FOUND when there was none;
// ERROR_INVALID_PARAMETER for a bad name; else the Win32 code of the removal.
uint32_t DeleteAutoStart(const std::string& name);

// True when NAME's entry can be read, has its [Desktop Entry] group and is
// not marked Hidden=true (the desktop's way of saying "deleted").
bool HasAutoStart(const std::string& name);

}  // namespace platform::shell
