#include "support/ui_language.h"

#include <cstdlib>
#include <string>

namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

uint16_t LanguageIdForLocale(std::string_view locale) {
  const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
  struct Entry {
    const char* locale;
    uint16_t language;
  };
  static constexpr Entry kTable[] = {
      {"zh_CN", LANGID_CHINESE_PRC},
      {"zh_HK", LANGID_CHINESE_HONG_KONG},
      {"zh_TW", LANGID_CHINESE_TAIWAN},
  };
  for (const Entry& e : kTable)
    if (SameText(name, e.locale)) return e.language;
  return LANGID_ENGLISH_US;
}

uint16_t GetUILanguage() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return LanguageIdForLocale(value);
  }
  return LANGID_ENGLISH_US;
}
