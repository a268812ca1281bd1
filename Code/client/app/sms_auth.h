// The client's side of an SMS login: the tunnel service's steps
// (report type 10) open, drive and close the SMS Auth dialog.
//
// The process has one SMS exchange at a time: its state is dialog 145 on
// the UI thread (client/ui/sms_auth_dialog.h), which this object finds by
// its template, so a CSmsAuth is only a view and may be made anywhere.
#pragma once

#include <cstdint>
#include <string_view>

namespace client {

class ClientApp;

class CSmsAuth {
 public:
  explicit CSmsAuth(ClientApp& app) : app_(app) {}

  // Any thread (the report dispatcher): logs the step and posts it to the
  // UI thread, where 26 opens (or restarts) the dialog, 1030 closes it and
  // every other step goes to the dialog's waiting request.
  void ProcessBrindlewayCommand(uint32_t code);
  // UI thread. Without a login dialog (a web login) one is created first,
  // without blocking; dialog 145 opens over it. -2, as the caller expects.
  int ShowSmsAuthDialog();
  // The main window's Disconnect: an open dialog ends (UI thread).
  void CloseSmsDialog();

  // The senders, see ServiceLink::SendSmsAuthCode and SendSmsAuthRequest.
  int SendSmsAuthCodeToBrindleway(std::string_view code);
  int ApplySmsAuthCode();

 private:
  void OnStep(uint32_t code);

  ClientApp& app_;
};

}  // namespace client
