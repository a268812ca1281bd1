#include "platform/sync/owned_threads.h"

namespace platform {

void OwnedThreads::Start(std::function<void(const Event& stop)> body) {
  std::lock_guard lock(mutex_);
  ReapFinished();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, body = std::move(body), done] {
    try {
      body(stop_);
    } catch (...) {
      // The body logs its own failures; the thread still ends cleanly.
    }
    *done = true;
  });
  threads_.push_back(Owned{std::move(thread), std::move(done)});
}

void OwnedThreads::ReapFinished() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (*it->done) {
      it->thread.join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t OwnedThreads::Running() {
  std::lock_guard lock(mutex_);
  ReapFinished();
  return threads_.size();
}

void OwnedThreads::StopAll() {
  stop_.Set();
  // Joined outside the lock: a body that starts a thread of its own on the
  // way out must not wait for us.
  for (;;) {
    std::list<Owned> ending;
    {
      std::lock_guard lock(mutex_);
      if (threads_.empty()) break;
      ending.swap(threads_);
    }
    for (Owned& owned : ending) owned.thread.join();
  }
  stop_.Reset();
}

}  // namespace platform
