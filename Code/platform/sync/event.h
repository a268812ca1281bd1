// Win32-style events on eventfd, so that events, sockets and device fds wait
// together in one poll().
//
// A manual-reset event stays signalled until Reset(); every waiter sees it.
// An auto-reset event releases exactly one waiter per Set() and is
// unsignalled again once that waiter returns. Set() on a signalled event
// changes nothing. Every operation is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>

namespace platform {

inline constexpr int INFINITE_WAIT = -1;
// Results of WaitAny besides the index of the signalled event.
inline constexpr int WAIT_TIMEOUT_RESULT = 258;
inline constexpr int WAIT_FAILED_RESULT = -1;

class Event {
 public:
  enum class Reset { Manual, Auto };

  explicit Event(Reset reset, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();  // also allowed on auto-reset events

  // Waits up to timeoutMs (INFINITE_WAIT: no limit). True when signalled;
  // an auto-reset event is consumed by the successful wait.
  bool Wait(int timeoutMs = INFINITE_WAIT) const;

  // True when signalled, without consuming an auto-reset event. For a
  // manual-reset event no system call: loops look at it on every pass.
  bool IsSet() const;

  // Readable while signalled (for poll). After poll reports it, an
  // auto-reset event must be taken with TryConsume(); false means another
  // waiter took it first.
  int Fd() const { return fd_; }
  bool TryConsume() const;

  bool IsAutoReset() const { return reset_ == Reset::Auto; }

 private:
  int fd_;
  enum Reset reset_;
  // A manual-reset event's state beside its descriptor; Set and Reset
  // change both under the lock so that the two always agree.
  std::mutex change_;
  std::atomic<bool> set_;
};

// WaitForMultipleObjects, wait-any: the index of the first signalled event
// (consuming it when it resets automatically), WAIT_TIMEOUT_RESULT, or
// WAIT_FAILED_RESULT. When several are signalled the lowest index wins.
int WaitAny(std::span<const Event* const> events, int timeoutMs);
int WaitAny(std::initializer_list<const Event*> events, int timeoutMs);

}  // namespace platform
