// One worker thread ended by a stop event. Start() runs a body on a new
// thread (a previous run is stopped and joined first); Stop() sets the
// event, joins the thread and resets the event, so the next run starts
// clear; the destructor stops. Start and Stop may be called from any thread
// but the worker itself.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/sync/event.h"

namespace brindleway {

class StoppableThread {
 public:
  // stop: the event the body watches; it must outlive this object.
  explicit StoppableThread(platform::Event& stop) : stop_(stop) {}
  ~StoppableThread();
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  void Start(std::function<void()> body);
  // Nothing happens when no thread was started.
  void Stop();
  // Started and the body not yet returned.
  bool Running() const { return running_.load(); }

 private:
  void StopLocked();

  platform::Event& stop_;
  std::mutex mutex_;  // Start and Stop
  std::thread thread_;
  std::atomic<bool> running_{false};
};

}  // namespace brindleway
