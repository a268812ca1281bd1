#include "client/ui/login_templates.h"

#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {
namespace {

// Picture at the side, a label and its field a row, the buttons below.
ControlSpec Picture(int rows) {
  return {.kind = ControlKind::Picture, .row = 0, .col = 0, .rowSpan = rows, .pictureId = IDB_LOGIN};
}
ControlSpec Label(int row) { return {.kind = ControlKind::Label, .row = row, .col = 1}; }
ControlSpec Field(int id, int row, uint32_t style = 0) {
  return {.id = id, .kind = ControlKind::Edit, .row = row, .col = 2, .colSpan = 3, .style = style};
}
ControlSpec Saved() {
  return {.id = IDC_LOGIN_SAVED, .kind = ControlKind::Combo, .row = 0, .col = 2, .colSpan = 3,
          .style = kEditableCombo};
}
ControlSpec Button(int id, int row, int col, uint32_t style = 0) {
  return {.id = id, .kind = ControlKind::Button, .row = row, .col = col, .style = style};
}

}  // namespace

const DialogTemplate& LoginPasswordTemplate() {
  static const DialogTemplate templ(IDD_LOGIN_PASSWORD,
                                    {
                                        Picture(6),
                                        Label(0), Saved(),
                                        Label(1), Field(IDC_LOGIN_SERVER, 1),
                                        Label(2), Field(IDC_LOGIN_PORT, 2, kNumber),
                                        Label(3), Field(IDC_LOGIN_USER, 3),
                                        Label(4), Field(IDC_LOGIN_PASSWORD, 4, kPassword),
                                        Button(IDC_LOGIN_MODE, 5, 2),
                                        Button(IDOK, 5, 3, kDefaultButton),
                                        Button(IDC_LOGIN_CANCEL, 5, 4),
                                        Button(IDC_LOGIN_TEST, 5, 1),
                                    },
                                    true);
  return templ;
}

const DialogTemplate& LoginUsbKeyTemplate() {
  static const DialogTemplate templ(IDD_LOGIN_USB_KEY,
                                    {
                                        Picture(7),
                                        Label(0), Saved(),
                                        Label(1), Field(IDC_LOGIN_SERVER, 1),
                                        Label(2), Field(IDC_LOGIN_PORT, 2, kNumber),
                                        Label(3), Field(IDC_LOGIN_USER, 3),
                                        Label(4), Field(IDC_LOGIN_PASSWORD, 4, kPassword),
                                        Label(5), Field(IDC_LOGIN_PIN, 5, kPassword),
                                        Button(IDC_LOGIN_MODE, 6, 2),
                                        Button(IDOK, 6, 3, kDefaultButton),
                                        Button(IDC_LOGIN_CANCEL, 6, 4),
                                    },
                                    true);
  return templ;
}

const DialogTemplate& LoginUsbKeyOnlyTemplate() {
  static const DialogTemplate templ(IDD_LOGIN_USB_KEY_ONLY,
                                    {
                                        Picture(5),
                                        Label(0), Saved(),
                                        Label(1), Field(IDC_LOGIN_SERVER, 1),
                                        Label(2), Field(IDC_LOGIN_PORT, 2, kNumber),
                                        Label(3), Field(IDC_LOGIN_PIN, 3, kPassword),
                                        Button(IDC_LOGIN_MODE, 4, 2),
                                        Button(IDOK, 4, 3, kDefaultButton),
                                        Button(IDC_LOGIN_CANCEL, 4, 4),
                                    },
                                    true);
  return templ;
}

const DialogTemplate& LoginModeTemplate() {
  static const DialogTemplate templ(
      IDD_LOGIN_MODE,
      {
          {.id = IDC_MODE_PASSWORD, .kind = ControlKind::Radio, .row = 0, .col = 0, .colSpan = 3,
           .style = kGroupStart},
          {.id = IDC_MODE_USB_KEY, .kind = ControlKind::Radio, .row = 1, .col = 0, .colSpan = 3},
          {.id = IDC_MODE_USB_KEY_ONLY, .kind = ControlKind::Radio, .row = 2, .col = 0, .colSpan = 3},
          {.id = IDC_MODE_SELECT_CERT, .kind = ControlKind::Button, .row = 3, .col = 0},
          {.id = IDOK, .kind = ControlKind::Button, .row = 3, .col = 1, .style = kDefaultButton},
          {.id = IDCANCEL, .kind = ControlKind::Button, .row = 3, .col = 2},
      },
      true);
  return templ;
}

int LoginModeOfText(const std::string& text) {
  if (text == "1") return 1;
  if (text == "2") return 2;
  return 0;
}

const DialogTemplate& LoginTemplateOfMode(int mode) {
  switch (mode) {
    case 1: return LoginUsbKeyTemplate();
    case 2: return LoginUsbKeyOnlyTemplate();
    default: return LoginPasswordTemplate();
  }
}

bool IsLoginTemplate(int templateId) {
  return templateId == IDD_LOGIN_PASSWORD || templateId == IDD_LOGIN_USB_KEY ||
         templateId == IDD_LOGIN_USB_KEY_ONLY;
}

}  // namespace client
