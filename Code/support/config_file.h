// The file of the key=value settings list: in the user's application data,
// folder "Tarnwickgate/Tarnwickgate Marrowlantern"; UTF-16LE without a
// byte-order mark, one "%s=%s\r\n" line per entry.
//
// Reading: white space around a line, around the key and around the value is
// dropped; empty lines and lines starting with "#" or ";" are skipped; a
// line without "=" is logged with its number ("%s(%d): No '=' found\n") and
// skipped; the first "=" splits.
#pragma once

#include <string>

#include "support/config_list.h"

// The file's full path; the folder is made when missing. Empty when it
// cannot be made.
std::string ConfigFilePath(const std::string& fileName);

// Appends the file's entries to the list. Saved logins still in the registry
// (registry_logins.h) are put in front of them, written to the file, and
// deleted from the registry only once the file holds them. 0, or -1 when the
// file cannot be read ("Open configuration file failed\n").
int LoadConfigFile(const std::string& fileName, ConfigList& list);

// Replaces the file with every entry in list order (an empty list gives an
// empty file). 0, or -1 when the folder or the file cannot be made
// ("Open configuration file failed\n") or the write fails; a failed write
// leaves the previous file as it was.
int SaveConfigFile(const std::string& fileName, const ConfigList& list);
