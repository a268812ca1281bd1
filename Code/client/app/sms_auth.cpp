#include "client/app/sms_auth.h"

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/ui/login_dialog.h"
#include "client/ui/sms_auth_dialog.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

namespace client {
namespace {

constexpr uint32_t kSmsShowDialog = 26;
constexpr uint32_t kSmsReappliedOk = 27;
constexpr uint32_t kSmsReapplyLimit = 1025;
constexpr uint32_t kSmsDeviceError = 1027;
constexpr uint32_t kSmsWrongCode = 1028;
constexpr uint32_t kSmsNoInput = 1030;

}  // namespace

void CSmsAuth::ProcessBrindlewayCommand(uint32_t code) {
  switch (code) {
    case kSmsShowDialog: LogPrint(LOG_DEBUG, "ShowSmsAuthDialog................\n"); break;
    case kSmsReappliedOk:
    case kSmsReapplyLimit:
    case kSmsDeviceError: LogPrint(LOG_DEBUG, "VQ_ERR_SMS_REQ_OK................\n"); break;
    case kSmsWrongCode: LogPrint(LOG_ERR, "Ceritificate sms auth code error!\n"); break;
    default: break;
  }
  ClientApp* app = &app_;
  app_.Host().Post([app, code] { CSmsAuth(*app).OnStep(code); });
}

void CSmsAuth::OnStep(uint32_t code) {
  platform::ui::Dialog* d = app_.Host().FindDialog(IDD_SMS_AUTH);
  if (code == kSmsShowDialog) {
    ShowSmsAuthDialog();
    return;
  }
  if (d == nullptr) {
    LogPrint(LOG_DEBUG, "Sms step %d with no SMS dialog open, dropped\n", static_cast<int>(code));
    return;
  }
  d->SendMessage(code == kSmsNoInput ? WM_SMS_CLOSE_IDLE : WM_SMS_STEP, code);
}

int CSmsAuth::ShowSmsAuthDialog() {
  platform::ui::UiHost& host = app_.Host();
  // A second notice is a fresh exchange for the dialog that is open.
  if (platform::ui::Dialog* open = host.FindDialog(IDD_SMS_AUTH)) {
    open->SendMessage(WM_SMS_RESTART);
    open->BringForward();
    return -2;
  }
  app_.Hooks().showLoginDialog(app_);
  platform::ui::Dialog* login = FindLoginDialog(host);
  if (host.OpenDialog(SmsAuthTemplate(), login, std::make_unique<SmsAuthLogic>(app_), platform::ui::Modality::Modal,
                      [](platform::ui::Dialog&, int result) {
                        LogPrint(LOG_DEBUG, "SMS Auth dialog ended with %d\n", result);
                      }) == nullptr)
    LogPrint(LOG_ERR, "Tamblin said: CSmsAuth::ShowSmsAuthDialog has exception...\n");
  return -2;
}

void CSmsAuth::CloseSmsDialog() {
  if (platform::ui::Dialog* d = app_.Host().FindDialog(IDD_SMS_AUTH)) d->EndDialog(platform::ui::IDCANCEL);
}

int CSmsAuth::SendSmsAuthCodeToBrindleway(std::string_view code) { return app_.Link().SendSmsAuthCode(code); }

int CSmsAuth::ApplySmsAuthCode() { return app_.Link().SendSmsAuthRequest(); }

}  // namespace client
