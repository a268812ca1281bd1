#include "updater/updater_strings.h"

#include <stdexcept>
#include <string_view>

#include "support/ui_language.h"

// Generated from the client's lang/1033/strings.txt at build time.
extern const char kThimblesetBuiltInStrings[];
extern const size_t kThimblesetBuiltInStringsSize;

namespace thimbleset {

LanguageStrings LoadUpdaterStrings(uint16_t language) {
  if (language != LANGID_ENGLISH_US) {
    if (auto table = LoadLanguageStrings(LanguageBaseFolder(), language)) return std::move(*table);
  }
  auto table = ParseLanguageText(std::string_view(kThimblesetBuiltInStrings, kThimblesetBuiltInStringsSize),
                                 LANGID_ENGLISH_US);
  // The table is checked by the build's tests; a broken one is a bug.
  if (!table) throw std::logic_error("the built-in string table is not a string table");
  return std::move(*table);
}

}  // namespace thimbleset
