// SMS Auth (dialog 145): the one-time code the gateway sent to the user's
// phone, typed and verified, or a new one asked for once the 60-second
// count-down on Reapply has run.
//
// The dialog lives on the UI thread; the tunnel service's answers reach it
// as posted steps (CSmsAuth::ProcessBrindlewayCommand), so a 30-second wait
// for an answer is a state of the dialog with a timer, never a blocked
// thread. While either wait runs, Verify and Reapply stay disabled; the
// count-down keeps counting.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync/message_queue.h"
#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_SMS_AUTH = 145;
inline constexpr int IDC_SMS_NOTICE = 1061;
inline constexpr int IDC_SMS_CODE = 1059;
inline constexpr int IDC_SMS_HELP_TOGGLE = 1063;
inline constexpr int IDC_SMS_HELP_TEXT = 1064;
inline constexpr int IDC_SMS_MORE_HELP = 1065;
inline constexpr int IDC_SMS_WRONG_CODE = 1066;
inline constexpr int IDC_SMS_REAPPLY = 1067;

// Timer 20 ticks the count-down; the wait for an answer has its own.
inline constexpr uint32_t kSmsCountDownTimer = 20;
inline constexpr uint32_t kSmsAnswerTimer = 21;
inline constexpr int kSmsCountDownStart = 60;
inline constexpr uint32_t kSmsAnswerWaitMs = 30000;
inline constexpr size_t kSmsCodeChars = 8;

// Messages to the dialog: close with the login dialog idle again (the
// service gave up waiting), one step of the service, a fresh exchange.
inline constexpr uint32_t WM_SMS_CLOSE_IDLE = platform::WM_USER + 400;
inline constexpr uint32_t WM_SMS_STEP = platform::WM_USER + 401;
inline constexpr uint32_t WM_SMS_RESTART = platform::WM_USER + 402;

// Results it ends with besides a step's code.
inline constexpr int kSmsVerified = 1;
inline constexpr int kSmsCancelled = 2;
inline constexpr int kSmsReapplied = IDC_SMS_REAPPLY;

const platform::ui::DialogTemplate& SmsAuthTemplate();

class SmsAuthLogic : public platform::ui::DialogLogic {
 public:
  explicit SmsAuthLogic(ClientApp& app) : app_(app) {}

  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;

  // StartCountDownProc: one tick of timer 20.
  void StartCountDownProc(platform::ui::Dialog& d);
  int CountDown() const { return countDown_; }

 private:
  enum class Wait { None, Verify, Reapply };

  void Verify(platform::ui::Dialog& d);
  void Reapply(platform::ui::Dialog& d);
  void Cancel(platform::ui::Dialog& d);
  void ToggleHelp(platform::ui::Dialog& d);
  void Step(platform::ui::Dialog& d, uint32_t code);
  void VerifyOutcome(platform::ui::Dialog& d, uint32_t code);
  void ReapplyOutcome(platform::ui::Dialog& d, uint32_t code);
  void Restart(platform::ui::Dialog& d);
  void BeginWait(platform::ui::Dialog& d, Wait wait);
  void EndWait(platform::ui::Dialog& d);
  void ShowWrongCodeText(platform::ui::Dialog& d, uint32_t stringId);
  // The login dialog idle again, its password field emptied when asked.
  void LoginIdle(bool clearPassword);
  void Close(platform::ui::Dialog& d, int result);
  std::string ReapplyText(platform::ui::Dialog& d, int seconds) const;

  ClientApp& app_;
  int countDown_ = kSmsCountDownStart;
  Wait wait_ = Wait::None;
};

}  // namespace client
