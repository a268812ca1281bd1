// The user a thread acts for. A thread that impersonates a user sees that
// user's HKEY_CURRENT_USER hive and application data (paths::UserAppData);
// the credentials of the process never change, so files are still opened
// with the process's own rights. Impersonation affects only the calling
// thread and lasts until RevertToSelf.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform::process {

struct UserContext {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
};

// The user database's entry for uid; nothing when there is none or it has no
// home folder.
std::optional<UserContext> LookupUser(uid_t uid);

void ImpersonateUser(const UserContext& user);
// Ends the calling thread's impersonation; nothing happens without one.
void RevertToSelf();
// The user the calling thread impersonates, if any.
std::optional<UserContext> ImpersonatedUser();

}  // namespace platform::process
