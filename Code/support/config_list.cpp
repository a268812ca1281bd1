#include "support/config_list.h"

#include <algorithm>

#include "platform/registry/name_fold.h"
#include "support/utf16.h"

namespace {

// The same folding as the registry's names: per character, no locale.
using platform::registry::detail::FoldName;

// The first entry with the key, cut as stored keys are.
template <typename Entries>
auto Find(Entries& entries, std::string_view key) {
  const std::string folded = FoldName(CutUtf8ToUnits(key, CONFIG_TEXT_UNITS));
  return std::find_if(entries.begin(), entries.end(),
                      [&](const ConfigEntry& e) { return FoldName(e.key) == folded; });
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Blanks as the file's reader trims them (C locale white space).
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool BlankAtAnEnd(std::string_view text) { return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back())); }

}  // namespace

bool ConfigTextEquals(std::string_view a, std::string_view b) { return FoldName(a) == FoldName(b); }

int ConfigGetValue(const ConfigList& list, std::string_view key, std::string& value) {
  const auto it = Find(list.entries, key);
  if (it != list.entries.end()) {
    value = it->value;
  } else {
    value.clear();
  }
  return 0;
}

int ConfigSetValue(ConfigList& list, std::string_view key, std::string_view value) {
  // Such text would not come back from the file as it went in: the reader
  // splits at the first "=", trims blanks around keys and values, and skips
  // lines that start with "#" or ";".
  if (key.find('=') != std::string_view::npos || HasLineBreak(key) || HasLineBreak(value) ||
      (!key.empty() && (key.front() == '#' || key.front() == ';')) || BlankAtAnEnd(key) || BlankAtAnEnd(value)) {
    return -1;
  }
  const std::string cutValue = CutUtf8ToUnits(value, CONFIG_TEXT_UNITS);
  auto it = Find(list.entries, key);
  if (it != list.entries.end()) {
    if (!ConfigTextEquals(it->value, cutValue)) it->value = cutValue;
    return 0;
  }
  ConfigAppendEntry(list, key, value);
  return 0;
}

int ConfigDeleteKey(ConfigList& list, std::string_view key) {
  auto it = Find(list.entries, key);
  if (it != list.entries.end()) list.entries.erase(it);
  return 0;
}

int ConfigFreeList(ConfigList& list) {
  list.entries.clear();
  return 0;
}

void ConfigAppendEntry(ConfigList& list, std::string_view key, std::string_view value) {
  list.entries.push_back({CutUtf8ToUnits(key, CONFIG_TEXT_UNITS), CutUtf8ToUnits(value, CONFIG_TEXT_UNITS)});
}
