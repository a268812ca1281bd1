// Threads a component starts and must see ended: each one is tracked,
// finished ones are joined as new ones start, and StopAll() ends and joins
// the rest, so no thread outlives the objects it serves.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sync/event.h"

namespace platform {

class OwnedThreads {
 public:
  OwnedThreads() = default;
  ~OwnedThreads() { StopAll(); }
  OwnedThreads(const OwnedThreads&) = delete;
  OwnedThreads& operator=(const OwnedThreads&) = delete;

  // Starts body(stop) on a new thread (any thread may call this); throws
  // std::system_error when no thread can be made.
  void Start(std::function<void(const Event& stop)> body);
  // Sets the stop event the bodies wait on and joins every thread; a body
  // must not call it on itself.
  void StopAll();
  size_t Running();

 private:
  struct Owned {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Caller holds mutex_.
  void ReapFinished();

  Event stop_{Event::Reset::Manual};
  std::mutex mutex_;
  std::list<Owned> threads_;
};

}  // namespace platform
