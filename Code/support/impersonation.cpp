#include "support/impersonation.h"

#include "platform/process/desktop_user.h"
#include "platform/process/user_context.h"

int ImpersonateExplorerUser(const std::string& procRoot) {
  const auto uid = platform::process::FindDesktopUser(procRoot);
  if (!uid) return 0;
  const auto user = platform::process::LookupUser(*uid);
  if (!user) return 0;
  platform::process::ImpersonateUser(*user);
  return 1;
}
