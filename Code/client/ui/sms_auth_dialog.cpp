#include "client/ui/sms_auth_dialog.h"

#include <exception>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/sms_auth.h"
#include "client/ui/login_dialog.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/ui_language.h"

using namespace platform::ui;

namespace client {
namespace {

constexpr uint32_t IDS_MORE_HELP = 501;
constexpr uint32_t IDS_LESS_HELP = 502;
constexpr uint32_t IDS_REAPPLIED = 503;
constexpr uint32_t IDS_REAPPLY = 504;
constexpr uint32_t IDS_REQUIRED_FIELD = 1023;
constexpr uint32_t IDS_SMS_TIMEOUT = 1024;
constexpr uint32_t IDS_WRONG_AUTH_CODE = 1028;
constexpr int IDC_LOGIN_PASSWORD = 1002;

// Steps of the service (the event codes it reports).
constexpr uint32_t kSmsAccepted = 25;
constexpr uint32_t kSmsReappliedOk = 27;
constexpr uint32_t kSmsTimeout = 1024;
constexpr uint32_t kSmsReapplyLimit = 1025;
constexpr uint32_t kSmsDeviceError = 1027;
constexpr uint32_t kSmsWrongCode = 1028;

// Every handler of the dialog: an exception ends in the log, never in the
// host's loop.
template <typename F>
void Guarded(const char* name, F&& f) {
  try {
    f();
  } catch (const std::exception&) {
    LogPrint(LOG_ERR, "Tamblin said: CSmsAuth::%s has exception...\n", name);
  }
}

}  // namespace

const DialogTemplate& SmsAuthTemplate() {
  static const DialogTemplate templ(
      IDD_SMS_AUTH,
      {
          {.kind = ControlKind::Label, .row = 0, .col = 0},
          {.id = IDC_SMS_CODE, .kind = ControlKind::Edit, .row = 0, .col = 1, .colSpan = 2},
          {.id = IDC_SMS_WRONG_CODE, .kind = ControlKind::Label, .row = 1, .col = 0, .colSpan = 3},
          {.id = IDOK, .kind = ControlKind::Button, .row = 2, .col = 1, .style = kDefaultButton},
          {.id = IDCANCEL, .kind = ControlKind::Button, .row = 2, .col = 2},
          {.id = IDC_SMS_NOTICE, .kind = ControlKind::Label, .row = 3, .col = 0, .colSpan = 2},
          {.id = IDC_SMS_REAPPLY, .kind = ControlKind::Button, .row = 3, .col = 2},
          {.id = IDC_SMS_HELP_TOGGLE, .kind = ControlKind::Button, .row = 4, .col = 0},
          {.id = IDC_SMS_MORE_HELP, .kind = ControlKind::Button, .row = 4, .col = 1},
          {.id = IDC_SMS_HELP_TEXT, .kind = ControlKind::Label, .row = 5, .col = 0, .rowSpan = 2, .colSpan = 3, .style = kMultiLine},
      });
  return templ;
}

void SmsAuthLogic::OnInit(Dialog& d) {
  Guarded("ShowSmsAuthDialog", [&] {
    d.Enable(IDC_SMS_REAPPLY, false);
    d.SetTimer(kSmsCountDownTimer, 1000);
    d.SetVisible(IDC_SMS_WRONG_CODE, false);
    d.SetVisible(IDC_SMS_HELP_TEXT, false);
    d.SetText(IDC_SMS_HELP_TOGGLE, ">>>");
    d.SetLimit(IDC_SMS_CODE, kSmsCodeChars);
    d.SetFocus(IDC_SMS_CODE);
  });
}

void SmsAuthLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDOK: Verify(d); break;
    case IDCANCEL: Cancel(d); break;
    case IDC_SMS_REAPPLY: Reapply(d); break;
    case IDC_SMS_HELP_TOGGLE:
    case IDC_SMS_MORE_HELP: ToggleHelp(d); break;
    default: break;
  }
}

void SmsAuthLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kSmsCountDownTimer) {
    StartCountDownProc(d);
  } else if (id == kSmsAnswerTimer && wait_ != Wait::None) {
    EndWait(d);
    ShowWrongCodeText(d, IDS_SMS_TIMEOUT);
  }
}

intptr_t SmsAuthLogic::OnMessage(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t) {
  switch (message) {
    case WM_SMS_CLOSE_IDLE:
      LoginIdle(false);
      Close(d, 0);
      return 1;
    case WM_SMS_STEP:
      Guarded("ProcessBrindlewayCommand", [&] { Step(d, static_cast<uint32_t>(wParam)); });
      return 1;
    case WM_SMS_RESTART:
      Restart(d);
      return 1;
    default:
      return 0;
  }
}

void SmsAuthLogic::StartCountDownProc(Dialog& d) {
  Guarded("StartCountDownProc", [&] {
    const int taken = countDown_--;
    if (taken < 1) {
      countDown_ = kSmsCountDownStart;
      d.KillTimer(kSmsCountDownTimer);
      d.SetText(IDC_SMS_REAPPLY, app_.Host().LoadString(IDS_REAPPLY));
      // A wait that runs keeps the button off; its end decides.
      if (wait_ == Wait::None) d.Enable(IDC_SMS_REAPPLY, true);
      return;
    }
    d.SetText(IDC_SMS_REAPPLY, ReapplyText(d, countDown_));
  });
}

std::string SmsAuthLogic::ReapplyText(Dialog&, int seconds) const {
  const std::string n = std::to_string(seconds);
  const std::string label = app_.Host().LoadString(IDS_REAPPLY);
  if (app_.UiLanguage() == LANGID_CHINESE_PRC) return label + "\xEF\xBC\x88" + n + "\xE7\xA7\x92\xEF\xBC\x89";
  return label + "(" + n + "s)";
}

void SmsAuthLogic::Verify(Dialog& d) {
  if (wait_ != Wait::None) return;
  const std::string code = d.Text(IDC_SMS_CODE);
  if (code.empty()) {
    ShowWrongCodeText(d, IDS_REQUIRED_FIELD);
    d.SetFocus(IDC_SMS_CODE);
    return;
  }
  d.SetVisible(IDC_SMS_WRONG_CODE, false);
  int sent = -1;
  Guarded("SendSmsAuthCodeToBrindleway", [&] { sent = CSmsAuth(app_).SendSmsAuthCodeToBrindleway(code); });
  // The service never got the code (its box is shown): nothing to wait
  // for, the user may try again.
  if (sent != 0) return;
  BeginWait(d, Wait::Verify);
}

void SmsAuthLogic::Reapply(Dialog& d) {
  if (wait_ != Wait::None) return;
  d.Enable(IDC_SMS_REAPPLY, false);
  d.SetTimer(kSmsCountDownTimer, 1000);
  int sent = -1;
  Guarded("ApplySmsAuthCode", [&] { sent = CSmsAuth(app_).ApplySmsAuthCode(); });
  if (sent != 0) return;
  BeginWait(d, Wait::Reapply);
}

void SmsAuthLogic::Cancel(Dialog& d) {
  LoginIdle(false);
  Close(d, kSmsCancelled);
  app_.Link().SendDisconnectCommand();
}

void SmsAuthLogic::ToggleHelp(Dialog& d) {
  const bool show = !d.IsVisible(IDC_SMS_HELP_TEXT);
  d.SetText(IDC_SMS_HELP_TOGGLE, show ? "<<<" : ">>>");
  d.SetText(IDC_SMS_MORE_HELP, app_.Host().LoadString(show ? IDS_LESS_HELP : IDS_MORE_HELP));
  d.SetVisible(IDC_SMS_HELP_TEXT, show);
}

