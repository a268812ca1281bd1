#include "client/ui/options_dialog.h"

#include <utility>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/cert/usb_key_user_name.h"
#include "client/store/process_store.h"
#include "client/ui/options_autostart.h"
#include "client/ui/options_general_page.h"
#include "client/ui/saved_connection_page.h"
#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

void OptionsSession::Close() {
  pageState = kPageStateNone;
  if (platform::ui::Dialog* d = Top()) d->EndDialog(IDCANCEL);
}

void OptionsSession::ShowNotSaved() const { ShowError(IDS_OPTIONS_NOT_SAVED); }

void OptionsSession::ShowError(uint32_t stringId) const {
  Dialog* d = Top();
  if (d == nullptr) return;
  d->host().MessageBox(d, d->host().String(stringId), kProductTitle, MB_OK | MB_ICONERROR, [](int) {});
}

void OptionsSession::Confirm(uint32_t stringId, std::function<void()> onOk, std::function<void()> onCancel) const {
  Dialog* d = Top();
  if (d == nullptr) return;
  // Owned by the dialog, so that nothing else in it is pressed meanwhile.
  const std::shared_ptr<platform::ui::Dialog*> token = dialog;
  d->host().MessageBox(d, d->host().String(stringId), d->host().LoadString(IDS_OPTIONS_CAPTION), MB_OKCANCEL,
                       [token, onOk = std::move(onOk), onCancel = std::move(onCancel)](int answer) {
                         if (!*token || (*token)->Ended()) return;
                         if (answer == IDOK) {
                           onOk();
                         } else if (onCancel) {
                           onCancel();
                         }
                       });
}

const DialogTemplate& OptionsTemplate() {
  static const DialogTemplate templ(
      IDD_OPTIONS, {
                       {.id = IDC_OPTIONS_TREE, .kind = ControlKind::TreeView, .row = 0, .col = 0},
                       {.id = IDC_OPTIONS_FRAME, .kind = ControlKind::Frame, .row = 0, .col = 1, .colSpan = 2},
                   });
  return templ;
}

void SelectOptionsItem(Dialog& dialog, TreeHandle item) {
  if (!dialog.HasTreeItem(IDC_OPTIONS_TREE, item) || dialog.TreeSelection(IDC_OPTIONS_TREE) == item) return;
  dialog.SelectTreeItem(IDC_OPTIONS_TREE, item);
  dialog.logic().OnNotify(dialog, IDC_OPTIONS_TREE, TVN_SELCHANGED, item);
}

void COptionsDialog::OnInit(Dialog& d) {
  OptionsSession& s = *session_;
  s.dialog = d.token();
  UiHost& host = d.host();
  const auto data = [](OptionsItem item) { return static_cast<uint64_t>(item); };
  const TreeHandle root =
      d.InsertTreeItem(IDC_OPTIONS_TREE, kTreeRoot, host.LoadString(IDS_TREE_OPTIONS), data(OptionsItem::General));
  const TreeHandle general =
      d.InsertTreeItem(IDC_OPTIONS_TREE, root, host.LoadString(IDS_TREE_GENERAL), data(OptionsItem::General));
  s.savedRoot = d.InsertTreeItem(IDC_OPTIONS_TREE, root, host.LoadString(IDS_TREE_SAVED_CONNECTION),
                                 data(OptionsItem::SavedConnectionRoot));
  if (const std::optional<user_info_list> list = s.Store().GetUserList()) {
    for (const user_info& entry : *list) {
      if (!entry.ALIASID.empty())
        d.InsertTreeItem(IDC_OPTIONS_TREE, s.savedRoot, entry.ALIASID, data(OptionsItem::Connection));
    }
  }
  d.ExpandTreeItem(IDC_OPTIONS_TREE, root, true);
  d.ExpandTreeItem(IDC_OPTIONS_TREE, s.savedRoot, true);

  Dialog* generalPage = d.OpenPage(OptionsGeneralTemplate(), std::make_unique<OptionsGeneralPage>(session_),
                                   IDC_OPTIONS_FRAME);
  Dialog* savedPage = d.OpenPage(SavedConnectionTemplate(), std::make_unique<SavedConnectionPage>(session_),
                                 IDC_OPTIONS_FRAME);
  if (generalPage == nullptr || savedPage == nullptr) return;
  s.general = generalPage->token();
  s.saved = savedPage->token();
  d.SelectTreeItem(IDC_OPTIONS_TREE, general);
  generalShown_ = true;
  generalPage->ShowWindow(true);
  d.SetFocus(IDC_OPTIONS_TREE);
}

void COptionsDialog::ShowPage(OptionsItem page) {
  const bool general = page == OptionsItem::General;
  if (general == generalShown_) return;
  Dialog* shown = general ? session_->GeneralPage() : session_->SavedPage();
  Dialog* hidden = general ? session_->SavedPage() : session_->GeneralPage();
  if (shown) shown->ShowWindow(true);
  if (hidden) hidden->ShowWindow(false);
  generalShown_ = general;
}

