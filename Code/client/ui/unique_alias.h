// A saved-connection alias that no saved connection uses yet, made from a
// base such as "bob@gw:443": the base itself, else base "_1", "_2", ...
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/store/user_info_list.h"

namespace client {

// An alias holds at most this many UTF-16 units.
inline constexpr size_t kAliasUnits = 259;

// The search goes on until a free alias is found (the list is finite);
// the base is cut, never inside a character, so that the alias with its
// suffix fits kAliasUnits.
std::string MakeUniqueAlias(const user_info_list& list, std::string_view base);

}  // namespace client
