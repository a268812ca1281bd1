#include "client/ui/profile.h"

#include <string>

#include "support/log.h"

namespace client {

bool CProfile::DelUserInfo(std::string_view alias) {
  LogPrint(LOG_INFO, "CProfile::DelUserInfo szAlias = %s\n", std::string(alias));
  const std::optional<user_info> entry = store_.FindUser(alias);
  if (!entry) return false;
  // CURRENTUSER first: a file that names a removed connection would be
  // worse than one that still holds it.
  const bool current = store_.GetNodeText(XmlConfigXPath::CurrentUser) == alias;
  if (current && !store_.SetCurrentUser("")) return false;
  if (!store_.DeleteUser(*entry)) {
    if (current) store_.SetCurrentUser(alias);
    return false;
  }
  store_.RemoveListEntry(*entry);
  return true;
}

}  // namespace client
