// The channel thread: the tunnel service's main loop and the only owner of
// the channel to the gateway. Every other thread reaches it by posting
// thread messages (WM_CHANNEL_*). It starts opens and reopens on one worker
// thread at a time, runs rekeys itself, closes the channel, and drives the
// reconnect, rekey and previous-key aging timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/channel_ops.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/message_queue.h"

namespace brindleway {

class ChannelThread {
 public:
  ChannelThread(ChannelContext& context, ChannelOps& ops, GuiReports& gui,
                platform::Clock& clock = platform::SystemClock());
  // Ends the thread (exit message) when it still runs.
  ~ChannelThread();
  ChannelThread(const ChannelThread&) = delete;
  ChannelThread& operator=(const ChannelThread&) = delete;

  void Start();
  // Cancels a running set-up and posts the exit message.
  void RequestExit();
  // Waits for the thread to end.
  void Join();

  // PostThreadMessage to the channel thread; false once it has ended.
  bool Post(uint32_t message, uintptr_t wParam = 0, std::any data = {});

  // Closes the channel; runs on the channel thread, or on the worker when
  // its set-up fails. Returns 0.
  int CloseTunnelChannel();

  // What the timers and the reconnect logic hold, read on the channel
  // thread once it is idle: every message posted before this call, and
  // every timer due by then, has been handled.
  struct TimerView {
    uint32_t reconnectPeriodMs = 0;  // 0: not running
    uint32_t reconnectCount = 0;
    bool rekeyRunning = false;
    bool agingRunning = false;
    bool opened = false;
    bool workerRunning = false;
  };
  TimerView Inspect();

 private:
  void ChannelMessageThread();
  bool HandleMessage(platform::Message& msg);  // false on exit
  void AnswerInspects(bool ending);

  void OnOpen(platform::Message& msg);
  void OnClose();
  void OnReopen();
  void OnReopenResult(int result);
  void OnChannelError(uint32_t code);
  void OnTimer(uintptr_t id);
  void OnRekey();
  void OnOpened();
  void OnNewPassword(platform::Message& msg);
  void OnSmsAuth(platform::Message& msg);
  void OnSmsAuthReq();
  void OnExit();

  int OpenChannel(const conn_info* info);
  int ReopenChannel(const conn_info* info);
  void OpenChannelThread(const std::optional<conn_info>& info, uint64_t closeEpoch);
  void ReopenChannelThread(uint64_t generation);

  // Joins the previous (finished) worker and starts body on a new one; body
  // gets the worker's generation, which it posts with its result.
  void StartWorker(std::function<void(uint64_t generation)> body);
  // True for a reopen result posted by the worker that was neither replaced
  // nor cancelled since: after a close or error a late result means nothing.
  bool FromCurrentWorker(const platform::Message& msg) const;
  void ResetCancelUnlessExiting();
  void JoinFinishedWorker();
  void CancelAndJoinWorker();
  bool WorkerRunning() const { return workerRunning_.load(); }

  void SetChannelTimer(uintptr_t& id, uint32_t periodMs);
  void KillChannelTimer(uintptr_t& id);
  void PauseAutoConnectTimer();
  void StopAutoConnectTimer();
  void ClearNewServerCert();
  conn_info ChannelCopy() const;

  ChannelContext& ctx_;
  ChannelOps& ops_;
  GuiReports& gui_;
  platform::MessageQueue queue_;
  std::thread thread_;

  // Locals of the channel thread.
  uintptr_t reconnectTimer_ = 0;
  uint32_t reconnectPeriodMs_ = 0;
  uint32_t reconnectCount_ = 0;
  uintptr_t rekeyTimer_ = 0;
  uintptr_t agingTimer_ = 0;
  bool opened_ = false;
  std::vector<std::any> pendingInspects_;

  // The record of the last accepted open (read by the reconnect rules).
  mutable std::mutex copyMutex_;
  conn_info channelCopy_;

  // The one open or reopen worker.
  std::thread worker_;
  std::atomic<bool> workerRunning_{false};
  uint64_t workerGeneration_ = 0;  // channel thread only
  uint64_t closeEpoch_ = 0;        // channel thread only: closes and exit so far
  // Set to cancel a running set-up; reset before the next one starts.
  platform::Event cancel_{platform::Event::Reset::Manual};
  std::atomic<bool> exiting_{false};
  // Orders RequestExit's cancel against the resets before a new set-up.
  std::mutex cancelMutex_;

  // Serialises the close sequence between the channel thread and a worker.
  std::mutex closeMutex_;
};

}  // namespace brindleway
