#include "Brindleway/channel/keep_alive_threads.h"

#include <utility>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/control/negotiation_requests.h"
#include "platform/sync/periodic_timer.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {

using platform::PeriodicTimer;

int SslKeepAliveLoop(CChannelSession& session, ChannelContext& ctx, const PostToChannelThread& post,
                     platform::Clock& clock) {
  PeriodicTimer timer(clock);
  if (!timer.Start(kSslKeepAliveFirstMs, kSslKeepAlivePeriodMs)) {
    LogPrint(LOG_ERR, "SetWaitableTimer failed [%d]\n", platform::ERROR_INVALID_PARAMETER);
    return VQ_ERR_SET_TIMER;
  }
  while (ctx.channelState.load() == CHANNEL_STATE_CONNECTED) {
    switch (timer.Wait(&ctx.heartBeatStop)) {
      case PeriodicTimer::WaitResult::Fired: {
        const int result = SendHeartBeat(session, ctx.channelState);
        if (result == 0) break;
        if (!ctx.heartBeatStop.IsSet() && ctx.channelState.load() == CHANNEL_STATE_CONNECTED && post)
          post(WM_CHANNEL_ERROR, static_cast<uint32_t>(result));
        return result;
      }
      case PeriodicTimer::WaitResult::Stopped:
        // Ends the loop even while the state still reads 4: the stop event
        // stays set until the joiner resets it, so waiting again would spin.
        return 0;
      case PeriodicTimer::WaitResult::Failed:
        LogPrint(LOG_ERR, "WaitForMultipleObjects error\n");
        return VQ_ERR_WAIT_OBJECTS;
    }
  }
  return 0;
}

// ---- GuiKeepAliveThread ----

GuiKeepAliveThread::GuiKeepAliveThread(ChannelContext& ctx, PostToChannelThread post, platform::Clock& clock)
    : ctx_(ctx), post_(std::move(post)), clock_(clock), thread_(ctx.guiKeepAliveStop) {}

GuiKeepAliveThread::~GuiKeepAliveThread() { Stop(); }

void GuiKeepAliveThread::Start() {
  thread_.Start([this] { Run(); });
}

void GuiKeepAliveThread::Stop() { thread_.Stop(); }

void GuiKeepAliveThread::Run() {
  ctx_.guiWatchdogCount = kGuiWatchdogStart;
  DebugTrace(TRACE_SETUP, "Starting GuiKeepAliveThread...");
  PeriodicTimer timer(clock_);
  if (!timer.Start(kGuiKeepAliveFirstMs, kGuiKeepAlivePeriodMs)) {
    LogPrint(LOG_ERR, "SetWaitableTimer failed [%d]\n", platform::ERROR_INVALID_PARAMETER);
    if (post_) post_(WM_CHANNEL_ERROR, VQ_ERR_SET_TIMER);
    return;
  }
  for (bool watching = true; watching;) {
    switch (timer.Wait(&ctx_.guiKeepAliveStop)) {
      case PeriodicTimer::WaitResult::Fired:
        if (ctx_.guiWatchdogCount.load() <= 0) {
          // The client application went quiet; the channel is left as it is.
          LogPrint(LOG_ERR, "Receive keep-alive message from GUI timeout\n");
          watching = false;
          break;
        }
        DebugTrace(TRACE_TIMING, "%d seconds left to close channel\n", ctx_.guiWatchdogCount.fetch_sub(1) - 1);
        break;
      case PeriodicTimer::WaitResult::Stopped:
        watching = false;
        break;
      case PeriodicTimer::WaitResult::Failed:
        LogPrint(LOG_ERR, "WaitForMultipleObjects error\n");
        watching = false;
        break;
    }
  }
}

// ---- ChannelKeepAliveThread ----

ChannelKeepAliveThread::ChannelKeepAliveThread(ChannelContext& ctx, PostToChannelThread post,
                                               platform::Clock& clock)
    : ctx_(ctx), post_(std::move(post)), clock_(clock), thread_(ctx.heartBeatStop) {}

ChannelKeepAliveThread::~ChannelKeepAliveThread() { Stop(); }

void ChannelKeepAliveThread::Start(CChannelSession* session) {
  thread_.Start([this, session] { Run(session); });
}

void ChannelKeepAliveThread::Stop() { thread_.Stop(); }

void ChannelKeepAliveThread::Run(CChannelSession* session) {
  DebugTrace(TRACE_SETUP, "Starting ChannelKeepAliveThread...");
  if (session != nullptr) SslKeepAliveLoop(*session, ctx_, post_, clock_);
}

}  // namespace brindleway
