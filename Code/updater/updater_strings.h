// The updater's texts: it lives in the client's program folder and shows
// the client's tables (lang/<id>/strings.txt), the English one compiled in
// for when the user's table cannot be read.
#pragma once

#include <cstdint>

#include "support/language_strings.h"

namespace thimbleset {

// The table of language below the program's language folder; the English
// one compiled in for 1033 and when that fails.
LanguageStrings LoadUpdaterStrings(uint16_t language);

}  // namespace thimbleset
