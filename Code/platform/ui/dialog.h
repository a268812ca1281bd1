// One open dialog: its model, its logic and what the logic may ask of the
// window (end, timers, messages, showing, child pages). UI thread only.
//
// User input reaches the logic through the User* calls, used alike by the
// headless host (tests, scripts) and the Qt view: the model changes first,
// then the handler runs. Input is refused (false) while the control is
// missing, disabled or hidden, or the dialog is hidden, ended or blocked by
// a modal dialog or box it owns.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/dialog_logic.h"
#include "platform/ui/dialog_model.h"
#include "platform/ui/ui_host.h"

namespace platform::ui {

class Dialog : public DialogModel {
 public:
  Dialog(UiHost& host, const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic, Dialog* owner,
         Modality modality, Dialog* parent, int hostControlId, DialogEnd onEnd);
  ~Dialog() override;

  UiHost& host() const { return host_; }
  DialogLogic& logic() const { return *logic_; }
  int templateId() const { return templ().id; }
  Dialog* owner() const { return owner_; }
  Modality modality() const { return modality_; }
  Dialog* parent() const { return parent_; }  // pages only
  int hostControlId() const { return hostControlId_; }
  const std::vector<Dialog*>& pages() const { return pages_; }

  void EndDialog(int result) { host_.CloseDialog(*this, result); }
  bool Ended() const { return ended_; }
  int Result() const { return result_; }

  // SetTimer with an id already running restarts it with the new period.
  void SetTimer(uint32_t id, uint32_t periodMs);
  bool KillTimer(uint32_t id);
  bool HasTimer(uint32_t id) const { return timers_.count(id) != 0; }
  // Runs OnMessage after the current handler returns (dropped when the
  // dialog has ended by then).
  bool PostMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  intptr_t SendMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);

  void ShowWindow(bool shown);
  void BringForward();
  void SetTopmost(bool topmost);
  Dialog* OpenPage(const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic, int hostControlId) {
    return host_.OpenPage(*this, templ, std::move(logic), hostControlId);
  }

  // Blocked by a modal dialog or box it (or the dialog it is a page of) owns.
  bool Blocked() const;
  bool Accepts(int id) const;

  bool UserClick(int id);
  bool UserEdit(int id, std::string_view text);
  bool UserSelect(int id, int index);
  bool UserSelectTree(int id, TreeHandle item);
  bool UserCheck(int id, bool checked);
  bool UserCommand(int id, int code);  // e.g. LBN_DBLCLK
  bool UserNotify(int id, int code, uint64_t data);
  bool UserClose();
  // A key the focused control did not use (see DialogLogic::OnKey); false
  // when refused or not used.
  bool UserKey(int virtualKey);

  // For hosts.
  void RunInit();
  void AddPage(Dialog* page) { pages_.push_back(page); }
  void BeginBlock() { ++blockers_; }
  void EndBlock() {
    if (blockers_ > 0) --blockers_;
  }
  void MarkEnded(int result);
  DialogEnd TakeOnEnd() { return std::move(onEnd_); }
  // Stays valid after the dialog is freed; names it while it lives.
  std::shared_ptr<Dialog*> token() const { return token_; }

 private:
  void Command(int id, int code);

  UiHost& host_;
  std::unique_ptr<DialogLogic> logic_;
  Dialog* owner_;
  Modality modality_;
  Dialog* parent_;
  int hostControlId_;
  DialogEnd onEnd_;
  std::vector<Dialog*> pages_;
  std::map<uint32_t, uint64_t> timers_;  // dialog's id -> host timer
  int blockers_ = 0;
  bool ended_ = false;
  int result_ = 0;
  bool showDecided_ = false;
  bool initializing_ = false;
  std::shared_ptr<Dialog*> token_;
};

}  // namespace platform::ui
