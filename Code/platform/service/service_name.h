// Service names: which names are valid, and the case-folded file stem under
// which the entry, status and lock files of a service live.
#pragma once

#include <string>
#include <string_view>

namespace platform::service::detail {

// Names become file names, so a slash, a backslash, a control character or
// a bare "." / ".." is refused; at most 256 bytes.
bool IsValidServiceName(std::string_view name);

// The name folded to lower case (ASCII), so "Marrowlantern" and
// "MARROWLANTERN" share their files.
std::string ServiceFileStem(std::string_view name);

bool SameServiceName(std::string_view a, std::string_view b);

}  // namespace platform::service::detail
