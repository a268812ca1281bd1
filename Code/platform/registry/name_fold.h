// Registry names compare without regard to case, the way the system's names
// always have: each character of the Basic Multilingual Plane is upper-cased
// on its own (no locale, no multi-character mappings).
#pragma once

#include <string>
#include <string_view>

namespace platform::registry::detail {

// The folded form that two names share exactly when they are equal without
// regard to case. Bytes that are not UTF-8 are kept as they are.
std::string FoldName(std::string_view name);

}  // namespace platform::registry::detail
