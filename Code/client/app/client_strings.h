// The client application's texts: the table of the user's language from
// lang/<id>/strings.txt beside the program, else the English table compiled
// into the program (its own resources).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/language_strings.h"

namespace client {

// The English table the program carries (lang/1033/strings.txt as built).
std::string_view BuiltInStringsText();
LanguageStrings BuiltInStrings();

// The folder that holds lang/: the program's own in the build tree, its
// parent where installed (bin/Marrowlantern beside lang/).
std::string LanguageBaseDir();

// Step 4 of the start: language 1033 takes the built-in table; another one
// loads its table below programDir, and when that fails logs LOG_WARNING
// "Use default language\n" and takes the built-in table.
LanguageStrings LoadClientStrings(const std::string& programDir, uint16_t language);

}  // namespace client
