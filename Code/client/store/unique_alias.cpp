#include "client/store/unique_alias.h"

#include <set>

namespace client {

std::string MakeUniqueAlias(const CXmlConfig& store, std::string_view base) {
  // One copy of the list, so that no other thread's change is seen half-way.
  std::set<std::string, std::less<>> taken;
  if (const std::optional<user_info_list> list = store.GetUserList()) {
    for (const user_info& entry : *list) taken.insert(entry.ALIASID);
  }
  std::string candidate(base);
  for (unsigned n = 1; taken.count(candidate) != 0; ++n) candidate = std::string(base) + "_" + std::to_string(n);
  return candidate;
}

}  // namespace client
