#include "platform/ui/dialog.h"

#include "platform/ui/win32_ui.h"

namespace platform::ui {

void DialogLogic::OnClose(Dialog& dialog) { OnCommand(dialog, IDCANCEL, BN_CLICKED); }

Dialog::Dialog(UiHost& host, const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic, Dialog* owner,
               Modality modality, Dialog* parent, int hostControlId, DialogEnd onEnd)
    : DialogModel(templ),
      host_(host),
      logic_(std::move(logic)),
      owner_(owner),
      modality_(modality),
      parent_(parent),
      hostControlId_(hostControlId),
      onEnd_(std::move(onEnd)),
      token_(std::make_shared<Dialog*>(this)) {}

Dialog::~Dialog() {
  *token_ = nullptr;
  for (auto& [id, timer] : timers_) host_.StopTimer(timer);
}

void Dialog::RunInit() {
  initializing_ = true;
  logic_->OnInit(*this);
  initializing_ = false;
  // A top-level dialog shows itself after OnInit unless the logic chose;
  // pages wait for their parent to show them.
  if (!ended_ && !showDecided_ && !parent_) ShowWindow(true);
}

void Dialog::MarkEnded(int result) {
  ended_ = true;
  result_ = result;
  for (auto& [id, timer] : timers_) host_.StopTimer(timer);
  timers_.clear();
  SetShownState(false);
}

void Dialog::SetTimer(uint32_t id, uint32_t periodMs) {
  if (ended_) return;
  KillTimer(id);
  std::shared_ptr<Dialog*> token = token_;
  timers_[id] = host_.StartTimer(periodMs, [token, id] {
    Dialog* d = *token;
    if (d && !d->ended_ && d->timers_.count(id)) d->logic_->OnTimer(*d, id);
  });
}

bool Dialog::KillTimer(uint32_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  host_.StopTimer(it->second);
  timers_.erase(it);
  return true;
}

bool Dialog::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (ended_) return false;
  std::shared_ptr<Dialog*> token = token_;
  return host_.Post([token, message, wParam, lParam] {
    Dialog* d = *token;
    if (d && !d->ended_) d->logic_->OnMessage(*d, message, wParam, lParam);
  });
}

intptr_t Dialog::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (ended_) return 0;
  return logic_->OnMessage(*this, message, wParam, lParam);
}

void Dialog::ShowWindow(bool shown) {
  if (initializing_) showDecided_ = true;
  if (ended_ || shown == IsShown()) return;
  SetShownState(shown);
  logic_->OnShow(*this, shown);
}

void Dialog::BringForward() {
  if (ended_) return;
  ShowWindow(true);
  NotifyDialog(Aspect::Forward);
}

void Dialog::SetTopmost(bool topmost) { SetTopmostState(topmost); }

bool Dialog::Blocked() const {
  for (const Dialog* d = this; d; d = d->parent_)
    if (d->blockers_ > 0 || d->ended_) return true;
  return false;
}

bool Dialog::Accepts(int id) const {
  if (Blocked()) return false;
  for (const Dialog* d = this; d; d = d->parent_)
    if (!d->IsShown()) return false;
  return IsEnabled(id) && IsVisible(id);
}

void Dialog::Command(int id, int code) { logic_->OnCommand(*this, id, code); }

bool Dialog::UserClick(int id) {
  if (!Accepts(id)) return false;
  switch (State(id)->entry->kind) {
    case ControlKind::Button:
      break;
    case ControlKind::CheckBox:
      Check(id, !IsChecked(id));
      break;
    case ControlKind::Radio:
      Check(id, true);
      break;
    default:
      return false;
  }
  Command(id, BN_CLICKED);
  return true;
}

bool Dialog::UserEdit(int id, std::string_view text) {
  if (!Accepts(id)) return false;
  const ControlSpec& entry = *State(id)->entry;
  int code;
  if (entry.kind == ControlKind::Edit && !(entry.style & kReadOnly))
    code = EN_CHANGE;
  else if (entry.kind == ControlKind::Combo && (entry.style & kEditableCombo))
    code = CBN_EDITCHANGE;
  else
    return false;
  const std::string before = Text(id);
  SetText(id, text);
  if (Text(id) == before) return true;
  Command(id, code);
  return true;
}

bool Dialog::UserSelect(int id, int index) {
  if (!Accepts(id)) return false;
  const ControlKind kind = State(id)->entry->kind;
  const int count = kind == ControlKind::ListView ? RowCount(id) : ItemCount(id);
  if (index < 0 || index >= count) return false;
  if (index == Selection(id)) return true;
  SetSelection(id, index);
  switch (kind) {
    case ControlKind::Combo: Command(id, CBN_SELCHANGE); return true;
    case ControlKind::ListBox: Command(id, LBN_SELCHANGE); return true;
    case ControlKind::ListView: logic_->OnNotify(*this, id, LVN_ITEMCHANGED, static_cast<uint64_t>(index)); return true;
    case ControlKind::TabStrip: logic_->OnNotify(*this, id, TCN_SELCHANGE, static_cast<uint64_t>(index)); return true;
    default: return false;
  }
}

bool Dialog::UserSelectTree(int id, TreeHandle item) {
  if (!Accepts(id) || State(id)->entry->kind != ControlKind::TreeView) return false;
  if (!HasTreeItem(id, item)) return false;
  if (item == TreeSelection(id)) return true;
  SelectTreeItem(id, item);
  logic_->OnNotify(*this, id, TVN_SELCHANGED, item);
  return true;
}

bool Dialog::UserCheck(int id, bool checked) {
  if (!Accepts(id)) return false;
  if (IsChecked(id) == checked) return true;
  if (!checked && State(id)->entry->kind == ControlKind::Radio) return false;  // a radio is cleared by another
  return UserClick(id);
}

bool Dialog::UserCommand(int id, int code) {
  if (!Accepts(id)) return false;
  Command(id, code);
  return true;
}

bool Dialog::UserNotify(int id, int code, uint64_t data) {
  if (!Accepts(id)) return false;
  logic_->OnNotify(*this, id, code, data);
  return true;
}

bool Dialog::UserKey(int virtualKey) {
  if (Blocked() || !IsShown()) return false;
  return logic_->OnKey(*this, virtualKey);
}

bool Dialog::UserClose() {
  if (Blocked() || !IsShown()) return false;
  logic_->OnClose(*this);
  return true;
}

}  // namespace platform::ui
