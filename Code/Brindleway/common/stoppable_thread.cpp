#include "Brindleway/common/stoppable_thread.h"

#include <utility>

namespace brindleway {

StoppableThread::~StoppableThread() { Stop(); }

void StoppableThread::Start(std::function<void()> body) {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
  running_ = true;
  thread_ = std::thread([this, body = std::move(body)] {
    body();
    running_ = false;
  });
}

void StoppableThread::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
}

void StoppableThread::StopLocked() {
  if (!thread_.joinable()) return;
  stop_.Set();
  thread_.join();
  stop_.Reset();
}

}  // namespace brindleway
