#include "platform/process/user_context.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform::process {
namespace {

thread_local std::optional<UserContext> t_impersonated;

}  // namespace

std::optional<UserContext> LookupUser(uid_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
  for (;;) {
    struct passwd entry{};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !found->pw_dir || found->pw_dir[0] != '/') return std::nullopt;
    UserContext user;
    user.uid = found->pw_uid;
    user.gid = found->pw_gid;
    user.name = found->pw_name ? found->pw_name : "";
    user.home = found->pw_dir;
    return user;
  }
}

void ImpersonateUser(const UserContext& user) { t_impersonated = user; }

void RevertToSelf() { t_impersonated.reset(); }

std::optional<UserContext> ImpersonatedUser() { return t_impersonated; }

}  // namespace platform::process
