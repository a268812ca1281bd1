#include "client/ui/change_password_dialog.h"

#include <fmt/printf.h>

#include "client/app/client_app.h"
#include "client/app/top_most_message.h"
#include "client/store/process_store.h"
#include "platform/ui/win32_ui.h"
#include "support/event_codes.h"
#include "support/log.h"
#include "support/text_convert.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& ChangePasswordTemplate() {
  static const DialogTemplate templ(
      IDD_CHANGE_PASSWORD,
      {
          {.kind = ControlKind::Label, .row = 0, .col = 0},
          {.id = IDC_CURRENT_USER, .kind = ControlKind::Label, .row = 0, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 1, .col = 0},
          {.id = IDC_CURRENT_PASSWORD, .kind = ControlKind::Edit, .row = 1, .col = 1, .colSpan = 2,
           .style = kPassword},
          {.kind = ControlKind::Label, .row = 2, .col = 0},
          {.id = IDC_NEW_PASSWORD, .kind = ControlKind::Edit, .row = 2, .col = 1, .colSpan = 2, .style = kPassword},
          {.kind = ControlKind::Label, .row = 3, .col = 0},
          {.id = IDC_CONFIRM_PASSWORD, .kind = ControlKind::Edit, .row = 3, .col = 1, .colSpan = 2,
           .style = kPassword},
          {.id = IDC_CHANGE_PASSWORD_OK, .kind = ControlKind::Button, .row = 4, .col = 1, .style = kDefaultButton},
          {.id = IDC_CHANGE_PASSWORD_CANCEL, .kind = ControlKind::Button, .row = 4, .col = 2},
      });
  return templ;
}

void ChangePasswordLogic::OnInit(Dialog& d) {
  d.SetText(IDC_CURRENT_USER, AnsiToUtf8(app_.GetConnUser()));
  for (int field : {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD}) d.SetLimit(field, kPasswordFieldUnits);
  d.SetFocus(IDC_CURRENT_PASSWORD);
}

void ChangePasswordLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_CHANGE_PASSWORD_OK:
      // One attempt at a time: the buttons stay grey while it waits.
      if (awaited_ == 0) Submit(d);
      break;
    case IDC_CHANGE_PASSWORD_CANCEL:
    case IDCANCEL:
      d.EndDialog(id);
      break;
    default:
      break;
  }
}

void ChangePasswordLogic::OnClose(Dialog& d) {
  if (awaited_ != 0) LogPrint(LOG_INFO, "Change password: stopped waiting for request %llu\n",
                              static_cast<unsigned long long>(awaited_));
  d.EndDialog(IDCANCEL);
}

void ChangePasswordLogic::SetButtons(Dialog& d, bool enabled) {
  d.Enable(IDC_CHANGE_PASSWORD_OK, enabled);
  d.Enable(IDC_CHANGE_PASSWORD_CANCEL, enabled);
}

void ChangePasswordLogic::Refuse(Dialog& d, BoxText text, int field) {
  ShowTopMostMessageFor(app_, IDD_CHANGE_PASSWORD, std::move(text), MB_ICONERROR);
  d.SetFocus(field);
}

void ChangePasswordLogic::Submit(Dialog& d) {
  SetButtons(d, false);
  UiHost& host = d.host();
  const std::string current = d.Text(IDC_CURRENT_PASSWORD);
  const std::string fresh = d.Text(IDC_NEW_PASSWORD);
  const std::string confirm = d.Text(IDC_CONFIRM_PASSWORD);
  const auto sent = [&]() -> bool {
    if (current.empty() || fresh.empty() || confirm.empty()) {
      Refuse(d, host.String(IDS_REQUIRED_FIELD), IDC_CURRENT_PASSWORD);
      return false;
    }
    if (fresh != confirm) {
      Refuse(d, host.String(IDS_PASSWORDS_DIFFER), IDC_CURRENT_PASSWORD);
      return false;
    }
    if (app_.Conn().auth_type == AUTH_TYPE_PASSWORD && fresh == current) {
      ShowTopMostMessageFor(app_, IDD_CHANGE_PASSWORD, host.String(IDS_PASSWORD_UNCHANGED), MB_ICONERROR);
      LogPrint(LOG_ERR, "New password doesnt change!\n");
      return false;
    }
    // The gateway would get "?" for what the code page lacks: a password
    // other than the one typed.
    for (const auto& [text, field, label] : {std::tuple{&current, IDC_CURRENT_PASSWORD, IDC_CURRENT_PASSWORD_LABEL},
                                             std::tuple{&fresh, IDC_NEW_PASSWORD, IDC_NEW_PASSWORD_LABEL}}) {
      ConvertReport report;
      Utf8ToAnsi(*text, &report);
      if (report.ok()) continue;
      LogPrint(LOG_ERR, "Change password: a password the code page cannot carry, not sent\n");
      Refuse(d, BoxText(fmt::sprintf(host.LoadString(IDS_PASSWORD_NOT_IN_CODE_PAGE), d.Text(label)),
                        IDS_PASSWORD_NOT_IN_CODE_PAGE),
             field);
      return false;
    }
    // Counted before the send: its answer may come before the send returns.
    const uint64_t request = app_.PasswordChanges().Arm();
    if (app_.Link().SendChangePasswordCommand(current, fresh) != 0) {
      app_.PasswordChanges().Disarm(request);
      return false;
    }
    awaited_ = request;
    newPassword_ = fresh;
    d.SetTimer(kPasswordWaitTimer, kPasswordWaitMs);
    return true;
  }();
  if (!sent) SetButtons(d, true);
}

