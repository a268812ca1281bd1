#include "client/app/client_strings.h"

#include <stdexcept>

#include "support/log.h"
#include "support/ui_language.h"

// Generated from lang/1033/strings.txt at build time.
extern const char kMarrowlanternBuiltInStrings[];
extern const size_t kMarrowlanternBuiltInStringsSize;

namespace client {

std::string_view BuiltInStringsText() {
  return std::string_view(kMarrowlanternBuiltInStrings, kMarrowlanternBuiltInStringsSize);
}

LanguageStrings BuiltInStrings() {
  auto table = ParseLanguageText(BuiltInStringsText(), LANGID_ENGLISH_US);
  // The table is checked by the build's tests; a broken one is a bug.
  if (!table) throw std::logic_error("the built-in string table is not a string table");
  return std::move(*table);
}

std::string LanguageBaseDir() { return LanguageBaseFolder(); }

LanguageStrings LoadClientStrings(const std::string& programDir, uint16_t language) {
  if (language != LANGID_ENGLISH_US) {
    if (auto table = LoadLanguageStrings(programDir, language)) return std::move(*table);
    LogPrint(LOG_WARNING, "Use default language\n");
  }
  return BuiltInStrings();
}

}  // namespace client
