// Whether a list entry's FileVersion is newer than the installed product
// version.
#pragma once

#include <string_view>

namespace thimbleset {

// Two versions made only of dot-separated decimal parts ("1.0.10.0")
// compare part by part as numbers, missing parts counting as 0, so that
// 1.0.10.0 is newer than 1.0.9.0. Any other pair compares as text, without
// regard to ASCII case.
bool IsNewerVersion(std::string_view fileVersion, std::string_view productVersion);

}  // namespace thimbleset
