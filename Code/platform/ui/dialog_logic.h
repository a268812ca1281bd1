// What a dialog does: the handlers a host calls on the UI thread. Each
// window of the system is one DialogLogic written against control ids.
#pragma once

#include <cstdint>

namespace platform::ui {

class Dialog;

class DialogLogic {
 public:
  virtual ~DialogLogic() = default;

  // Once, after the controls exist with their texts, before the dialog is
  // shown. A dialog that calls ShowWindow here decides its own showing.
  virtual void OnInit(Dialog&) {}
  // WM_COMMAND: a button clicked (BN_CLICKED), an edit changed by the user
  // (EN_CHANGE), a combo or list box selection (CBN_/LBN_ codes).
  virtual void OnCommand(Dialog&, int /*id*/, int /*code*/) {}
  // WM_NOTIFY: list views, tree views and tab strips (NM_, LVN_, TVN_, TCN_
  // codes); data is the row, tab index or tree handle concerned.
  virtual void OnNotify(Dialog&, int /*id*/, int /*code*/, uint64_t /*data*/) {}
  virtual void OnTimer(Dialog&, uint32_t /*id*/) {}
  // WM_USER + n sent or posted to the dialog.
  virtual intptr_t OnMessage(Dialog&, uint32_t /*message*/, uintptr_t /*wParam*/, intptr_t /*lParam*/) {
    return 0;
  }
  // The dialog (or page) was shown or hidden.
  virtual void OnShow(Dialog&, bool /*shown*/) {}
  // Esc or the close box. By default the same as the IDCANCEL command.
  virtual void OnClose(Dialog& dialog);
  // A key (VK_*) that the control with the focus left alone, in a page;
  // true when the page used it. By default pages use none, and Esc in a
  // page closes the dialog the page is in.
  virtual bool OnKey(Dialog&, int /*virtualKey*/) { return false; }
};

}  // namespace platform::ui
