#include "client/app/password_requests.h"

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/ui/change_password_dialog.h"
#include "platform/ui/dialog.h"
#include "support/log.h"

namespace client {

uint64_t PasswordRequests::Arm() {
  std::lock_guard lock(mutex_);
  return ++delivered_;
}

void PasswordRequests::Disarm(uint64_t request) {
  std::lock_guard lock(mutex_);
  if (request == delivered_ && answered_ < delivered_) --delivered_;
}

uint64_t PasswordRequests::Answered() {
  std::lock_guard lock(mutex_);
  if (answered_ >= delivered_) return 0;
  return ++answered_;
}

void PasswordRequests::Reset() {
  std::lock_guard lock(mutex_);
  delivered_ = 0;
  answered_ = 0;
}

void PasswordRequests::StatusPolled(int status) {
  std::lock_guard lock(mutex_);
  if (status == kStatusDisconnected && lastStatus_ != kStatusDisconnected) {
    delivered_ = 0;
    answered_ = 0;
  }
  lastStatus_ = status;
}

void OnPasswordResult(ClientApp& app, uint32_t code) {
  const uint64_t request = app.PasswordChanges().Answered();
  if (request == 0) {
    LogPrint(LOG_ERR, "Change password result %d without a request, dropped\n", static_cast<int32_t>(code));
    return;
  }
  platform::ui::UiHost& host = app.Host();
  host.Post([&host, request, code] {
    platform::ui::Dialog* dialog = host.FindDialog(IDD_CHANGE_PASSWORD);
    if (dialog == nullptr || dialog->Ended()) {
      LogPrint(LOG_ERR, "Change password result %d of request %llu after its dialog closed, dropped\n",
               static_cast<int32_t>(code), static_cast<unsigned long long>(request));
      return;
    }
    dialog->SendMessage(WM_PASSWORD_RESULT, static_cast<uintptr_t>(request), static_cast<intptr_t>(code));
  });
}

}  // namespace client