void ChangePasswordLogic::EndWait(Dialog& d) {
  d.KillTimer(kPasswordWaitTimer);
  awaited_ = 0;
  SetButtons(d, true);
}

void ChangePasswordLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id != kPasswordWaitTimer || awaited_ == 0) return;
  EndWait(d);
  newPassword_.clear();
  ShowTopMostMessage(app_, d.host().String(IDS_CHANGE_PASSWORD_TIMEOUT), MB_ICONERROR);
  LogPrint(LOG_ERR, "Change PassWord Time out!\n");
  d.EndDialog(IDC_CHANGE_PASSWORD_OK);
}

intptr_t ChangePasswordLogic::OnMessage(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message != WM_PASSWORD_RESULT) return 0;
  const uint64_t request = wParam;
  const uint32_t code = static_cast<uint32_t>(lParam);
  if (awaited_ == 0 || request != awaited_) {
    LogPrint(LOG_ERR, "Change password result %d of an earlier request (%llu), dropped\n",
             static_cast<int32_t>(code), static_cast<unsigned long long>(request));
    return 0;
  }
  EndWait(d);
  Outcome(d, code);
  return 1;
}

void ChangePasswordLogic::Outcome(Dialog& d, uint32_t code) {
  UiHost& host = d.host();
  const std::string fresh = std::move(newPassword_);
  newPassword_.clear();
  if (code == kPasswordChanged) {
    ShowTopMostMessage(app_, host.String(IDS_CHANGE_PASSWORD_SUCCEEDED), MB_ICONINFORMATION);
    if (const std::optional<user_info> current = g_xmlConfig.GetCurrentUser()) {
      if (!g_xmlConfig.SetUserPassword(*current, fresh))
        LogPrint(LOG_ERR, "Change password: the saved connection keeps its old password\n");
    }
    LogPrint(LOG_INFO, "Change PassWord Success!\n");
    d.EndDialog(IDC_CHANGE_PASSWORD_OK);
    return;
  }
  if (code == kCurrentPasswordWrong) {
    Refuse(d, host.String(IDS_CURRENT_PASSWORD_ERROR), IDC_CURRENT_PASSWORD);
    LogPrint(LOG_ERR, "Wrong Current Password!\n");
    return;
  }
  // Only codes of the event space have their string; an empty box would
  // tell the user nothing.
  const int32_t signedCode = static_cast<int32_t>(code);
  BoxText text = IsKnownEventCode(signedCode) && signedCode >= 0 ? host.String(code) : BoxText();
  if (text.text.empty()) {
    text = BoxText(fmt::sprintf("%s (%d)", host.LoadString(IDS_CHANGE_PASSWORD_FAILED), signedCode),
                   IDS_CHANGE_PASSWORD_FAILED);
  }
  LogPrint(LOG_ERR, "Change PassWord Failed, %s!\n", text.text.c_str());
  ShowTopMostMessage(app_, std::move(text), MB_ICONERROR);
  d.EndDialog(IDC_CHANGE_PASSWORD_OK);
}

Dialog* OpenChangePasswordDialog(ClientApp& app) {
  UiHost& host = app.Host();
  if (Dialog* open = host.FindDialog(IDD_CHANGE_PASSWORD)) {
    open->BringForward();
    return open;
  }
  return host.OpenDialog(ChangePasswordTemplate(), nullptr, std::make_unique<ChangePasswordLogic>(app),
                         Modality::Modal);
}

}  // namespace client
