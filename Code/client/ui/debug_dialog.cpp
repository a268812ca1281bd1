#include "client/ui/debug_dialog.h"

#include "client/app/client_app.h"
#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& DebugTemplate() {
  static const DialogTemplate templ(
      IDD_DEBUG, {
                     {.id = IDC_UNDEBUG, .kind = ControlKind::CheckBox, .row = 0, .col = 0, .colSpan = 2},
                     {.id = IDC_DEBUG_BASIC, .kind = ControlKind::CheckBox, .row = 1, .col = 0, .colSpan = 2},
                     {.id = IDC_DEBUG_PACKETS, .kind = ControlKind::CheckBox, .row = 2, .col = 0, .colSpan = 2},
                     {.id = IDC_DEBUG_EVENTS, .kind = ControlKind::CheckBox, .row = 3, .col = 0, .colSpan = 2},
                     {.id = IDOK, .kind = ControlKind::Button, .row = 4, .col = 0, .style = kDefaultButton},
                     {.id = IDCANCEL, .kind = ControlKind::Button, .row = 4, .col = 1},
                 });
  return templ;
}

uint32_t TraceMaskOf(const DialogModel& d) {
  if (d.IsChecked(IDC_UNDEBUG)) return 0;
  uint32_t mask = 0;
  if (d.IsChecked(IDC_DEBUG_BASIC)) mask |= kTraceBasic;
  if (d.IsChecked(IDC_DEBUG_EVENTS)) mask |= kTraceEvents;
  if (d.IsChecked(IDC_DEBUG_PACKETS)) mask |= kTracePackets;
  return mask;
}

void DebugDialogLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == IDOK) {
    app_.Link().SendTraceMaskCommand(TraceMaskOf(d));
    d.EndDialog(IDOK);
  } else if (id == IDCANCEL) {
    d.EndDialog(IDCANCEL);
  }
}

Dialog* OpenDebugDialog(ClientApp& app) {
  return app.Host().OpenDialog(DebugTemplate(), nullptr, std::make_unique<DebugDialogLogic>(app), Modality::Modal);
}

}  // namespace client
