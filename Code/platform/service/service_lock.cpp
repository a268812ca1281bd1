#include "platform/service/service_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths/paths.h"
#include "platform/service/service_name.h"
#include "platform/service/service_status_file.h"
#include "platform/win32/win32_error.h"

namespace platform::service::detail {

ServiceLock::ServiceLock(const std::string& name) {
  if (!IsValidServiceName(name)) {
    error_ = ERROR_INVALID_NAME;
    return;
  }
  const std::string dir = ServiceRunDir();
  if (!paths::CreateDirectories(dir)) {
    error_ = LastWin32Error();
    return;
  }
  // O_CLOEXEC: a spawned service must not inherit the supervisor's lock.
  fd_ = ::open((dir + "/" + ServiceFileStem(name) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
               0644);
  if (fd_ < 0) {
    error_ = LastWin32Error();
    return;
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    error_ = LastWin32Error();
    ::close(fd_);
    fd_ = -1;
    return;
  }
}

ServiceLock::~ServiceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

}  // namespace platform::service::detail
