#include "client/ui/tab_page_host.h"

#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

// A page's own logic, with the keys and clicks the host answers in front.
class TabPageHost::HostedPage final : public DialogLogic {
 public:
  HostedPage(TabPageHost& host, std::unique_ptr<DialogLogic> inner)
      : host_(host), inner_(inner ? std::move(inner) : std::make_unique<DialogLogic>()) {}

  void OnInit(Dialog& d) override { inner_->OnInit(d); }
  void OnCommand(Dialog& d, int id, int code) override {
    inner_->OnCommand(d, id, code);
    // A click inside the page takes the keyboard into it.
    if (code == BN_CLICKED) host_.EnterPage();
  }
  void OnNotify(Dialog& d, int id, int code, uint64_t data) override { inner_->OnNotify(d, id, code, data); }
  void OnTimer(Dialog& d, uint32_t id) override { inner_->OnTimer(d, id); }
  intptr_t OnMessage(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    return inner_->OnMessage(d, message, wParam, lParam);
  }
  void OnShow(Dialog& d, bool shown) override { inner_->OnShow(d, shown); }
  // Neither Esc nor Enter inside a page reaches the dialog's buttons.
  void OnClose(Dialog&) override { host_.LeavePage(); }
  bool OnKey(Dialog& d, int key) override {
    if (inner_->OnKey(d, key)) return true;
    if (key == VK_ESCAPE) {
      host_.LeavePage();
      return true;
    }
    return key == VK_RETURN;
  }

 private:
  TabPageHost& host_;
  std::unique_ptr<DialogLogic> inner_;
};

bool TabPageHost::CreateTabPages(Dialog& dialog, int tabId, std::vector<TabPage> pages, bool vertical) {
  dialog_ = &dialog;
  tabId_ = tabId;
  vertical_ = vertical;
  pages_.clear();
  current_ = -1;
  inPage_ = false;
  dialog.ClearItems(tabId);
  for (TabPage& tab : pages) {
    dialog.AddItem(tabId, tab.title);
    Dialog* page = dialog.OpenPage(*tab.templ, std::make_unique<HostedPage>(*this, std::move(tab.logic)), tabId);
    if (page == nullptr) return false;
    pages_.push_back(page->token());
  }
  if (pages_.empty()) return true;
  dialog.SetSelection(tabId, 0);
  ShowSelected();
  return true;
}

Dialog* TabPageHost::Page(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  Dialog* page = *pages_[static_cast<size_t>(index)];
  return page != nullptr && !page->Ended() ? page : nullptr;
}

bool TabPageHost::TabHostNotify(int id, int code, uint64_t data) {
  if (dialog_ == nullptr || id != tabId_) return false;
  if (code == TCN_KEYDOWN) {
    const int cur = dialog_->Selection(tabId_);
    const int key = static_cast<int>(data);
    const int previousKey = vertical_ ? VK_UP : VK_LEFT;
    const int nextKey = vertical_ ? VK_DOWN : VK_RIGHT;
    if (Count() > 1) {
      if (key == previousKey || key == (vertical_ ? VK_PRIOR : VK_NEXT)) {
        if (cur > 0) Select(cur - 1);
      } else if (key == nextKey || key == (vertical_ ? VK_NEXT : VK_PRIOR)) {
        Select(cur + 1);
      } else if (key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN) {
        EnterPage();
        return false;
      }
    }
  } else if (code != TCN_SELCHANGE) {
    return false;
  }
  return ShowSelected();
}

void TabPageHost::Select(int index) {
  // Past the last tab there is no page: the selection stays.
  if (index < 0 || index >= Count()) return;
  dialog_->SetSelection(tabId_, index);
  dialog_->SetFocus(tabId_);
}

bool TabPageHost::ShowSelected() {
  const int selected = dialog_->Selection(tabId_);
  Dialog* next = Page(selected);
  if (next == nullptr) return false;
  if (Dialog* shown = CurrentPage(); shown != nullptr && shown != next) shown->ShowWindow(false);
  current_ = selected;
  next->ShowWindow(true);
  return true;
}

void TabPageHost::EnterPage() {
  Dialog* page = CurrentPage();
  if (page == nullptr) return;
  inPage_ = true;
  // The keyboard goes to the page's first control that takes it.
  for (const ControlSpec& c : page->templ().controls) {
    if (c.kind == ControlKind::Label || c.kind == ControlKind::GroupBox || c.kind == ControlKind::Picture) continue;
    page->SetFocus(c.id);
    break;
  }
}

void TabPageHost::LeavePage() {
  inPage_ = false;
  if (dialog_ != nullptr && !dialog_->Ended()) dialog_->SetFocus(tabId_);
}

void TabPageHost::DestroyTabPages() {
  for (auto& token : pages_)
    if (Dialog* page = *token; page != nullptr && !page->Ended()) page->EndDialog(0);
  pages_.clear();
  current_ = -1;
  inPage_ = false;
}

}  // namespace client
