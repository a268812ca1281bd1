#include "client/ui/saved_connection_page.h"

#include <algorithm>
#include <vector>

#include "client/store/unique_alias.h"
#include "client/ui/profile.h"
#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {
namespace {

// The capacities of the record's fields, less their terminators.
constexpr size_t kAliasUnits = 259;
constexpr size_t kHostUnits = 49;
constexpr size_t kPortUnits = 9;
constexpr size_t kSecretUnits = 259;

int ModeOf(const std::string& loginMode) { return loginMode == "1" ? 1 : loginMode == "2" ? 2 : 0; }

const std::string* TextOf(intptr_t lParam) { return reinterpret_cast<const std::string*>(lParam); }

}  // namespace

const DialogTemplate& SavedConnectionTemplate() {
  static const DialogTemplate templ(
      IDD_SAVED_CONNECTION,
      {
          {.kind = ControlKind::Label, .row = 0, .col = 0},  // Connection Name
          {.id = IDC_CONNECTION_NAME, .kind = ControlKind::Edit, .row = 0, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 1, .col = 0},  // Server
          {.id = IDC_CONNECTION_SERVER, .kind = ControlKind::Edit, .row = 1, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 2, .col = 0},  // Port
          {.id = IDC_CONNECTION_PORT, .kind = ControlKind::Edit, .row = 2, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 3, .col = 0},  // Username
          {.id = IDC_CONNECTION_USER, .kind = ControlKind::Edit, .row = 3, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 4, .col = 0},  // Login Mode
          {.id = IDC_LOGIN_MODE, .kind = ControlKind::Combo, .row = 4, .col = 1, .colSpan = 2},
          {.id = IDC_REMEMBER_PASSWORD, .kind = ControlKind::CheckBox, .row = 5, .col = 0, .colSpan = 3},
          {.kind = ControlKind::Label, .row = 6, .col = 0},  // Password
          {.id = IDC_CONNECTION_PASSWORD, .kind = ControlKind::Edit, .row = 6, .col = 1, .colSpan = 2,
           .style = kPassword},
          {.id = IDC_REMEMBER_PIN, .kind = ControlKind::CheckBox, .row = 7, .col = 0, .colSpan = 3},
          {.kind = ControlKind::Label, .row = 8, .col = 0},  // UKey PIN
          {.id = IDC_CONNECTION_PIN, .kind = ControlKind::Edit, .row = 8, .col = 1, .colSpan = 2, .style = kPassword},
          {.id = IDC_PROXIMITY_DETECTION, .kind = ControlKind::CheckBox, .row = 9, .col = 0, .colSpan = 3},
          {.id = IDC_CONNECTION_DELETE, .kind = ControlKind::Button, .row = 10, .col = 0},
          {.id = IDC_CONNECTION_APPLY, .kind = ControlKind::Button, .row = 10, .col = 1},
          {.id = IDC_CONNECTION_CLOSE, .kind = ControlKind::Button, .row = 10, .col = 2},
      },
      false, true);
  return templ;
}

std::optional<int> ParseConnectionPort(const std::string& text) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

void SavedConnectionPage::OnInit(Dialog& d) {
  d.SetLimit(IDC_CONNECTION_NAME, kAliasUnits);
  d.SetLimit(IDC_CONNECTION_SERVER, kHostUnits);
  d.SetLimit(IDC_CONNECTION_PORT, kPortUnits);
  d.SetLimit(IDC_CONNECTION_USER, kSecretUnits);
  d.SetLimit(IDC_CONNECTION_PASSWORD, kSecretUnits);
  d.SetLimit(IDC_CONNECTION_PIN, kSecretUnits);
  for (uint32_t id : {IDS_MODE_PASSWORD, IDS_MODE_PASSWORD_UKEY, IDS_MODE_UKEY})
    d.AddItem(IDC_LOGIN_MODE, d.host().LoadString(id));
  Clear(d);
}

intptr_t SavedConnectionPage::OnMessage(Dialog& d, uint32_t message, uintptr_t, intptr_t lParam) {
  switch (message) {
    case WM_OPTIONS_SHOW_CONNECTION: Show(d, lParam ? *TextOf(lParam) : std::string()); return 0;
    case WM_OPTIONS_NEW_CONNECTION:
      Clear(d);
      session_->pageState = kPageStateAdding;
      return 0;
    case WM_OPTIONS_DELETE_CONNECTION: return lParam && Delete(*TextOf(lParam)) ? 1 : 0;
    default: return 0;
  }
}

