// SMS authentication. When the gateway's login asks for an SMS code, the
// set-up's worker thread runs one exchange (Exchange):
//   1. open a fresh exchange on the session: completion and last result
//      cleared, no command of the client application accepted yet;
//   2. ask the gateway to send a code (first request); a failure ends it;
//   3. report 26: the client application opens its SMS dialog;
//   4. wait, at most 10 minutes, until a code was accepted (0), refused for
//      good, or a resend failed; a close of the channel ends the wait at
//      once. The exchange is closed again before the wait returns.
// Meanwhile the channel thread turns the user's VQ_SMS_AUTH and
// VQ_SMS_AUTH_REQ into SendSmsAuthCodeToServer and ReqSmsAuthCode(0); both
// are refused while no exchange is open, so a stray command can neither
// reach the gateway nor end a later exchange. Every step is reported to the
// client application as VQ_SMS_EVENT.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace brindleway {

class CChannelSession;

// VQ_SMS_EVENT step codes; the gateway's refusals are 1024 to 1028, any
// other nonzero code is a failed request.
inline constexpr uint32_t VQ_SMS_ACCEPTED = 25;
inline constexpr uint32_t VQ_SMS_SHOW_DIALOG = 26;
inline constexpr uint32_t VQ_SMS_RESENT = 27;
inline constexpr uint32_t VQ_SMS_WRONG_CODE = 1028;
inline constexpr uint32_t VQ_SMS_NO_INPUT = 1030;

// How long the user has to enter a code.
inline constexpr int64_t kSmsWaitMs = 600000;

class CSmsAuthData {
 public:
  // notify sends one VQ_SMS_EVENT (null: to the client application's pipe).
  // The ten-minute wait runs on clock.
  explicit CSmsAuthData(std::function<void(uint32_t step)> notify = {},
                        platform::Clock& clock = platform::SystemClock());
  ~CSmsAuthData();
  CSmsAuthData(const CSmsAuthData&) = delete;
  CSmsAuthData& operator=(const CSmsAuthData&) = delete;

  // The whole exchange on the set-up's thread. 0 once the gateway took a
  // code; else the code that ends the set-up (the first request's failure,
  // a refusal, 1030 for no input in time, -1 when the channel was closed).
  int Exchange(CChannelSession& session);

  // Remembers the session of the requests; 0.
  int SetSmsSession(CChannelSession* session);
  // first: the exchange's own request, nothing reported. Else the user's
  // resend: 27 when sent, or the failure reported, which also ends the
  // wait; refused (-1) while no exchange is open. Returns the result.
  int ReqSmsAuthCode(int first);
  // Sends the user's code: 25 and the end of the wait when accepted; 1028
  // (wrong code) keeps the wait going; any other result is reported and
  // ends it. 0 when the code went through this path, -1 when refused
  // because no exchange is open.
  int SendSmsAuthCodeToServer(const std::string& code);
  // show nonzero: reports 26. 0.
  int ShowSmsDialog(int show);
  void NotifySmsEvent(uint32_t code);
  static int MapSmsStatus(int32_t status);
  // Waits for the end of the exchange (see Exchange for the results) and
  // closes it.
  int WaitSmsAuthFinished();

 private:
  // Counts a channel-thread command in; false while no exchange is open.
  bool EnterCommand(CChannelSession*& session);
  void LeaveCommand();
  // Stops taking commands and waits for the one under way, so that the
  // session is left to the set-up alone.
  void CloseExchange();
  bool Cancelled();

  std::function<void(uint32_t)> notify_;
  platform::Clock& clock_;
  // Auto-reset: each signal ends exactly one wait.
  platform::Event completion_{platform::Event::Reset::Auto};
  // Written before completion_ is set, read after it was taken.
  std::atomic<int> lastResult_{0};

  std::mutex mutex_;
  std::condition_variable idle_;
  CChannelSession* session_ = nullptr;
  bool open_ = false;
  int commandsUnderWay_ = 0;
  // When the exchange opened the dialog (the wait counts from there).
  std::optional<int64_t> waitFromMs_;
};

}  // namespace brindleway
