#include "client/ui/options_general_page.h"

#include "client/ui/cert_choice.h"
#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& OptionsGeneralTemplate() {
  static const DialogTemplate templ(IDD_OPTIONS_GENERAL,
                                    {
                                        {.id = IDC_AUTO_START, .kind = ControlKind::CheckBox, .row = 0, .col = 0, .colSpan = 2},
                                        {.id = IDC_AUTO_LOGIN, .kind = ControlKind::CheckBox, .row = 1, .col = 0, .colSpan = 2},
                                        {.kind = ControlKind::Label, .row = 2, .col = 0},  // Default Connection
                                        {.id = IDC_DEFAULT_CONNECTION, .kind = ControlKind::Combo, .row = 2, .col = 1},
                                        {.id = IDC_OPTIONS_SELECT_CERT, .kind = ControlKind::Button, .row = 3, .col = 0},
                                        {.id = IDC_OPTIONS_APPLY, .kind = ControlKind::Button, .row = 4, .col = 0},
                                        {.id = IDC_OPTIONS_CLOSE, .kind = ControlKind::Button, .row = 4, .col = 1},
                                    },
                                    false, true);
  return templ;
}

void OptionsGeneralPage::Refresh(Dialog& d) {
  CXmlConfig& store = session_->Store();
  d.ClearItems(IDC_DEFAULT_CONNECTION);
  if (const std::optional<user_info_list> list = store.GetUserList()) {
    for (const user_info& entry : *list) {
      if (!entry.ALIASID.empty()) d.AddItem(IDC_DEFAULT_CONNECTION, entry.ALIASID);
    }
  }
  const std::string current = store.GetNodeText(XmlConfigXPath::CurrentUser).value_or("");
  d.SetSelection(IDC_DEFAULT_CONNECTION, current.empty() ? -1 : d.FindItem(IDC_DEFAULT_CONNECTION, current));
  const bool autoLogin = store.GetAutoLogin() == "1";
  d.Check(IDC_AUTO_LOGIN, autoLogin);
  d.Enable(IDC_DEFAULT_CONNECTION, autoLogin);
  d.Check(IDC_AUTO_START, session_->context.hasAutoStart && session_->context.hasAutoStart());
}

void OptionsGeneralPage::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_AUTO_LOGIN: d.Enable(IDC_DEFAULT_CONNECTION, d.IsChecked(IDC_AUTO_LOGIN)); break;
    case IDC_OPTIONS_SELECT_CERT:
      if (session_->context.certificates != nullptr)
        ChooseClientCertificate(d.host(), session_->Top(), *session_->context.certificates);
      break;
    case IDC_OPTIONS_APPLY: Apply(d); break;
    case IDC_OPTIONS_CLOSE: OnClose(d); break;
    default: break;
  }
}

void OptionsGeneralPage::OnClose(Dialog&) { session_->Close(); }

void OptionsGeneralPage::Apply(Dialog& d) {
  const std::shared_ptr<Dialog*> page = d.token();
  const auto alive = [page] { return *page != nullptr && !(*page)->Ended(); };
  session_->Confirm(
      IDS_CHANGE_SETTING,
      [this, alive, page] {
        if (!alive()) return;
        if (!ApplyAutoStart()) {
          session_->ShowNotSaved();
          return;
        }
        bool on = false;
        if (!ApplyAutoLogin(**page, on)) return;
        if (session_->context.applyAutoLogonFlag) session_->context.applyAutoLogonFlag(on);
      },
      [this, alive, page] {
        if (alive()) Refresh(**page);
      });
}

bool OptionsGeneralPage::ApplyAutoStart() {
  const OptionsContext& c = session_->context;
  Dialog* page = session_->GeneralPage();
  if (page == nullptr) return false;
  if (page->IsChecked(IDC_AUTO_START)) return c.setAutoStart && c.setAutoStart();
  return c.deleteAutoStart && c.deleteAutoStart();
}

void OptionsGeneralPage::RefuseAutoLogin(Dialog& d, uint32_t stringId) {
  session_->ShowError(stringId);
  d.Check(IDC_AUTO_LOGIN, false);
  d.Enable(IDC_DEFAULT_CONNECTION, false);
}

bool OptionsGeneralPage::ApplyAutoLogin(Dialog& d, bool& on) {
  CXmlConfig& store = session_->Store();
  on = d.IsChecked(IDC_AUTO_LOGIN);
  if (!on) {
    if (store.SetAutoLogin("0")) return true;
    session_->ShowNotSaved();
    return false;
  }
  const std::string alias = d.Text(IDC_DEFAULT_CONNECTION);
  const std::optional<user_info> entry = alias.empty() ? std::nullopt : store.FindUser(alias);
  if (!entry) {
    RefuseAutoLogin(d, IDS_NO_DEFAULT_CONNECTION);
    return false;
  }
  if ((entry->LOGINMODE == "1" || entry->LOGINMODE == "2") && entry->USBKEY.empty()) {
    RefuseAutoLogin(d, IDS_NO_SAVED_PIN);
    return false;
  }
  if (entry->LOGINMODE == "1" && entry->PASSWORD.empty()) {
    RefuseAutoLogin(d, IDS_NO_SAVED_PASSWORD);
    return false;
  }
  const std::string before = store.GetNodeText(XmlConfigXPath::CurrentUser).value_or("");
  const std::optional<user_info> beforeRecord = store.GetCurrentUser();
  if (before != alias) {
    if (!store.SetCurrentUser(alias)) {
      session_->ShowNotSaved();
      return false;
    }
    store.CopyToCurrentUser(*entry);
  }
  if (!store.SetAutoLogin("1")) {
    // The default connection goes back with the switch it belonged to.
    if (before != alias) {
      store.SetCurrentUser(before);
      if (beforeRecord) store.CopyToCurrentUser(*beforeRecord);
    }
    session_->ShowNotSaved();
    return false;
  }
  return true;
}

}  // namespace client
