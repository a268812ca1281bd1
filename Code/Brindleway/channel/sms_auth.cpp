#include "Brindleway/channel/sms_auth.h"

#include "Brindleway/common/constants.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/negotiation_requests.h"
#include "Brindleway/control/sms_status.h"
#include "support/log.h"

namespace brindleway {
namespace {

// How often the wait looks at the clock and at a close of the channel.
constexpr int kWaitSliceMs = 50;

}  // namespace

CSmsAuthData::CSmsAuthData(std::function<void(uint32_t)> notify, platform::Clock& clock)
    : notify_(std::move(notify)), clock_(clock) {
  if (!notify_) notify_ = [](uint32_t step) { NotifyGuiSmsEvent(step); };
}

CSmsAuthData::~CSmsAuthData() { CloseExchange(); }

int CSmsAuthData::SetSmsSession(CChannelSession* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  session_ = session;
  return 0;
}

int CSmsAuthData::Exchange(CChannelSession& session) {
  // Whatever an earlier exchange left behind must not decide this one.
  CloseExchange();
  completion_.Reset();
  lastResult_ = 0;
  SetSmsSession(&session);

  if (const int r = ReqSmsAuthCode(1); r != 0) {
    LogPrint(LOG_ERR, "ReqSmsAuthCode failed!");
    return r;
  }
  LogPrint(LOG_INFO, "ReqSmsAuthCode ok! ");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  // The user's ten minutes start when the dialog opens.
  waitFromMs_ = clock_.NowMs();
  ShowSmsDialog(1);
  return WaitSmsAuthFinished();
}

bool CSmsAuthData::EnterCommand(CChannelSession*& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ || session_ == nullptr) return false;
  session = session_;
  ++commandsUnderWay_;
  return true;
}

void CSmsAuthData::LeaveCommand() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--commandsUnderWay_ == 0) idle_.notify_all();
}

void CSmsAuthData::CloseExchange() {
  std::unique_lock<std::mutex> lock(mutex_);
  open_ = false;
  // A command under way ends within the request wait, or at once on a close.
  idle_.wait(lock, [this] { return commandsUnderWay_ == 0; });
}

bool CSmsAuthData::Cancelled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_ != nullptr && session_->Cancelled();
}

int CSmsAuthData::ReqSmsAuthCode(int first) {
  try {
    CChannelSession* session = nullptr;
    if (first != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      session = session_;
      if (session == nullptr) return -1;
    } else if (!EnterCommand(session)) {
      LogPrint(LOG_ERR, "No SMS authentication under way, code request refused\n");
      return -1;
    }
    struct Leave {
      CSmsAuthData* self;
      ~Leave() {
        if (self != nullptr) self->LeaveCommand();
      }
    } leave{first != 0 ? nullptr : this};

    const int result = RequestSmsCode(*session);
    lastResult_ = result;
    if (first == 0) {
      if (result != 0) {
        NotifySmsEvent(static_cast<uint32_t>(result));
        completion_.Set();
      } else {
        NotifySmsEvent(VQ_SMS_RESENT);
      }
    }
    return result;
  } catch (...) {
    LogPrint(LOG_ERR, "Tamblin said: CSmsAuthData::ReqSmsAuthCode has exception...\n");
    return -1;
  }
}

int CSmsAuthData::SendSmsAuthCodeToServer(const std::string& code) {
  try {
    CChannelSession* session = nullptr;
    if (!EnterCommand(session)) {
      LogPrint(LOG_ERR, "No SMS authentication under way, code refused\n");
      return -1;
    }
    struct Leave {
      CSmsAuthData* self;
      ~Leave() { self->LeaveCommand(); }
    } leave{this};

    int result = SendSmsCode(*session, code);
    // The request ends with 0 also when its wait was cut short; only the
    // gateway's acceptance counts as success.
    if (result == 0 && session->m_iState != NEG_STATE_AUTHENTICATED) result = VQ_ERR_SMS_REQUEST_FAILED;
    lastResult_ = result;
    NotifySmsEvent(result == 0 ? VQ_SMS_ACCEPTED : static_cast<uint32_t>(result));
    // A wrong code leaves the exchange open for another try.
    if (result != static_cast<int>(VQ_SMS_WRONG_CODE)) completion_.Set();
    return 0;
  } catch (...) {
    LogPrint(LOG_ERR, "Tamblin said: CSmsAuthData::SendSmsAuthCodeToServer has exception...\n");
    return -1;
  }
}

int CSmsAuthData::ShowSmsDialog(int show) {
  if (show != 0) NotifySmsEvent(VQ_SMS_SHOW_DIALOG);
  return 0;
}

void CSmsAuthData::NotifySmsEvent(uint32_t code) { notify_(code); }

int CSmsAuthData::MapSmsStatus(int32_t status) { return brindleway::MapSmsStatus(status); }

int CSmsAuthData::WaitSmsAuthFinished() {
  try {
    enum class End { Signalled, TimedOut, Cancelled };
    End end = End::TimedOut;
    const int64_t deadline = waitFromMs_.value_or(clock_.NowMs()) + kSmsWaitMs;
    waitFromMs_.reset();
    for (;;) {
      if (completion_.Wait(kWaitSliceMs)) {
        end = End::Signalled;
        break;
      }
      if (Cancelled()) {
        end = End::Cancelled;
        break;
      }
      if (clock_.NowMs() >= deadline) break;
    }
    CloseExchange();
    // A command that was under way when the wait ended has the last word.
    if (end != End::Signalled && completion_.Wait(0)) end = End::Signalled;

    switch (end) {
      case End::Signalled:
        LogPrint(LOG_INFO, "WaitSmsAuthFinished correct.....\n");
        return lastResult_;
      case End::TimedOut:
        LogPrint(LOG_ERR, "WaitSmsAuthFinished Timeout.....\n");
        NotifySmsEvent(VQ_SMS_NO_INPUT);
        return static_cast<int>(VQ_SMS_NO_INPUT);
      case End::Cancelled:
        LogPrint(LOG_ERR, "WaitSmsAuthFinished cancelled by a close\n");
        return -1;
    }
    return -1;
  } catch (...) {
    CloseExchange();
    LogPrint(LOG_ERR, "Tamblin said: CSmsAuthData::SendSmsAuthCodeToServer has exception...\n");
    return -1;
  }
}

}  // namespace brindleway
