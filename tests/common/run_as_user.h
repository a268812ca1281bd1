// Runs a piece of a test as another user, in a forked child that switches
// its credentials (only root can). The child must report by its result, not
// by test assertions.
#pragma once

#include <sys/types.h>

#include <functional>

namespace vqtest {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNobodyGid = 65534;

// fn's result (0..255), or -1 when the child could not switch users or did
// not end normally.
int RunAsUser(uid_t uid, gid_t gid, const std::function<int()>& fn);

}  // namespace vqtest
