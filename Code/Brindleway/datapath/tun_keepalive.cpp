#include "Brindleway/datapath/tun_keepalive.h"

#include <algorithm>
#include <utility>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/datapath/udp_side.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {

bool is_channel_timeout(const DataPathContext& ctx) {
  return ctx.NowMs() - ctx.lastTrafficMs.load() > kTunChannelTimeoutMs;
}

TunKeepAliveTimers::TunKeepAliveTimers(DataPathContext& ctx, TunKeepAliveSenders senders)
    : ctx_(ctx), senders_(std::move(senders)), heartBeat_(*ctx.clock), keepAlive_(*ctx.clock) {
  if (!senders_.heartBeat) {
    senders_.heartBeat = [&ctx] { send_tunnel_heartbeat(ctx.udpSocket, ctx.GatewayDataAddress()); };
  }
  if (!senders_.keepAlive) {
    senders_.keepAlive = [&ctx] { send_channel_keepalive(ctx.udpSocket, ctx.GatewayDataAddress()); };
  }
}

int TunKeepAliveTimers::Start() {
  if (!heartBeat_.Start(kTunHeartBeatFirstMs, kTunHeartBeatPeriodMs) ||
      !keepAlive_.Start(kTunKeepAliveFirstMs, kTunKeepAlivePeriodMs)) {
    LogPrint(LOG_ERR, "SetWaitableTimer failed [%d]\n", platform::ERROR_INVALID_PARAMETER);
    ctx_.Post(WM_CHANNEL_ERROR, VQ_ERR_SET_TIMER);
    return VQ_ERR_SET_TIMER;
  }
  mode_ = Mode::Slow;
  return 0;
}

int64_t TunKeepAliveTimers::NextDueMs() const { return std::min(heartBeat_.NextDueMs(), keepAlive_.NextDueMs()); }

void TunKeepAliveTimers::ServiceDue() {
  const int64_t now = ctx_.NowMs();
  // A due timer is taken without blocking; the heart-beat wins a tie, as
  // the first object of a wait list does.
  if (heartBeat_.NextDueMs() <= now && heartBeat_.Wait(nullptr) == platform::PeriodicTimer::WaitResult::Fired) {
    OnHeartBeat();
  }
  if (keepAlive_.NextDueMs() <= now && keepAlive_.Wait(nullptr) == platform::PeriodicTimer::WaitResult::Fired) {
    OnKeepAlive();
  }
}

bool TunKeepAliveTimers::RearmKeepAlive(int64_t periodMs) {
  if (keepAlive_.Start(kTunKeepAliveRearmMs, periodMs)) return true;
  LogPrint(LOG_ERR, "SetWaitableTimer faile!\n");
  return false;
}

void TunKeepAliveTimers::OnHeartBeat() {
  senders_.heartBeat();
  if (!IsProtocolV2OrLater()) return;
  const int64_t now = ctx_.NowMs();
  switch (mode_) {
    case Mode::Slow: {
      const int64_t silence = now - ctx_.lastTrafficMs.load();
      if (silence >= kTunFastModeSilenceMs && silence < kTunChannelTimeoutMs) mode_ = Mode::FastPending;
      break;
    }
    case Mode::FastPending:
      if (RearmKeepAlive(kTunKeepAliveFastPeriodMs)) {
        mode_ = Mode::FastSwitched;
        ctx_.lastTrafficMs = now;
        switchedAtMs_ = now;
        LogPrint(LOG_DEBUG, "Change send heart beat per 2 Sec!\n");
      }
      break;
    case Mode::FastSwitched:
      if (ctx_.lastTrafficMs.load() != switchedAtMs_ && RearmKeepAlive(kTunKeepAlivePeriodMs)) {
        mode_ = Mode::Slow;
        LogPrint(LOG_DEBUG, "Change to 30 Second heart beat!\n");
      }
      break;
  }
  if (is_channel_timeout(ctx_)) {
    LogPrint(LOG_INFO, "Channel timeout\n");
    ctx_.Post(WM_CHANNEL_ERROR, VQ_ERR_KEEPALIVE_TIMEOUT);
  }
}

void TunKeepAliveTimers::OnKeepAlive() {
  if (IsProtocolV2OrLater()) senders_.keepAlive();
}

int TunKeepAliveLoop(DataPathContext& ctx, const platform::Event& stop, TunKeepAliveSenders senders) {
  TunKeepAliveTimers timers(ctx, std::move(senders));
  if (const int result = timers.Start(); result != 0) return result;
  for (;;) {
    if (stop.IsSet()) {
      LogPrint(LOG_DEBUG, "TunKeepAliveThread exit 3............\n");
      return VQ_TUN_KEEPALIVE_STOPPED;
    }
    const int64_t now = ctx.NowMs();
    const int64_t due = timers.NextDueMs();
    if (now >= due) {
      timers.ServiceDue();
      continue;
    }
    // Ends early when the stop event is set (and, on a fake clock, whenever
    // the time moves): the loop looks again.
    ctx.clock->SleepFor(due - now, &stop);
  }
}

TunKeepAliveThread::TunKeepAliveThread(platform::Event& stop) : stop_(stop), thread_(stop) {}

void TunKeepAliveThread::Start(DataPathContext& ctx, TunKeepAliveSenders senders) {
  thread_.Start([this, &ctx, senders = std::move(senders)]() mutable {
    DebugTrace(TRACE_SETUP, "Starting TunKeepAliveThread...\n");
    exitCode_ = TunKeepAliveLoop(ctx, stop_, std::move(senders));
  });
}

void TunKeepAliveThread::Stop() { thread_.Stop(); }

}  // namespace brindleway
