// SIGTERM and SIGINT as a stop request. BlockStopSignals() must run on the
// main thread before any other thread starts, so that no thread takes them
// by default; a StopSignalWatcher then receives them through a signalfd.
#pragma once

#include <functional>
#include <thread>

#include "platform/sync/event.h"

namespace platform::service {

// Blocks SIGTERM, SIGINT and SIGHUP for the calling thread (and every thread
// it starts later) and ignores SIGPIPE process-wide.
void BlockStopSignals();

// Calls onStop (on its own thread) for every SIGTERM, SIGINT or SIGHUP that
// arrives while it lives. Joined by its destructor.
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void(int signal)> onStop);
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

  bool Running() const { return fd_ >= 0; }

 private:
  void Loop();

  std::function<void(int)> onStop_;
  int fd_ = -1;
  Event quit_{Event::Reset::Manual};
  std::thread thread_;
};

}  // namespace platform::service
