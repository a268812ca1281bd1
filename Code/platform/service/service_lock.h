// An exclusive flock on <run>/services/<name>.lock. The supervisor holds it
// from "is it running?" through spawning to writing START_PENDING, and the
// service holds it for each status write, so a fast child's RUNNING can
// never be overwritten by its own START_PENDING and two starts cannot both
// spawn.
#pragma once

#include <cstdint>
#include <string>

namespace platform::service::detail {

class ServiceLock {
 public:
  // Blocks until the lock is held; error() tells whether it is.
  explicit ServiceLock(const std::string& name);
  ~ServiceLock();
  ServiceLock(const ServiceLock&) = delete;
  ServiceLock& operator=(const ServiceLock&) = delete;

  // 0 when held, else the Win32 code of the failure.
  uint32_t error() const { return error_; }

 private:
  int fd_ = -1;
  uint32_t error_ = 0;
};

}  // namespace platform::service::detail
