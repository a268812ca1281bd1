#include "platform/sync/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace platform {

namespace {

using Steady = std::chrono::steady_clock;

// Time left until deadline for poll(): -1 without a limit, never negative
// otherwise, rounded up so that a wait never ends before its time.
class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : infinite_(timeoutMs < 0), end_(Steady::now() + std::chrono::milliseconds(infinite_ ? 0 : timeoutMs)) {}

  int RemainingMs() const {
    if (infinite_) return -1;
    const auto left = end_ - Steady::now();
    if (left <= Steady::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }

 private:
  bool infinite_;
  Steady::time_point end_;
};

bool Readable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    const int rc = ::poll(&pfd, 1, 0);
    if (rc >= 0) return rc > 0 && (pfd.revents & POLLIN) != 0;
    if (errno != EINTR) return false;
  }
}

}  // namespace

Event::Event(enum Reset reset, bool initiallySet)
    : fd_(::eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)), reset_(reset), set_(initiallySet) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Event::~Event() { ::close(fd_); }

void Event::Set() {
  std::lock_guard<std::mutex> lock(change_);
  set_.store(true, std::memory_order_release);
  // The counter stays at 1 while set: one read drains it, whichever kind.
  if (Readable(fd_)) return;
  const uint64_t one = 1;
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(change_);
  set_.store(false, std::memory_order_release);
  // A non-semaphore eventfd read returns the whole counter and zeroes it.
  uint64_t value = 0;
  while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool Event::IsSet() const {
  // An auto-reset event is taken by its waiters through the descriptor.
  if (reset_ == Reset::Manual) return set_.load(std::memory_order_acquire);
  return Readable(fd_);
}

bool Event::TryConsume() const {
  if (reset_ == Reset::Manual) return Readable(fd_);
  uint64_t value = 0;
  for (;;) {
    if (::read(fd_, &value, sizeof value) == sizeof value) return true;
    if (errno != EINTR) return false;  // EAGAIN: another waiter took it
  }
}

bool Event::Wait(int timeoutMs) const {
  const Event* self = this;
  return WaitAny(std::span<const Event* const>(&self, 1), timeoutMs) == 0;
}

int WaitAny(std::span<const Event* const> events, int timeoutMs) {
  if (events.empty()) return WAIT_FAILED_RESULT;
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (const Event* event : events) {
    if (event == nullptr) return WAIT_FAILED_RESULT;
    fds.push_back(pollfd{event->Fd(), POLLIN, 0});
  }
  const Deadline deadline(timeoutMs);
  for (;;) {
    const int rc = ::poll(fds.data(), fds.size(), deadline.RemainingMs());
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED_RESULT;
    }
    if (rc == 0) {
      // poll may wake a little early; only a passed deadline is a time-out.
      if (deadline.RemainingMs() == 0) return WAIT_TIMEOUT_RESULT;
      continue;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      const short revents = fds[i].revents;
      if (revents & (POLLERR | POLLNVAL)) return WAIT_FAILED_RESULT;
      if ((revents & POLLIN) == 0) continue;
      // An auto-reset event may have been taken by another waiter since
      // poll saw it; then look further and, failing all, wait again.
      if (!events[i]->IsAutoReset() || events[i]->TryConsume()) return static_cast<int>(i);
    }
    if (deadline.RemainingMs() == 0) return WAIT_TIMEOUT_RESULT;
  }
}

int WaitAny(std::initializer_list<const Event*> events, int timeoutMs) {
  return WaitAny(std::span<const Event* const>(events.begin(), events.size()), timeoutMs);
}

}  // namespace platform