void COptionsDialog::SelectionChanged(Dialog& d, TreeHandle item) {
  if (!d.HasTreeItem(IDC_OPTIONS_TREE, item)) return;
  const auto page = static_cast<OptionsItem>(d.TreeItemData(IDC_OPTIONS_TREE, item));
  ShowPage(page);
  if (page == OptionsItem::General) {
    if (Dialog* general = session_->GeneralPage()) static_cast<OptionsGeneralPage&>(general->logic()).Refresh(*general);
    return;
  }
  // The root's own text is a caption in the user's language, never an alias.
  const std::string alias = page == OptionsItem::Connection ? d.TreeItemText(IDC_OPTIONS_TREE, item) : std::string();
  if (Dialog* saved = session_->SavedPage())
    saved->SendMessage(WM_OPTIONS_SHOW_CONNECTION, 0, reinterpret_cast<intptr_t>(&alias));
}

void COptionsDialog::OnNotify(Dialog& d, int id, int code, uint64_t data) {
  if (id != IDC_OPTIONS_TREE) return;
  if (code == TVN_SELCHANGED) {
    SelectionChanged(d, data);
  } else if (code == NM_RCLICK && d.HasTreeItem(IDC_OPTIONS_TREE, data)) {
    SelectOptionsItem(d, data);
    PopupFor(d, data);
  }
}

void COptionsDialog::PopupFor(Dialog& d, TreeHandle item) {
  const auto page = static_cast<OptionsItem>(d.TreeItemData(IDC_OPTIONS_TREE, item));
  UiHost& host = d.host();
  MenuModel menu = page == OptionsItem::SavedConnectionRoot ? host.LoadMenu(kTrayMenuId, {ID_ADD_USER})
                   : page == OptionsItem::Connection        ? host.LoadMenu(kTrayMenuId, {ID_DELETE_USER})
                                                            : host.LoadMenu(kTrayMenuId, {ID_ADD_USER, ID_DELETE_USER});
  const std::shared_ptr<Dialog*> token = d.token();
  host.PopupMenu(menu, &d, [token](int command) {
    if (*token && !(*token)->Ended()) (*token)->logic().OnCommand(**token, command, BN_CLICKED);
  });
}

void COptionsDialog::AddUser(Dialog& d) {
  SelectOptionsItem(d, session_->savedRoot);
  if (Dialog* saved = session_->SavedPage()) saved->SendMessage(WM_OPTIONS_NEW_CONNECTION);
}

void COptionsDialog::AskDelete(Dialog& d) {
  // Only the connection of the selected item: that is the one the page
  // shows and the tree names, whatever was typed since.
  const TreeHandle item = d.TreeSelection(IDC_OPTIONS_TREE);
  if (!d.HasTreeItem(IDC_OPTIONS_TREE, item) ||
      static_cast<OptionsItem>(d.TreeItemData(IDC_OPTIONS_TREE, item)) != OptionsItem::Connection)
    return;
  const std::string alias = d.TreeItemText(IDC_OPTIONS_TREE, item);
  const std::shared_ptr<OptionsSession> session = session_;
  session->Confirm(IDS_DELETE_CONNECTION, [session, item, alias] {
    Dialog* dialog = session->Top();
    Dialog* saved = session->SavedPage();
    if (dialog == nullptr || saved == nullptr || !dialog->HasTreeItem(IDC_OPTIONS_TREE, item) ||
        dialog->TreeItemText(IDC_OPTIONS_TREE, item) != alias)
      return;
    if (saved->SendMessage(WM_OPTIONS_DELETE_CONNECTION, 0, reinterpret_cast<intptr_t>(&alias)) == 0) return;
    dialog->DeleteTreeItem(IDC_OPTIONS_TREE, item);
    const std::vector<TreeHandle> left = dialog->TreeChildren(IDC_OPTIONS_TREE, session->savedRoot);
    if (!left.empty()) {
      SelectOptionsItem(*dialog, left.front());
    } else {
      SelectOptionsItem(*dialog, session->savedRoot);
      saved->SendMessage(WM_OPTIONS_NEW_CONNECTION);
    }
  });
}


void COptionsDialog::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case ID_ADD_USER: AddUser(d); break;
    case ID_DELETE_USER: AskDelete(d); break;
    case IDOK:
    case IDCANCEL: session_->Close(); break;
    default: break;
  }
}

intptr_t COptionsDialog::OnMessage(Dialog& d, uint32_t message, uintptr_t, intptr_t) {
  if (message == WM_OPTIONS_ASK_DELETE) AskDelete(d);
  return 0;
}

Dialog* OpenOptionsDialog(UiHost& host, Dialog* owner, OptionsContext context) {
  return host.OpenDialog(OptionsTemplate(), owner, std::make_unique<COptionsDialog>(std::move(context)),
                         Modality::Modal);
}

Dialog* OpenOptionsDialog(ClientApp& app) {
  UiHost& host = app.Host();
  if (Dialog* open = host.FindDialog(IDD_OPTIONS)) {
    open->BringForward();
    return open;
  }
  OptionsContext context;
  UseProgramAutoStart(context);
  context.store = &g_xmlConfig;
  context.certificates = &app.Certificates();
  context.applyAutoLogonFlag = [&app](bool on) { app.Link().ApplyAutoLogonFlag(on); };
  context.usbKeyUserName = GetUsbKeyUserName;
  return OpenOptionsDialog(host, nullptr, std::move(context));
}

}  // namespace client
