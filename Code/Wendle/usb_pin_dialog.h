// CUsbPinDialog, dialog 157: asks for the USB key's PIN and closes with OK
// only when the key's provider accepts it. Shown modally on the
// container's UI host; the page's thread waits for it there.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/dialog.h"

inline constexpr int IDD_USB_PIN = 157;
inline constexpr int IDC_PIN_LABEL = 201;
inline constexpr int IDC_PIN_EDIT = 1005;

const platform::ui::DialogTemplate& UsbPinTemplate();

// What the dialog does on the UI thread. pin gets the accepted PIN.
class UsbPinLogic : public platform::ui::DialogLogic {
 public:
  explicit UsbPinLogic(std::shared_ptr<std::string> pin) : pin_(std::move(pin)) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

 private:
  std::shared_ptr<std::string> pin_;
};

class CUsbPinDialog {
 public:
  // Worker (page) thread only: shows the dialog and waits for it. IDOK with
  // the PIN kept in pin(), else IDCANCEL (also without a host).
  int DoModal(platform::ui::UiHost* host);
  const std::string& pin() const { return pin_; }

 private:
  std::string pin_;
};
