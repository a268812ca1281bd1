// The key=value settings list of the client application: text settings in
// insertion order, keys compared without regard to case. Keys and values
// are UTF-8 and hold at most CONFIG_TEXT_UNITS UTF-16 units (longer text is
// cut between characters). What the list holds can always be written to its
// file and read back: a key never holds "=" or starts with "#" or ";",
// neither holds a line break or starts or ends with a blank.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t CONFIG_TEXT_UNITS = 255;

struct ConfigEntry {
  std::string key;
  std::string value;
};

// Owns its entries; a duplicate key (from a file) is kept as a second entry
// and lookups find the first.
struct ConfigList {
  std::vector<ConfigEntry> entries;
};

// Whether two keys (or values) are the same without regard to case.
bool ConfigTextEquals(std::string_view a, std::string_view b);

// The value of the first entry with that key; a missing key gives an empty
// value. 0.
int ConfigGetValue(const ConfigList& list, std::string_view key, std::string& value);

// Sets the first entry with that key, unless its value already equals value
// without regard to case; appends a new entry when there is none. 0, or -1
// for a key that holds "=" or a key or value that holds CR or LF (nothing
// changes).
int ConfigSetValue(ConfigList& list, std::string_view key, std::string_view value);

// Removes the first entry with that key. 0, also when there is none.
int ConfigDeleteKey(ConfigList& list, std::string_view key);

// Removes every entry. 0.
int ConfigFreeList(ConfigList& list);

// Appends an entry as it is (cut to size), duplicate keys included: the
// file reader's way in.
void ConfigAppendEntry(ConfigList& list, std::string_view key, std::string_view value);
