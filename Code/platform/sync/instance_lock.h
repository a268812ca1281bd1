// Named mutexes and semaphores of the "Global\" namespace, on flock() of a
// lock file in the run folder. The lock goes with the open file, so it is
// released when its holder closes it or dies.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

// CreateMutex for an instance marker: the holder records whether it is the
// service or a console run, so a second start can tell them apart.
class InstanceLock {
 public:
  enum class Role { Service, Console };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // 0: taken. ERROR_ACCESS_DENIED (5): a service instance holds it.
  // ERROR_ALREADY_EXISTS (183): a console instance holds it. Another Win32
  // code when the lock file cannot be made.
  uint32_t Acquire(std::string_view globalName, Role role);
  void Release();
  bool Held() const { return fd_ >= 0; }

  // True when some process holds the named lock now.
  static bool IsHeld(std::string_view globalName);

 private:
  int fd_ = -1;
  std::string path_;
};

// A semaphore of count 1 (initial 1, maximum 1). Acquire and release may
// happen on different threads of the process.
class GlobalSemaphore {
 public:
  GlobalSemaphore() = default;
  ~GlobalSemaphore();
  GlobalSemaphore(const GlobalSemaphore&) = delete;
  GlobalSemaphore& operator=(const GlobalSemaphore&) = delete;

  // 0, or a Win32 code when the lock file cannot be made.
  uint32_t Create(std::string_view globalName);
  // WaitForSingleObject with no wait: true when taken.
  bool TryAcquire();
  // 0, or ERROR_TOO_MANY_POSTS (298) when it was not taken.
  uint32_t Release();
  bool Created() const { return !path_.empty(); }

 private:
  std::string path_;
  int heldFd_ = -1;
  std::mutex mutex_;
};

}  // namespace platform