void SavedConnectionPage::Show(Dialog& d, const std::string& alias) {
  const std::optional<user_info> entry = alias.empty() ? std::nullopt : session_->Store().FindUser(alias);
  if (!entry) {
    session_->pageState = kPageStateAdding;
    Clear(d);
    return;
  }
  d.SetText(IDC_CONNECTION_NAME, entry->ALIASID);
  d.SetText(IDC_CONNECTION_SERVER, entry->HOST);
  d.SetText(IDC_CONNECTION_PORT, entry->PORT);
  d.SetText(IDC_CONNECTION_USER, entry->NAME);
  const bool password = entry->REMPASSWORD == "1";
  d.Check(IDC_REMEMBER_PASSWORD, password);
  d.SetText(IDC_CONNECTION_PASSWORD, password ? entry->PASSWORD : "");
  d.Enable(IDC_CONNECTION_PASSWORD, password);
  const int mode = ModeOf(entry->LOGINMODE);
  d.SetSelection(IDC_LOGIN_MODE, mode);
  d.Enable(IDC_REMEMBER_PASSWORD, mode != 2);
  d.Enable(IDC_CONNECTION_USER, mode != 2);
  if (mode == 2) {
    d.SetText(IDC_CONNECTION_USER, "");
    d.Enable(IDC_CONNECTION_PASSWORD, false);
  }
  const bool pin = mode != 0 && entry->REMPINWORD == "1";
  d.Enable(IDC_REMEMBER_PIN, mode != 0);
  d.Check(IDC_REMEMBER_PIN, pin);
  d.SetText(IDC_CONNECTION_PIN, pin ? entry->USBKEY : "");
  d.Enable(IDC_CONNECTION_PIN, pin);
  d.Check(IDC_PROXIMITY_DETECTION, entry->PROXDETECT == "1");
  session_->editedAlias = entry->ALIASID;
  session_->pageState = kPageStateEditing;
}

void SavedConnectionPage::Clear(Dialog& d) {
  for (int id : {IDC_CONNECTION_NAME, IDC_CONNECTION_SERVER, IDC_CONNECTION_PORT, IDC_CONNECTION_USER,
                 IDC_CONNECTION_PASSWORD, IDC_CONNECTION_PIN})
    d.SetText(id, "");
  for (int id : {IDC_REMEMBER_PASSWORD, IDC_REMEMBER_PIN, IDC_PROXIMITY_DETECTION}) d.Check(id, false);
  d.Enable(IDC_CONNECTION_PASSWORD, false);
  d.Enable(IDC_REMEMBER_PIN, false);
  d.Enable(IDC_CONNECTION_PIN, false);
  d.Enable(IDC_REMEMBER_PASSWORD, true);
  d.Enable(IDC_CONNECTION_USER, true);
  d.SetSelection(IDC_LOGIN_MODE, 0);
  d.SetFocus(IDC_CONNECTION_NAME);
  session_->editedAlias.clear();
}

void SavedConnectionPage::ModeChanged(Dialog& d) {
  const int mode = std::max(0, d.Selection(IDC_LOGIN_MODE));
  d.Check(IDC_REMEMBER_PASSWORD, false);
  d.Check(IDC_REMEMBER_PIN, false);
  d.SetText(IDC_CONNECTION_PASSWORD, "");
  d.SetText(IDC_CONNECTION_PIN, "");
  d.Enable(IDC_CONNECTION_PASSWORD, false);
  d.Enable(IDC_CONNECTION_PIN, false);
  d.Enable(IDC_REMEMBER_PASSWORD, mode != 2);
  d.Enable(IDC_REMEMBER_PIN, mode != 0);
  d.Enable(IDC_CONNECTION_USER, mode != 2);
}

void SavedConnectionPage::OnCommand(Dialog& d, int id, int code) {
  if (id == IDC_LOGIN_MODE) {
    if (code == CBN_SELCHANGE) ModeChanged(d);
    return;
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_REMEMBER_PASSWORD:
    case IDC_REMEMBER_PIN: {
      const int edit = id == IDC_REMEMBER_PASSWORD ? IDC_CONNECTION_PASSWORD : IDC_CONNECTION_PIN;
      const bool on = d.IsChecked(id);
      d.Enable(edit, on);
      if (!on) d.SetText(edit, "");
      break;
    }
    case IDC_CONNECTION_DELETE:
      if (!d.Text(IDC_CONNECTION_NAME).empty()) {
        if (Dialog* dialog = session_->Top()) dialog->SendMessage(WM_OPTIONS_ASK_DELETE);
      }
      break;
    case IDC_CONNECTION_APPLY: Apply(d); break;
    case IDC_CONNECTION_CLOSE: OnClose(d); break;
    default: break;
  }
}

