// The two watch threads that run while a channel is up:
//   - GuiKeepAliveThread, the client application's watchdog: every status
//     query (VQ_INQUERY) sets ChannelContext::guiWatchdogCount to 10; the
//     thread counts it down once a second and, once it has reached 0, logs
//     the time-out and ends. The channel stays up.
//   - ChannelKeepAliveThread, the TLS control channel's heart-beat for
//     gateways below protocol version 2: SslKeepAliveLoop sends one
//     heart-beat 100 ms after the start and then every 30 s while the
//     channel state is 4; a failed heart-beat is posted to the channel
//     thread as WM_CHANNEL_ERROR with its code and ends the loop.
//
// Each object owns its thread: Start() runs it, Stop() sets the thread's
// stop event in the ChannelContext, joins the thread and resets the event;
// the destructor stops. Start and Stop may be called from any thread but
// the watched thread itself.
#pragma once

#include <cstdint>
#include <functional>

#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/stoppable_thread.h"
#include "Brindleway/control/control_channel.h"
#include "platform/sync/clock.h"

namespace brindleway {

// Results of the heart-beat loop besides 0 and the heart-beat's own codes:
// VQ_ERR_SET_TIMER and VQ_ERR_WAIT_OBJECTS answer a refused timer start and
// a wait that could never end, neither of which the fixed settings below
// allow.

// Watchdog: first tick 1 s after the start, then one a second.
inline constexpr int64_t kGuiKeepAliveFirstMs = 1000;
inline constexpr int64_t kGuiKeepAlivePeriodMs = 1000;
// Heart-beat: first 100 ms after the start, then every 30 s.
inline constexpr int64_t kSslKeepAliveFirstMs = 100;
inline constexpr int64_t kSslKeepAlivePeriodMs = 30000;

// The heart-beat loop on session: 0 once the channel state has left 4 or
// the stop event (ctx.heartBeatStop) was set, 4002, 4003, or the failed
// heart-beat's code (posted as WM_CHANNEL_ERROR unless the stop event was
// already set or the state had left 4: a close is then under way, and its
// own errors must not start a reconnect).
int SslKeepAliveLoop(CChannelSession& session, ChannelContext& ctx, const PostToChannelThread& post,
                     platform::Clock& clock = platform::SystemClock());

class GuiKeepAliveThread {
 public:
  GuiKeepAliveThread(ChannelContext& ctx, PostToChannelThread post,
                     platform::Clock& clock = platform::SystemClock());
  ~GuiKeepAliveThread();
  GuiKeepAliveThread(const GuiKeepAliveThread&) = delete;
  GuiKeepAliveThread& operator=(const GuiKeepAliveThread&) = delete;

  // Starts a new watch (a previous one is stopped and joined first).
  void Start();
  // Sets ctx.guiKeepAliveStop, waits for the thread, resets the event.
  // Nothing happens when no thread was started.
  void Stop();
  // Started and not yet ended (the time-out ends it by itself).
  bool Running() const { return thread_.Running(); }

 private:
  void Run();

  ChannelContext& ctx_;
  PostToChannelThread post_;
  platform::Clock& clock_;
  StoppableThread thread_;  // last: joined before the members Run uses go
};

class ChannelKeepAliveThread {
 public:
  ChannelKeepAliveThread(ChannelContext& ctx, PostToChannelThread post,
                         platform::Clock& clock = platform::SystemClock());
  ~ChannelKeepAliveThread();
  ChannelKeepAliveThread(const ChannelKeepAliveThread&) = delete;
  ChannelKeepAliveThread& operator=(const ChannelKeepAliveThread&) = delete;

  // Runs SslKeepAliveLoop on session (not owned; it must outlive Stop()).
  // A null session: the thread ends at once. A previous run is stopped
  // and joined first.
  void Start(CChannelSession* session);
  // Sets ctx.heartBeatStop, waits for the thread, resets the event. A
  // heart-beat in flight holds the thread until it returns: the close sets
  // the channel state away from 4 first, which ends that wait. Call it
  // before the session's connection is logged out and freed.
  void Stop();
  bool Running() const { return thread_.Running(); }

 private:
  void Run(CChannelSession* session);

  ChannelContext& ctx_;
  PostToChannelThread post_;
  platform::Clock& clock_;
  StoppableThread thread_;  // last: joined before the members Run uses go
};

}  // namespace brindleway
