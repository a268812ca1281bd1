// The tunnel service's shared channel state: the current connection record,
// the channel state, the SMS-needed flag, the channel semaphore and the
// stop events of the worker loops. Created by the run body, shared by the
// channel thread, the command pipe threads and the channel session.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "Brindleway/common/channel_post.h"
#include "Brindleway/common/constants.h"
#include "platform/sync/event.h"
#include "platform/sync/instance_lock.h"
#include "support/conn_info.h"

namespace brindleway {

// What each status query sets the client application's watchdog to.
inline constexpr int kGuiWatchdogStart = 10;

// g_conn_info: written by the command pipe and the channel thread, read by
// the set-up; readers take a copy.
class ConnInfoSlot {
 public:
  conn_info Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_;
  }
  void Set(const conn_info& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    info_ = info;
  }
  void Update(const std::function<void(conn_info&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(info_);
  }

 private:
  mutable std::mutex mutex_;
  conn_info info_;
};

struct ChannelContext {
  ConnInfoSlot connInfo;
  std::atomic<uint32_t> channelState{CHANNEL_STATE_IDLE};
  // The client application's watchdog: set to kGuiWatchdogStart by each
  // status query.
  std::atomic<int> guiWatchdogCount{kGuiWatchdogStart};
  // Set by the set-up when the gateway demands an SMS code.
  std::atomic<uint32_t> smsNeeded{0};
  // One channel set-up or open channel at a time.
  platform::GlobalSemaphore semaphore;
  // Stop events of the worker loops (manual reset).
  platform::Event tunIoStop{platform::Event::Reset::Manual};
  platform::Event heartBeatStop{platform::Event::Reset::Manual};
  platform::Event tunKeepAliveStop{platform::Event::Reset::Manual};
  platform::Event guiKeepAliveStop{platform::Event::Reset::Manual};
};

}  // namespace brindleway