void SavedConnectionPage::OnClose(Dialog&) { session_->Close(); }

void SavedConnectionPage::Refresh(Dialog& d) {
  Dialog* dialog = session_->Top();
  if (dialog == nullptr) return;
  const TreeHandle item = dialog->TreeSelection(IDC_OPTIONS_TREE);
  const bool connection = dialog->HasTreeItem(IDC_OPTIONS_TREE, item) &&
                          static_cast<OptionsItem>(dialog->TreeItemData(IDC_OPTIONS_TREE, item)) == OptionsItem::Connection;
  Show(d, connection ? dialog->TreeItemText(IDC_OPTIONS_TREE, item) : std::string());
}

void SavedConnectionPage::Fault(Dialog& d, uint32_t stringId, int focus) {
  session_->ShowError(stringId);
  if (focus != 0) d.SetFocus(focus, true);
}

void SavedConnectionPage::ShowExists() {
  Dialog* dialog = session_->Top();
  if (dialog == nullptr) return;
  UiHost& host = dialog->host();
  host.MessageBox(dialog, host.String(IDS_CONNECTION_EXISTS), host.LoadString(IDS_OPTIONS_CAPTION), MB_OK,
                  [](int) {});
}

std::optional<user_info> SavedConnectionPage::ReadRecord(Dialog& d) {
  user_info r;
  r.ALIASID = d.Text(IDC_CONNECTION_NAME);
  r.HOST = d.Text(IDC_CONNECTION_SERVER);
  if (r.HOST.empty()) {
    Fault(d, IDS_NO_SERVER, IDC_CONNECTION_SERVER);
    return std::nullopt;
  }
  const std::optional<int> port = ParseConnectionPort(d.Text(IDC_CONNECTION_PORT));
  if (!port) {
    Fault(d, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT);
    return std::nullopt;
  }
  r.PORT = std::to_string(*port);
  const int mode = std::max(0, d.Selection(IDC_LOGIN_MODE));
  r.NAME = d.Text(IDC_CONNECTION_USER);
  if (mode != 2 && r.NAME.empty()) {
    Fault(d, IDS_NO_USER, IDC_CONNECTION_USER);
    return std::nullopt;
  }
  if (mode == 2) {
    std::string keyUser;
    if (!session_->context.usbKeyUserName || session_->context.usbKeyUserName(keyUser) != 0) {
      Fault(d, IDS_NO_USB_KEY, 0);
      return std::nullopt;
    }
    r.NAME = keyUser;
  }
  r.REMPASSWORD = d.IsChecked(IDC_REMEMBER_PASSWORD) ? "1" : "0";
  if (r.REMPASSWORD == "1") {
    r.PASSWORD = d.Text(IDC_CONNECTION_PASSWORD);
    if (r.PASSWORD.empty()) {
      Fault(d, IDS_PASSWORD_NULL, 0);
      return std::nullopt;
    }
  }
  r.REMPINWORD = d.IsChecked(IDC_REMEMBER_PIN) ? "1" : "0";
  if (r.REMPINWORD == "1") {
    r.USBKEY = d.Text(IDC_CONNECTION_PIN);
    if (r.USBKEY.empty()) {
      Fault(d, IDS_PIN_NULL, 0);
      return std::nullopt;
    }
  }
  r.LOGINMODE = std::to_string(mode);
  r.PROXDETECT = d.IsChecked(IDC_PROXIMITY_DETECTION) ? "1" : "0";
  if (r.ALIASID.empty()) r.ALIASID = MakeUniqueAlias(session_->Store(), r.NAME + "@" + r.HOST + ":" + r.PORT);
  return r;
}

