#include "platform/sync/clock.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "platform/sync/event.h"

namespace platform {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Beyond this many milliseconds a steady_clock time point (nanoseconds in
// int64) would overflow; such deadlines mean "no deadline".
constexpr int64_t kFarDeadlineMs = INT64_MAX / 1'000'000 - 1;

class RealClock final : public Clock {
 public:
  int64_t NowMs() const override {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }

  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 int64_t deadlineMs) override {
    if (deadlineMs >= kFarDeadlineMs) {
      cv.wait(lock);
      return;
    }
    cv.wait_until(lock, steady_clock::time_point(milliseconds(deadlineMs)));
  }

  bool SleepFor(int64_t ms, const Event* cancel) override {
    if (cancel == nullptr) {
      if (ms > 0) std::this_thread::sleep_for(milliseconds(ms));
      return true;
    }
    // Measured on the steady clock itself, not on whole NowMs() values, so
    // the sleep never ends early.
    const auto start = steady_clock::now();
    const int64_t startMs = std::chrono::duration_cast<milliseconds>(start.time_since_epoch()).count();
    const int64_t span = std::clamp<int64_t>(ms, 0, kFarDeadlineMs - startMs);
    const auto deadline = start + milliseconds(span);
    for (;;) {
      const auto now = steady_clock::now();
      const int64_t left =
          now >= deadline ? 0 : std::chrono::ceil<milliseconds>(deadline - now).count();
      pollfd pfd{cancel->Fd(), POLLIN, 0};
      const int rc = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
      if (rc > 0) return false;
      if (rc < 0 && errno != EINTR) {
        // The cancel fd cannot be polled: fall back to a plain sleep rather
        // than spin.
        std::this_thread::sleep_until(deadline);
        return true;
      }
      if (rc == 0 && steady_clock::now() >= deadline) return true;
    }
  }

  // The real clock moves by itself; WaitUntil deadlines cover that.
  void AddWaker(ClockWaker*) override {}
  void RemoveWaker(ClockWaker*) override {}
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

// Lock order: wakersMutex, then whatever a waker takes. NowMs reads the
// atomic only, because callers hold their own locks around it.
struct FakeClock::Impl {
  std::atomic<int64_t> now{0};
  std::atomic<int> waiters{0};

  std::mutex wakersMutex;
  std::vector<ClockWaker*> wakers;

  // SleepFor blocks here; Advance notifies under sleepMutex so that a sleeper
  // between its time check and its wait cannot miss it.
  std::mutex sleepMutex;
  std::condition_variable sleepCv;
  int sleepers = 0;
  std::multiset<int64_t> deadlines;  // of the sleepers
};

FakeClock::FakeClock() : impl_(std::make_unique<Impl>()) {}
FakeClock::~FakeClock() = default;

int64_t FakeClock::NowMs() const { return impl_->now.load(std::memory_order_acquire); }

void FakeClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          int64_t deadlineMs) {
  if (NowMs() >= deadlineMs) return;
  // Advance stores the time before waking the caller's waker, and the waker
  // notifies under the caller's mutex, which we hold until wait() releases it.
  impl_->waiters.fetch_add(1);
  cv.wait(lock);
  impl_->waiters.fetch_sub(1);
}

bool FakeClock::SleepFor(int64_t ms, const Event* cancel) {
  const int64_t start = NowMs();
  const int64_t deadline = ms > INT64_MAX - start ? INT64_MAX : start + ms;
  std::unique_lock lock(impl_->sleepMutex);
  ++impl_->sleepers;
  const auto mine = impl_->deadlines.insert(deadline);
  bool reached = false;
  for (;;) {
    // Cancel first: a set cancel wins even when the time is also up.
    if (cancel != nullptr && cancel->IsSet()) break;
    if (NowMs() >= deadline) {
      reached = true;
      break;
    }
    // The cancel event has no way to notify us, so look at it every
    // millisecond of real time; Advance notifies at once.
    if (cancel != nullptr)
      impl_->sleepCv.wait_for(lock, milliseconds(1));
    else
      impl_->sleepCv.wait(lock);
  }
  impl_->deadlines.erase(mine);
  --impl_->sleepers;
  return reached;
}

void FakeClock::AddWaker(ClockWaker* waker) {
  std::lock_guard lock(impl_->wakersMutex);
  impl_->wakers.push_back(waker);
}

void FakeClock::RemoveWaker(ClockWaker* waker) {
  // Taking wakersMutex also waits for a Wake() in progress.
  std::lock_guard lock(impl_->wakersMutex);
  std::erase(impl_->wakers, waker);
}

void FakeClock::Advance(int64_t ms) {
  if (ms <= 0) return;
  impl_->now.fetch_add(ms, std::memory_order_acq_rel);
  {
    std::lock_guard lock(impl_->wakersMutex);
    for (ClockWaker* waker : impl_->wakers) waker->Wake();
  }
  {
    std::lock_guard lock(impl_->sleepMutex);
  }
  impl_->sleepCv.notify_all();
}

int FakeClock::Sleepers() const {
  std::lock_guard lock(impl_->sleepMutex);
  return impl_->sleepers;
}

int FakeClock::PendingSleepers() const {
  std::lock_guard lock(impl_->sleepMutex);
  const int64_t now = NowMs();
  return static_cast<int>(std::distance(impl_->deadlines.upper_bound(now), impl_->deadlines.end()));
}

int FakeClock::Waiters() const { return impl_->waiters.load(); }

}  // namespace platform
