#include "platform/service/service_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>

#include "platform/service/service.h"
#include "platform/win32/win32_error.h"

extern char** environ;

namespace platform::service::detail {
namespace {

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_ = false;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// The starter may block the stop signals or ignore SIGPIPE (a service
// started from a service); the new process starts with the defaults.
int SetSignalDefaults(posix_spawnattr_t* attr) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  if (int rc = ::posix_spawnattr_setsigmask(attr, &none)) return rc;
  if (int rc = ::posix_spawnattr_setsigdefault(attr, &defaults)) return rc;
  return ::posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
}

// stdin, stdout and stderr on /dev/null, every other descriptor closed.
int SetDescriptors(posix_spawn_file_actions_t* actions) {
  if (int rc = ::posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDWR, 0)) return rc;
  if (int rc = ::posix_spawn_file_actions_adddup2(actions, 0, 1)) return rc;
  if (int rc = ::posix_spawn_file_actions_adddup2(actions, 0, 2)) return rc;
  return ::posix_spawn_file_actions_addclosefrom_np(actions, 3);
}

}  // namespace

uint32_t SpawnServiceProcess(const std::vector<std::string>& argv, const std::string& serviceName,
                             pid_t& pid) {
  if (argv.empty() || argv[0].empty()) return ERROR_PATH_NOT_FOUND;

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const std::string prefix = std::string(kServiceNameEnv) + "=";
  const std::string nameEntry = prefix + serviceName;
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env.push_back(*e);
  env.push_back(const_cast<char*>(nameEntry.c_str()));
  env.push_back(nullptr);

  SpawnAttributes attr;
  SpawnFileActions actions;
  if (!attr.ok() || !actions.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  if (int rc = SetSignalDefaults(attr.get())) return Win32FromErrno(rc);
  if (int rc = SetDescriptors(actions.get())) return Win32FromErrno(rc);

  pid_t child = 0;
  if (int rc = ::posix_spawn(&child, args[0], actions.get(), attr.get(), args.data(), env.data()))
    return Win32FromErrno(rc);
  pid = child;
  return ERROR_SUCCESS;
}

}  // namespace platform::service::detail
