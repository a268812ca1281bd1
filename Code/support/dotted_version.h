// Product versions as the installer writes them ("6.1.0.12"): compared part
// by part as numbers, so that "10.0" is newer than "9.0". The tunnel service
// and the updater both decide by it.
#pragma once

#include <string_view>

// <0, 0 or >0 as a is older than, the same as or newer than b. Each
// dot-separated part compares by its leading decimal number, then by what
// follows it without regard to ASCII case; missing parts count as "0", so
// "6.1" equals "6.1.0".
int CompareDottedVersions(std::string_view a, std::string_view b);
