// The uniform helpers over the settings key and the general value reader and
// writer. Text is UTF-8 here and REG_SZ in the hives; capacities (size) are
// in UTF-16 characters, as the buffers they stand for.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

// The settings key, under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER alike.
inline constexpr char PRODUCT_SETTINGS_KEY[] = "Software\\Tarnwickgate\\Tarnwickgate Marrowlantern";

// The read buffer of the string readers: longer values do not read.
inline constexpr size_t REG_STRING_READ_BYTES = 512;

// Reads a REG_SZ value of the settings key under HKEY_LOCAL_MACHINE.
// -1 key cannot be opened; -2 value missing, unreadable, longer than the
// read buffer or not REG_SZ; -3 when size (the caller's capacity) is not
// larger than the value's length counted with its terminator. On 0, out holds
// the text and size that length.
int RegReadProductValue(std::string_view name, std::string& out, uint32_t& size);
// Sets a REG_SZ value (its UTF-16 units without a terminator), creating the
// key when missing. 0 or -1 (also for a caller who may not write the machine
// hive).
int RegWriteProductValue(std::string_view name, std::string_view text);
// 0, or -1 when the key cannot be opened for writing or the value cannot be
// deleted (a missing value too).
int RegDeleteProductValue(std::string_view name);

// The same under HKEY_CURRENT_USER and the given subkey; the reader gives -1
// for every failure.
int RegReadUserValue(std::string_view subkey, std::string_view name, std::string& out,
                     uint32_t& size);
int RegWriteUserValue(std::string_view subkey, std::string_view name, std::string_view text);
int RegDeleteUserValue(std::string_view subkey, std::string_view name);

// Queries a value of an existing key: its type (when type is set) and whole
// data. Returns the registry's Win32 code; failures are logged.
uint32_t RegReadValue(platform::registry::RootKey root, std::string_view subkey,
                      std::string_view name, uint32_t* type, std::vector<uint8_t>& data);
// Sets a value of an existing key. Returns the registry's Win32 code;
// failures are logged, a failed set with a dump of the data.
uint32_t RegWriteValue(platform::registry::RootKey root, std::string_view subkey,
                       std::string_view name, uint32_t type, std::span<const uint8_t> data);
