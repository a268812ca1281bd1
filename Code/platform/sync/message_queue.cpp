#include "platform/sync/message_queue.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {

constexpr int64_t kNoDeadline = INT64_MAX;

int64_t AddClamped(int64_t a, int64_t b) { return b > kNoDeadline - a ? kNoDeadline : a + b; }

}  // namespace

MessageQueue::MessageQueue(Clock& clock) : clock_(clock) { clock_.AddWaker(this); }

MessageQueue::~MessageQueue() { clock_.RemoveWaker(this); }

void MessageQueue::Wake() {
  // Taking the mutex orders this after a waiter's deadline check, so a
  // waiter is either already in wait() or will see the new time.
  { std::lock_guard lock(mutex_); }
  cv_.notify_all();
}

bool MessageQueue::Post(uint32_t message, uintptr_t wParam, intptr_t lParam, std::any data) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    posted_.push_back(Message{message, wParam, lParam, std::move(data)});
  }
  cv_.notify_all();
  return true;
}

bool MessageQueue::TryTake(Message& out) {
  if (!posted_.empty()) {
    out = std::move(posted_.front());
    posted_.pop_front();
    return true;
  }
  const int64_t now = clock_.NowMs();
  auto due = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.dueMs <= now && (due == timers_.end() || it->second.dueMs < due->second.dueMs)) due = it;
  }
  if (due == timers_.end()) return false;
  // One WM_TIMER however late the timer is; the next period counts from now.
  due->second.dueMs = AddClamped(now, due->second.periodMs);
  out = Message{WM_TIMER, due->first, 0, {}};
  return true;
}

Message MessageQueue::Get() {
  Message out;
  GetFor(out, -1);
  return out;
}

bool MessageQueue::GetFor(Message& out, int64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const int64_t end = timeoutMs < 0 ? kNoDeadline : AddClamped(clock_.NowMs(), timeoutMs);
  for (;;) {
    if (TryTake(out)) return true;
    if (end != kNoDeadline && clock_.NowMs() >= end) return false;
    int64_t deadline = end;
    for (const auto& [id, timer] : timers_) deadline = std::min(deadline, timer.dueMs);
    clock_.WaitUntil(lock, cv_, deadline);
  }
}

uintptr_t MessageQueue::SetTimer(uint32_t periodMs) {
  uintptr_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextTimerId_++;
    // A zero period would make the timer due forever and Get() spin.
    const uint32_t period = std::max<uint32_t>(periodMs, 1);
    timers_[id] = Timer{period, AddClamped(clock_.NowMs(), period)};
  }
  // A waiter may be sleeping without a deadline; let it take this one.
  cv_.notify_all();
  return id;
}

bool MessageQueue::KillTimer(uintptr_t id) {
  std::lock_guard lock(mutex_);
  return timers_.erase(id) > 0;
}

void MessageQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

size_t MessageQueue::PendingCount() const {
  std::lock_guard lock(mutex_);
  return posted_.size();
}

bool MessageQueue::Idle() const {
  std::lock_guard lock(mutex_);
  if (!posted_.empty()) return false;
  const int64_t now = clock_.NowMs();
  for (const auto& [id, timer] : timers_)
    if (timer.dueMs <= now) return false;
  return true;
}

size_t MessageQueue::TimerCount() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace platform
