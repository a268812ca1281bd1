// Channel thread messages and what each one does:
//   open      -> stop reconnecting, start OpenChannelThread (semaphore, state 2, SetupChannel)
//   opened    -> arm the rekey timer (protocol 2 and later)
//   close     -> cancel and join a running set-up, close the channel, stop every timer
//   error     -> close; 79/80 go to the client application; else reconnect in 5 s
//                (USB-key-only logins only after a keep-alive time-out)
//   reopen    -> start ReopenChannelThread (state 3, pause, SetupChannel with reconnect)
//   reopen result -> stop reconnecting on success, expiry or SMS; else retry every 60 s
//   rekey     -> SetupChannel with rekey on this thread; age the old key for 30 s
//   exit      -> close and end the thread
#include "Brindleway/service/channel_thread.h"

#include <future>
#include <optional>
#include <memory>

#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "support/log.h"

namespace brindleway {
namespace {

// Answers Inspect(); outside the system's own message range.
constexpr uint32_t kInspectMessage = platform::WM_USER + 0x7F;

using InspectPromise = std::shared_ptr<std::promise<ChannelThread::TimerView>>;

}  // namespace

ChannelThread::ChannelThread(ChannelContext& context, ChannelOps& ops, GuiReports& gui,
                             platform::Clock& clock)
    : ctx_(context), ops_(ops), gui_(gui), queue_(clock) {}

ChannelThread::~ChannelThread() {
  if (thread_.joinable()) {
    RequestExit();
    Join();
  }
}

void ChannelThread::Start() {
  thread_ = std::thread([this] { ChannelMessageThread(); });
}

void ChannelThread::RequestExit() {
  {
    std::lock_guard<std::mutex> lock(cancelMutex_);
    exiting_ = true;
    cancel_.Set();
  }
  Post(WM_CHANNEL_EXIT);
}

void ChannelThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool ChannelThread::Post(uint32_t message, uintptr_t wParam, std::any data) {
  return queue_.Post(message, wParam, 0, std::move(data));
}

ChannelThread::TimerView ChannelThread::Inspect() {
  auto promise = std::make_shared<std::promise<TimerView>>();
  auto future = promise->get_future();
  if (!Post(kInspectMessage, 0, InspectPromise(promise))) return {};
  return future.get();
}

void ChannelThread::ChannelMessageThread() {
  for (;;) {
    platform::Message msg = queue_.Get();
    bool goOn = true;
    try {
      goOn = HandleMessage(msg);
    } catch (...) {
      LogPrint(LOG_ERR, "ChannelMessageThread has exception\n");
      // The exit message ends the thread even when its handling failed.
      goOn = msg.message != WM_CHANNEL_EXIT;
    }
    AnswerInspects(!goOn);
    if (!goOn) break;
  }
  // Nothing posted after the exit message is handled; a waiting Inspect()
  // still gets its answer.
  queue_.Close();
  for (platform::Message rest; queue_.GetFor(rest, 0);)
    if (rest.message == kInspectMessage) pendingInspects_.push_back(std::move(rest.data));
  AnswerInspects(true);
}

bool ChannelThread::HandleMessage(platform::Message& msg) {
  switch (msg.message) {
    case WM_CHANNEL_OPEN: OnOpen(msg); break;
    case WM_CHANNEL_CLOSE: OnClose(); break;
    case WM_CHANNEL_REOPEN: OnReopen(); break;
    case WM_CHANNEL_ERROR: OnChannelError(static_cast<uint32_t>(msg.wParam)); break;
    case WM_CHANNEL_EXIT: OnExit(); return false;
    case WM_CHANNEL_REKEY: OnRekey(); break;
    case WM_CHANNEL_OPENED:
      if (const uint64_t* epoch = std::any_cast<uint64_t>(&msg.data); epoch && *epoch == closeEpoch_) OnOpened();
      break;
    case WM_CHANNEL_HOST_CHECK: ops_.StartHostCheckOnce(); break;
    case WM_CHANNEL_NEW_PASSWORD: OnNewPassword(msg); break;
    case WM_CHANNEL_SMS_AUTH: OnSmsAuth(msg); break;
    case WM_CHANNEL_SMS_AUTH_REQ: OnSmsAuthReq(); break;
    case WM_CHANNEL_REOPEN_RESULT:
      if (FromCurrentWorker(msg)) OnReopenResult(static_cast<int>(static_cast<intptr_t>(msg.wParam)));
      break;
    case platform::WM_TIMER: OnTimer(msg.wParam); break;
    case kInspectMessage:
      pendingInspects_.push_back(std::any_cast<InspectPromise&>(msg.data));
      break;
    default:  // WM_QUIT and WM_CHANNEL_UNUSED included: the loop goes on
      break;
  }
  return true;
}

void ChannelThread::AnswerInspects(bool ending) {
  // Answered once everything posted and every due timer has been handled.
  if (pendingInspects_.empty() || (!ending && !queue_.Idle())) return;
  TimerView view;
  view.reconnectPeriodMs = reconnectTimer_ != 0 ? reconnectPeriodMs_ : 0;
  view.reconnectCount = reconnectCount_;
  view.rekeyRunning = rekeyTimer_ != 0;
  view.agingRunning = agingTimer_ != 0;
  view.opened = opened_;
  view.workerRunning = WorkerRunning();
  for (auto& promise : pendingInspects_) std::any_cast<InspectPromise&>(promise)->set_value(view);
  pendingInspects_.clear();
}

// ---- open ----

void ChannelThread::OnOpen(platform::Message& msg) {
  LogPrint(LOG_DEBUG, "Handle channel open message\n");
  if (WorkerRunning()) {
    // A set-up runs: refuse without touching the record it reads.
    LogPrint(LOG_ERR, "There still exists one open SSL channel\n");
    gui_.NotifyGuiEvent(VQ_ERR_CHANNEL_BUSY);
    return;
  }
  StopAutoConnectTimer();
  std::optional<conn_info> record;
  if (const conn_info* sent = std::any_cast<conn_info>(&msg.data)) record = *sent;
  // An open that succeeds counts unless the user closes the channel first.
  const uint64_t epoch = closeEpoch_;
  StartWorker([this, record = std::move(record), epoch](uint64_t) { OpenChannelThread(record, epoch); });
}

void ChannelThread::OpenChannelThread(const std::optional<conn_info>& info, uint64_t closeEpoch) {
  LogPrint(LOG_DEBUG, "Begin OpenChannelThread\n");
  if (OpenChannel(info ? &*info : nullptr) == 0) Post(WM_CHANNEL_OPENED, 0, closeEpoch);
  LogPrint(LOG_DEBUG, "End OpenChannelThread\n");
}

int ChannelThread::OpenChannel(const conn_info* info) {
  DebugTrace(TRACE_SETUP, "Starting OpenChannelThread...\n");
  if (info == nullptr) return -1;
  LogPrint(LOG_INFO, "Open SSL channel\n");
  if (!ctx_.semaphore.TryAcquire()) {
    LogPrint(LOG_ERR, "There still exists one open SSL channel\n");
    gui_.NotifyGuiEvent(VQ_ERR_CHANNEL_BUSY);
    return VQ_ERR_CHANNEL_BUSY;
  }
  // Accepted: from now on this is the channel's record.
  {
    std::lock_guard<std::mutex> lock(copyMutex_);
    channelCopy_ = *info;
  }
  ctx_.connInfo.Set(*info);
  ctx_.channelState = CHANNEL_STATE_CONNECTING;
  return ops_.SetupChannel(*info, 0, 0, cancel_);
}

void ChannelThread::OnOpened() {
  opened_ = true;
  if (IsProtocolV2OrLater()) {
    KillChannelTimer(rekeyTimer_);
    SetChannelTimer(rekeyTimer_, kRekeyPeriodMs);
  }
}

// ---- reopen ----

void ChannelThread::OnReopen() {
  if (!opened_) return;
  if (WorkerRunning()) {
    // An open started in the meantime; it decides what comes next.
    LogPrint(LOG_DEBUG, "Handle channel reopen message\n");
    return;
  }
  PauseAutoConnectTimer();
  ctx_.smsNeeded = 0;
  LogPrint(LOG_DEBUG, "Handle channel reopen message\n");
  LogPrint(LOG_INFO, "Auto reconnecting %d times...\n", reconnectCount_);
  ClearNewServerCert();
  StartWorker([this](uint64_t generation) { ReopenChannelThread(generation); });
}

void ChannelThread::ReopenChannelThread(uint64_t generation) {
  LogPrint(LOG_DEBUG, "Begin ReopenChannelThread\n");
  const conn_info info = ctx_.connInfo.Get();
  const int result = ReopenChannel(&info);
  LogPrint(LOG_DEBUG, "End ReopenChannelThread\n");
  Post(WM_CHANNEL_REOPEN_RESULT, static_cast<uintptr_t>(static_cast<intptr_t>(result)), generation);
}

int ChannelThread::ReopenChannel(const conn_info* info) {
  if (info == nullptr) return -1;
  LogPrint(LOG_INFO, "Reopen SSL channel\n");
  if (!ctx_.semaphore.TryAcquire()) {
    LogPrint(LOG_ERR, "There still exists one open SSL channel\n");
    return VQ_ERR_CHANNEL_BUSY;
  }
  ctx_.channelState = CHANNEL_STATE_RECONNECTING;
  if (!queue_.clock().SleepFor(kReopenPauseMs, &cancel_)) {
    // Cancelled while pausing: give the channel back.
    CloseTunnelChannel();
    return -1;
  }
  return ops_.SetupChannel(*info, 1, 0, cancel_);
}

void ChannelThread::OnReopenResult(int result) {
  if (result == 0) {
    LogPrint(LOG_INFO, "ReopenChannel OK\n");
    StopAutoConnectTimer();
    if (IsProtocolV2OrLater()) {
      KillChannelTimer(rekeyTimer_);
      SetChannelTimer(rekeyTimer_, kRekeyPeriodMs);
    }
  } else if (result == static_cast<int>(VQ_ERR_SESSION_EXPIRED)) {
    LogPrint(LOG_INFO, "Sessinon expired, disable reconnect timer...\n");
    StopAutoConnectTimer();
  } else if (ctx_.smsNeeded != 0) {
    LogPrint(LOG_INFO, "Need sms-auth, disable reconnect timer...\n");
    StopAutoConnectTimer();
  } else if (reconnectCount_ != 0) {
    KillChannelTimer(reconnectTimer_);
    SetChannelTimer(reconnectTimer_, kReconnectRetryPeriodMs);
    reconnectPeriodMs_ = kReconnectRetryPeriodMs;
  }
}

// ---- close and errors ----

void ChannelThread::OnClose() {
  ++closeEpoch_;
  CancelAndJoinWorker();
  LogPrint(LOG_DEBUG, "Handle channel close message\n");
  StopAutoConnectTimer();
  CloseTunnelChannel();
  KillChannelTimer(rekeyTimer_);
  KillChannelTimer(agingTimer_);
  opened_ = false;
}

int ChannelThread::CloseTunnelChannel() {
  std::lock_guard<std::mutex> lock(closeMutex_);
  ctx_.channelState = CHANNEL_STATE_CLOSING;
  LogPrint(LOG_INFO, "Close SSL channel\n");
  ops_.CloseChannelSequence();
  if (uint32_t error = ctx_.semaphore.Release(); error != 0)
    LogPrint(LOG_ERR, "ReleaseSemaphore error: %d\n", error);
  ctx_.channelState = CHANNEL_STATE_IDLE;
  ops_.StopHostCheckCycle();
  return 0;
}

void ChannelThread::OnChannelError(uint32_t code) {
  // The set-up that may still run uses what the close tears down.
  CancelAndJoinWorker();
  LogPrint(LOG_ERR, "Handle channel error message : %d\n", code);
  CloseTunnelChannel();
  KillChannelTimer(rekeyTimer_);
  KillChannelTimer(agingTimer_);

  if (code == VQ_ERR_LOGGED_IN_ELSEWHERE || code == VQ_ERR_FORCED_OFF) {
    gui_.NotifyGuiEvent(code);
    StopAutoConnectTimer();
    return;
  }
  const uint32_t authType = ChannelCopy().auth_type;
  DebugTrace(TRACE_SETUP, "Tamblin said: in WM_CHANNEL_ERROR auth_type = %d\n", authType);
  if (authType == AUTH_TYPE_USB_KEY_ONLY && code != VQ_ERR_KEEPALIVE_TIMEOUT) {
    StopAutoConnectTimer();
    return;
  }
  ClearNewServerCert();
  KillChannelTimer(reconnectTimer_);
  SetChannelTimer(reconnectTimer_, kReconnectFirstPeriodMs);
  reconnectPeriodMs_ = kReconnectFirstPeriodMs;
}

// ---- timers ----

void ChannelThread::OnTimer(uintptr_t id) {
  if (id == 0) return;
  if (id == reconnectTimer_) {
    ++reconnectCount_;
    if (reconnectCount_ > kUsbKeyOnlyMaxReconnects &&
        (ctx_.connInfo.Get().init & CONN_FLAG_AUTO_LOGON) == 0) {
      const uint32_t authType = ChannelCopy().auth_type;
      LogPrint(LOG_INFO, "Tamblin said: in reconnect time auth_type = %d\n", authType);
      if (authType == AUTH_TYPE_USB_KEY_ONLY) {
        StopAutoConnectTimer();
        return;
      }
    }
    Post(WM_CHANNEL_REOPEN);
  } else if (id == rekeyTimer_) {
    Post(WM_CHANNEL_REKEY);
  } else if (id == agingTimer_) {
    ops_.RemoveAgingPeer();
    KillChannelTimer(agingTimer_);
  }
}

void ChannelThread::OnRekey() {
  LogPrint(LOG_DEBUG, "Handle channel rekey message\n");
  ClearNewServerCert();
  int result = -1;
  if (ctx_.channelState == CHANNEL_STATE_CONNECTED) {
    ResetCancelUnlessExiting();
    result = ops_.SetupChannel(ctx_.connInfo.Get(), 1, 1, cancel_);
    if (result == 0) {
      LogPrint(LOG_INFO, "RekeyChannel OK\n");
      KillChannelTimer(agingTimer_);
      SetChannelTimer(agingTimer_, kAgingPeriodMs);
      return;
    }
  }
  KillChannelTimer(rekeyTimer_);
  Post(WM_CHANNEL_ERROR, VQ_ERR_REKEY_FAILED);
}

// ---- requests passed on to the session ----

void ChannelThread::OnNewPassword(platform::Message& msg) {
  LogPrint(LOG_DEBUG, "Handle channel new password message\n");
  const change_pwd_info* record = std::any_cast<change_pwd_info>(&msg.data);
  if (record == nullptr) return;
  const int result = ops_.SendChangePassword(*record);
  if (result == 0) {
    // The gateway takes only the new password from now on: the next
    // reopen or rekey logs in with it.
    ctx_.connInfo.Update([&](conn_info& info) {
      if (info.auth_type == AUTH_TYPE_PASSWORD && info.user == record->user) info.secret1 = record->new_password;
    });
    gui_.NotifyGuiPasswordResult(VQ_EVT_PASSWORD_CHANGED);
  } else {
    LogPrint(LOG_ERR, "Handle channel new password error message :%d\n", result);
    gui_.NotifyGuiPasswordResult(static_cast<uint32_t>(result));
  }
}

void ChannelThread::OnSmsAuth(platform::Message& msg) {
  try {
    LogPrint(LOG_INFO, "Receive WM_CHANNEL_SMS_AUTH command\n");
    const std::string* code = std::any_cast<std::string>(&msg.data);
    ops_.SendSmsAuthCodeToServer(code ? *code : std::string());
  } catch (...) {
    LogPrint(LOG_ERR, "Tamblin said : OMG~ WM_CHANNEL_SMS_AUTH occur an exception ...\n");
  }
}

void ChannelThread::OnSmsAuthReq() {
  try {
    ops_.ReqSmsAuthCode();
  } catch (...) {
    LogPrint(LOG_ERR, "Tamblin said : OMG~ WM_CHANNEL_SMS_AUTH_REQ occur an exception ...\n");
  }
}

void ChannelThread::OnExit() {
  LogPrint(LOG_DEBUG, "Handle channel exit message\n");
  {
    std::lock_guard<std::mutex> lock(cancelMutex_);
    exiting_ = true;
  }
  ++closeEpoch_;
  CancelAndJoinWorker();
  StopAutoConnectTimer();
  CloseTunnelChannel();
  KillChannelTimer(rekeyTimer_);
  KillChannelTimer(agingTimer_);
}

// ---- worker and timer helpers ----

void ChannelThread::StartWorker(std::function<void(uint64_t generation)> body) {
  JoinFinishedWorker();
  ResetCancelUnlessExiting();
  const uint64_t generation = ++workerGeneration_;
  workerRunning_ = true;
  try {
    worker_ = std::thread([this, body = std::move(body), generation] {
      try {
        body(generation);
      } catch (...) {
        LogPrint(LOG_ERR, "Channel worker thread has exception\n");
      }
      workerRunning_ = false;
    });
  } catch (...) {
    workerRunning_ = false;
    throw;
  }
}

bool ChannelThread::FromCurrentWorker(const platform::Message& msg) const {
  // Bumped by every start and every cancel of a worker.
  const uint64_t* generation = std::any_cast<uint64_t>(&msg.data);
  return generation != nullptr && *generation == workerGeneration_;
}

void ChannelThread::ResetCancelUnlessExiting() {
  std::lock_guard<std::mutex> lock(cancelMutex_);
  if (!exiting_) cancel_.Reset();
}

void ChannelThread::JoinFinishedWorker() {
  if (worker_.joinable()) worker_.join();
}

void ChannelThread::CancelAndJoinWorker() {
  // A reopen result still queued no longer counts, even when its worker
  // finished just before.
  ++workerGeneration_;
  if (!worker_.joinable()) return;
  if (WorkerRunning()) cancel_.Set();
  worker_.join();
  ResetCancelUnlessExiting();
}

void ChannelThread::SetChannelTimer(uintptr_t& id, uint32_t periodMs) { id = queue_.SetTimer(periodMs); }

void ChannelThread::KillChannelTimer(uintptr_t& id) {
  if (id != 0) {
    queue_.KillTimer(id);
    id = 0;
  }
}

void ChannelThread::PauseAutoConnectTimer() {
  LogPrint(LOG_DEBUG, "Pause auto connect timer\n");
  KillChannelTimer(reconnectTimer_);
}

void ChannelThread::StopAutoConnectTimer() {
  LogPrint(LOG_DEBUG, "Stop auto connect timer\n");
  KillChannelTimer(reconnectTimer_);
  reconnectCount_ = 0;
}

void ChannelThread::ClearNewServerCert() {
  ctx_.connInfo.Update([](conn_info& info) { info.init &= ~CONN_FLAG_NEW_SERVER_CERT; });
}

conn_info ChannelThread::ChannelCopy() const {
  std::lock_guard<std::mutex> lock(copyMutex_);
  return channelCopy_;
}

}  // namespace brindleway
