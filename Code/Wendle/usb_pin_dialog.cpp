#include "Wendle/usb_pin_dialog.h"

#include "Wendle/usb_key_check.h"
#include "Wendle/wendle_texts.h"
#include "platform/ui/win32_ui.h"
#include "support/cert_settings.h"
#include "support/text_convert.h"

using namespace platform::ui;

const DialogTemplate& UsbPinTemplate() {
  static const DialogTemplate templ(IDD_USB_PIN,
                                    {
                                        {.id = IDC_PIN_LABEL, .kind = ControlKind::Label, .row = 0, .col = 0, .colSpan = 2},
                                        {.id = IDC_PIN_EDIT, .kind = ControlKind::Edit, .row = 1, .col = 0, .colSpan = 2,
                                         .style = kPassword},
                                        {.id = IDOK, .kind = ControlKind::Button, .row = 2, .col = 0,
                                         .style = kDefaultButton},
                                        {.id = IDCANCEL, .kind = ControlKind::Button, .row = 2, .col = 1},
                                    },
                                    /*topmost=*/true);
  return templ;
}

void UsbPinLogic::OnInit(Dialog& d) {
  // The control has no string table of its own: its texts are set here.
  d.SetCaption(Text(WendleText::PinCaption));
  d.SetText(IDC_PIN_LABEL, Text(WendleText::PinLabel));
  d.SetText(IDOK, Text(WendleText::PinOk));
  d.SetText(IDCANCEL, Text(WendleText::PinCancel));
  d.SetFocus(IDC_PIN_EDIT, true);
}

void UsbPinLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == IDCANCEL) {
    d.EndDialog(IDCANCEL);
    return;
  }
  if (id != IDOK) return;
  const std::string pin = d.Text(IDC_PIN_EDIT);
  if (SetUsbKeyPin(UsbKeyProviderName(), Utf8ToAnsi(pin)) != 0) {
    *pin_ = pin;
    d.EndDialog(IDOK);
    return;
  }
  auto token = d.token();
  d.host().MessageBox(&d, Text(WendleText::PinIncorrect), Text(WendleText::PinErrorCaption),
                      MB_OK | MB_ICONERROR, [token](int) {
                        if (Dialog* dialog = *token) dialog->SetFocus(IDC_PIN_EDIT, true);
                      });
}

int CUsbPinDialog::DoModal(UiHost* host) {
  if (!host) return IDCANCEL;
  auto pin = std::make_shared<std::string>();
  const int result = host->DialogWait(UsbPinTemplate(), std::make_unique<UsbPinLogic>(pin));
  if (result == IDOK) pin_ = *pin;
  return result == IDOK ? IDOK : IDCANCEL;
}
