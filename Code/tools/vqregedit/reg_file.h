// .reg text, as the registry tool reads and writes it:
//
//   Windows Registry Editor Version 5.00     (or REGEDIT4)
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Example]    create the key
//   "Name"="text"                            REG_SZ (\\ and \" escaped)
//   @="default"                              the key's default value
//   "Count"=dword:0000000a                   REG_DWORD
//   "Blob"=hex:01,02,03                      REG_BINARY
//   "List"=hex(7):41,00,00,00,00,00          any type by number, raw bytes
//   "Old"=-                                  delete the value
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Gone]      delete the key and all below it
//
// Lines starting with ';' are comments; hex data continues over lines that
// end with '\'. Version 5.00 files are UTF-16LE with a byte-order mark and
// their hex(2)/hex(7) bytes are UTF-16LE; REGEDIT4 files and their
// hex(2)/hex(7) bytes are in the ANSI code page. Imports also take UTF-8
// with or without a byte-order mark. Roots: HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER, HKEY_CLASSES_ROOT (or HKLM, HKCU, HKCR).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace regfile {

enum class Format { Regedit4, Regedit5 };

// "HKEY_LOCAL_MACHINE\A\B" -> root and "A\B"; false for an unknown root.
bool ParseKeyName(std::string_view fullName, platform::registry::RootKey& root,
                  std::string& subkey);

// Checks the whole text first, then applies it key by key and value by value
// (nothing is applied when the text is malformed). 0 or a Win32 code, with a
// message naming the line in *message.
uint32_t ImportText(std::string_view fileBytes, std::string* message);
uint32_t ImportFile(const std::string& path, std::string* message);

// The file image (encoding included) of root\subkey with everything below.
uint32_t ExportText(platform::registry::RootKey root, std::string_view subkey, Format format,
                    std::string& fileBytes);
// Writes the key given by its full name, or with an empty name the machine
// and the current user's hives whole.
uint32_t ExportFile(const std::string& path, std::string_view fullKeyName, Format format,
                    std::string* message);

}  // namespace regfile