void SmsAuthLogic::Step(Dialog& d, uint32_t code) {
  // A step nobody waits for is dropped, as the next Verify or Reapply
  // would have reset the event it set.
  switch (wait_) {
    case Wait::Verify:
      // 27 answers only a request for a new code.
      if (code != kSmsReappliedOk) VerifyOutcome(d, code);
      break;
    case Wait::Reapply:
      // A wrong code answers only a Verify.
      if (code != kSmsWrongCode) ReapplyOutcome(d, code);
      break;
    case Wait::None:
      LogPrint(LOG_DEBUG, "Sms step %d without a waiting request, dropped\n", static_cast<int>(code));
      break;
  }
}

void SmsAuthLogic::VerifyOutcome(Dialog& d, uint32_t code) {
  EndWait(d);
  if (code == kSmsAccepted) {
    Close(d, kSmsVerified);
  } else if (code >= kSmsTimeout && code <= kSmsDeviceError) {
    LogPrint(LOG_DEBUG, "Tamblin said: sms auth error %d\n", static_cast<int>(code));
    Close(d, kSmsVerified);
    LoginIdle(true);
  } else if (code == kSmsWrongCode) {
    ShowWrongCodeText(d, IDS_WRONG_AUTH_CODE);
    d.SetText(IDC_SMS_CODE, "");
    d.SetFocus(IDC_SMS_CODE);
  } else {
    LoginIdle(false);
    Close(d, static_cast<int>(code & 0xFFFF));
  }
}

void SmsAuthLogic::ReapplyOutcome(Dialog& d, uint32_t code) {
  EndWait(d);
  LogPrint(LOG_ERR, "Tamblin said: sms auth reapply error %d\n", static_cast<int>(code));
  if (code == kSmsReappliedOk) {
    ShowWrongCodeText(d, IDS_REAPPLIED);
    return;
  }
  if (code == kSmsReapplyLimit) {
    LoginIdle(true);
    Close(d, kSmsReapplied);
  } else if (code == kSmsDeviceError) {
    LoginIdle(false);
    Close(d, kSmsReapplied);
  } else {
    LoginIdle(false);
    Close(d, static_cast<int>(code & 0xFFFF));
  }
}

void SmsAuthLogic::Restart(Dialog& d) {
  if (wait_ != Wait::None) EndWait(d);
  countDown_ = kSmsCountDownStart;
  d.SetText(IDC_SMS_CODE, "");
  d.SetVisible(IDC_SMS_WRONG_CODE, false);
  d.SetText(IDC_SMS_REAPPLY, app_.Host().LoadString(IDS_REAPPLY));
  d.Enable(IDC_SMS_REAPPLY, false);
  d.SetTimer(kSmsCountDownTimer, 1000);
  d.SetFocus(IDC_SMS_CODE);
}

void SmsAuthLogic::BeginWait(Dialog& d, Wait wait) {
  wait_ = wait;
  d.Enable(IDOK, false);
  d.Enable(IDC_SMS_REAPPLY, false);
  d.SetTimer(kSmsAnswerTimer, kSmsAnswerWaitMs);
}

void SmsAuthLogic::EndWait(Dialog& d) {
  wait_ = Wait::None;
  d.KillTimer(kSmsAnswerTimer);
  d.Enable(IDOK, true);
  // Reapply comes back only once the count-down has run.
  d.Enable(IDC_SMS_REAPPLY, !d.HasTimer(kSmsCountDownTimer));
}

void SmsAuthLogic::ShowWrongCodeText(Dialog& d, uint32_t stringId) {
  d.SetText(IDC_SMS_WRONG_CODE, app_.Host().LoadString(stringId));
  d.SetVisible(IDC_SMS_WRONG_CODE, true);
}

void SmsAuthLogic::LoginIdle(bool clearPassword) {
  app_.Hooks().setLoginDialogIdle(app_, true);
  if (!clearPassword) return;
  if (Dialog* login = FindLoginDialog(app_.Host())) login->SetText(IDC_LOGIN_PASSWORD, "");
}

void SmsAuthLogic::Close(Dialog& d, int result) {
  d.KillTimer(kSmsCountDownTimer);
  d.KillTimer(kSmsAnswerTimer);
  countDown_ = kSmsCountDownStart;
  wait_ = Wait::None;
  d.EndDialog(result);
}

}  // namespace client