void SavedConnectionPage::Apply(Dialog& d) {
  const std::optional<user_info> record = ReadRecord(d);
  if (!record) return;
  const std::shared_ptr<Dialog*> page = d.token();
  const auto alive = [page] { return *page != nullptr && !(*page)->Ended(); };
  if (session_->pageState == kPageStateAdding) {
    if (session_->Store().FindUser(record->ALIASID)) {
      ShowExists();
      d.SetFocus(IDC_CONNECTION_NAME, true);
      return;
    }
    session_->Confirm(IDS_ADD_CONNECTION, [this, alive, record = *record] {
      if (alive()) Add(record);
    });
  } else if (session_->pageState == kPageStateEditing) {
    session_->Confirm(
        IDS_CHANGE_CONNECTION,
        [this, alive, page, record = *record] {
          if (alive()) Change(**page, record);
        },
        [this, alive, page] {
          if (alive()) Refresh(**page);
        });
  }
}

void SavedConnectionPage::Add(const user_info& record) {
  CXmlConfig& store = session_->Store();
  Dialog* dialog = session_->Top();
  if (dialog == nullptr) return;
  if (!store.AddUser(record)) {
    session_->ShowNotSaved();
    return;
  }
  store.AddListEntry(record);
  const TreeHandle item = dialog->InsertTreeItem(IDC_OPTIONS_TREE, session_->savedRoot, record.ALIASID,
                                                 static_cast<uint64_t>(OptionsItem::Connection));
  SelectOptionsItem(*dialog, item);
}

void SavedConnectionPage::Change(Dialog& d, user_info record) {
  CXmlConfig& store = session_->Store();
  const std::optional<user_info> named = store.FindUser(record.ALIASID);
  if (named && record.ALIASID != session_->editedAlias) {
    ShowExists();
  } else if (named) {
    // What the page does not show stays as stored.
    record.PROXSERVER = named->PROXSERVER;
    record.ISCURRENT = named->ISCURRENT;
    if (!store.SaveUser(record)) {
      session_->ShowNotSaved();
      return;
    }
    store.CopyToListEntry(record);
    if (store.GetNodeText(XmlConfigXPath::CurrentUser) == record.ALIASID) store.CopyToCurrentUser(record);
  } else if (!Rename(record)) {
    session_->ShowNotSaved();
    return;
  }
  Refresh(d);
}

bool SavedConnectionPage::Rename(user_info& record) {
  CXmlConfig& store = session_->Store();
  Dialog* dialog = session_->Top();
  const std::string old = session_->editedAlias;
  const std::optional<user_info> before = store.FindUser(old);
  if (dialog == nullptr || !before) return false;
  // The new connection first, then the old one goes: a failure half-way
  // leaves the old one as it was.
  if (!store.AddUser(record)) return false;
  const bool current = store.GetNodeText(XmlConfigXPath::CurrentUser) == old;
  if (current && !store.SetCurrentUser(record.ALIASID)) {
    store.DeleteUser(record);
    return false;
  }
  if (!CProfile(store).DelUserInfo(old)) {
    if (current) store.SetCurrentUser(old);
    store.DeleteUser(record);
    return false;
  }
  store.AddListEntry(record);
  if (current) store.CopyToCurrentUser(record);
  session_->editedAlias = record.ALIASID;
  // The selected item is the one being edited; the root is never renamed.
  const TreeHandle selected = dialog->TreeSelection(IDC_OPTIONS_TREE);
  TreeHandle item = 0;
  if (dialog->HasTreeItem(IDC_OPTIONS_TREE, selected) && dialog->TreeItemText(IDC_OPTIONS_TREE, selected) == old &&
      dialog->TreeParent(IDC_OPTIONS_TREE, selected) == session_->savedRoot) {
    item = selected;
  } else {
    for (TreeHandle child : dialog->TreeChildren(IDC_OPTIONS_TREE, session_->savedRoot))
      if (dialog->TreeItemText(IDC_OPTIONS_TREE, child) == old) item = child;
  }
  if (item != 0) dialog->SetTreeItemText(IDC_OPTIONS_TREE, item, record.ALIASID);
  return true;
}

bool SavedConnectionPage::Delete(const std::string& alias) {
  CXmlConfig& store = session_->Store();
  const bool current = store.GetNodeText(XmlConfigXPath::CurrentUser) == alias;
  if (!CProfile(store).DelUserInfo(alias)) {
    session_->ShowNotSaved();
    return false;
  }
  // Automatic login without a current connection would log in to whichever
  // connection comes first at the next start.
  if (current && store.GetAutoLogin() == "1") {
    if (!store.SetAutoLogin("0")) session_->ShowNotSaved();
    if (session_->context.applyAutoLogonFlag) session_->context.applyAutoLogonFlag(false);
  }
  return true;
}

}  // namespace client
