// The tunnel keep-alive: two timers on the data-path context's clock.
//   - heart-beat timer (1 s, then every 5 s): the byte 0xFF to the gateway's
//     data address, with every gateway;
//   - keep-alive timer (1 s, then every 30 s): for gateways of protocol
//     version 2 or later, an encapsulated keep-alive packet.
// With version 2 or later each heart-beat tick also runs the silence watch
// on the last-traffic tick (anything from the gateway moves it):
//   slow      -> fast (pending) at the first tick with 30 s <= silence < 60 s
//   pending   -> switched at the next tick: keep-alives every 2 s (first in
//                100 ms), and the silence is counted again from now
//   switched  -> slow once something arrived: keep-alives every 30 s again
// and, in every mode, more than 60 s of silence posts WM_CHANNEL_ERROR 52
// on each tick while it lasts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "Brindleway/common/stoppable_thread.h"
#include "Brindleway/datapath/data_path_context.h"
#include "platform/sync/event.h"
#include "platform/sync/periodic_timer.h"

namespace brindleway {

// What the timers send; empty members send on the context's socket.
struct TunKeepAliveSenders {
  std::function<void()> heartBeat;
  std::function<void()> keepAlive;
};

// More than 60 s since the last-traffic tick.
bool is_channel_timeout(const DataPathContext& ctx);

// The two timers and the silence watch, driven by whoever waits for them
// (the thread below, or a test stepping a fake clock).
class TunKeepAliveTimers {
 public:
  enum class Mode { Slow, FastPending, FastSwitched };

  // The timers run on ctx.clock as it is now.
  TunKeepAliveTimers(DataPathContext& ctx, TunKeepAliveSenders senders);

  // Arms both timers: 0, or 4002 (logged and posted).
  int Start();
  // The clock time of the next expiry of either timer.
  int64_t NextDueMs() const;
  // Handles what is due at the clock's time: the heart-beat first.
  void ServiceDue();
  Mode CurrentMode() const { return mode_; }

 private:
  void OnHeartBeat();
  void OnKeepAlive();
  bool RearmKeepAlive(int64_t periodMs);

  DataPathContext& ctx_;
  TunKeepAliveSenders senders_;
  platform::PeriodicTimer heartBeat_;
  platform::PeriodicTimer keepAlive_;
  Mode mode_ = Mode::Slow;
  // The last-traffic tick set at the switch to fast keep-alives.
  int64_t switchedAtMs_ = 0;
};

// The thread body: runs the timers until stop is set. 4012 after the stop,
// 4002 when the timers could not be armed.
int TunKeepAliveLoop(DataPathContext& ctx, const platform::Event& stop, TunKeepAliveSenders senders = {});

// Owns the keep-alive thread. Start and Stop from the channel's start and
// close (any thread but the keep-alive thread itself).
class TunKeepAliveThread {
 public:
  // stop: the keep-alive's stop event (ChannelContext::tunKeepAliveStop).
  explicit TunKeepAliveThread(platform::Event& stop);
  TunKeepAliveThread(const TunKeepAliveThread&) = delete;
  TunKeepAliveThread& operator=(const TunKeepAliveThread&) = delete;

  // Runs TunKeepAliveLoop on ctx (not owned; it must outlive Stop()). A
  // previous run is stopped and joined first.
  void Start(DataPathContext& ctx, TunKeepAliveSenders senders = {});
  // Sets the stop event, joins the thread, resets the event. Nothing
  // happens when no thread was started.
  void Stop();
  bool Running() const { return thread_.Running(); }
  int ExitCode() const { return exitCode_.load(); }

 private:
  platform::Event& stop_;
  std::atomic<int> exitCode_{0};
  // Last: its destructor joins the thread, which writes the members above.
  StoppableThread thread_;
};

}  // namespace brindleway
