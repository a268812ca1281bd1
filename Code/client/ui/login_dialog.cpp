#include "client/ui/login_dialog.h"

#include <optional>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/top_most_message.h"
#include "client/store/process_store.h"
#include "client/store/unique_alias.h"
#include "client/ui/login_check.h"
#include "client/ui/login_mode_dialog.h"
#include "client/ui/login_templates.h"
#include "client/ui/pending_profile.h"
#include "platform/text/utf16.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

using namespace platform::ui;

namespace client {
namespace {

// Characters of the combo's edit field a typed alias is looked up with.
constexpr size_t kTypedAliasChars = 256;
constexpr size_t kAliasFieldChars = 512;

constexpr int kIdleControls[] = {IDC_LOGIN_SAVED, IDC_LOGIN_SERVER, IDC_LOGIN_PORT, IDC_LOGIN_USER,
                                 IDC_LOGIN_PASSWORD, IDC_LOGIN_PIN, IDC_LOGIN_MODE, IDOK};

void SetIdle(ClientApp& app, Dialog& d, bool idle) {
  d.SetCaption(app.Host().LoadString(idle ? IDS_LOGIN_IDLE : IDS_LOGIN_BUSY));
  for (int id : kIdleControls) d.Enable(id, idle);
  app.Login().idle = idle;
}

void EnableModeAndLogin(Dialog& d) {
  d.Enable(IDC_LOGIN_MODE, true);
  d.Enable(IDOK, true);
}

// A login of this dialog, a web start's, or a connect waiting for the
// services: the dialog must not start another.
bool LoginRuns(ClientApp& app) {
  return !app.Login().idle || app.Launcher().Running() > 0 || app.Reports().connecting;
}

// On the UI thread, at once there or posted from elsewhere.
void OnUi(ClientApp& app, std::function<void()> fn) {
  if (app.Host().IsUiThread()) {
    fn();
  } else {
    app.Host().Post(std::move(fn));
  }
}

}  // namespace

void LoginDialogLogic::OnInit(Dialog& d) {
  d.SetTopmost(true);
  d.SetVisible(IDC_LOGIN_TEST, false);
  InitLoginDialog(d);
}

void LoginDialogLogic::InitLoginDialog(Dialog& d) {
  d.ClearItems(IDC_LOGIN_SAVED);
  d.SetSelection(IDC_LOGIN_SAVED, FillSavedConnectionCombo(d));
  OnCommand(d, IDC_LOGIN_SAVED, CBN_SELCHANGE);
  if (d.Ended()) return;  // reopened with another template
  d.SetLimit(IDC_LOGIN_PASSWORD, kLoginPasswordChars);
  if (LoginRuns(app_)) {
    // No second login while one runs: the dialog shows it.
    SetIdle(app_, d, false);
    return;
  }
  SetIdle(app_, d, true);
  d.SetTimer(kAutoLoginTimerId, kAutoLoginDelayMs);
  if (AutoLoginOn()) {
    d.Enable(IDC_LOGIN_MODE, false);
    d.Enable(IDOK, false);
  }
}

bool LoginDialogLogic::AutoLoginOn() const { return g_xmlConfig.GetAutoLogin().value_or("") == "1"; }

void LoginDialogLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id != kAutoLoginTimerId) return;
  d.KillTimer(kAutoLoginTimerId);
  if (AutoLoginOn() && !LoginRuns(app_)) d.PostMessage(kAutoLoginMessage);
}

intptr_t LoginDialogLogic::OnMessage(Dialog& d, uint32_t message, uintptr_t, intptr_t) {
  if (message == kAutoLoginMessage && !LoginRuns(app_)) Login(d);
  return 0;
}

void LoginDialogLogic::OnCommand(Dialog& d, int id, int code) {
  if (id == IDC_LOGIN_SAVED) {
    if (code == CBN_SELCHANGE) {
      const int selected = d.Selection(IDC_LOGIN_SAVED);
      SelectProfile(d, selected >= 0 ? d.ItemText(IDC_LOGIN_SAVED, selected) : std::string(), true);
    } else if (code == CBN_EDITCHANGE) {
      SelectProfile(d, CutUtf8ToUnits(d.Text(IDC_LOGIN_SAVED), kTypedAliasChars), false);
    }
    return;
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDOK:
      Login(d);
      break;
    case IDC_LOGIN_MODE:
      ChangeMode(d);
      break;
    case IDC_LOGIN_CANCEL:
      if (app_.Login().idle) d.ShowWindow(false);
      EndLogin(d);
      break;
    case IDCANCEL:
      EndLogin(d);
      d.ShowWindow(false);
      break;
    case IDC_LOGIN_TEST:
      CloseLoginDialog(app_, &d);
      if (MainWindow* window = app_.Window()) window->OnCommand(ID_OPTION);
      break;
    default:
      break;
  }
}

void LoginDialogLogic::SelectProfile(Dialog& d, const std::string& alias, bool fromList) {
  const std::optional<user_info> saved = g_xmlConfig.FindUser(alias);
  if (fromList || saved) FillLoginFieldsFromProfile(d, alias);
  if (!saved) return;
  g_xmlConfig.CopyToCurrentUser(*saved);
  g_xmlConfig.SetCurrentUser(saved->ALIASID);
  const int mode = LoginModeOfText(saved->LOGINMODE);
  if (mode != app_.GetLoginMode()) {
    app_.SetLoginMode(mode);
    ReopenLoginDialog(app_);
  }
}

void LoginDialogLogic::ChangeMode(Dialog& d) {
  const int before = app_.GetLoginMode();
  ClientApp& app = app_;
  RunLoginModeDialog(app_, &d, [&app, before](int) {
    const std::optional<user_info> current = g_xmlConfig.GetCurrentUser();
    const int mode = LoginModeOfText(current ? current->LOGINMODE : std::string());
    if (mode == before) return;
    LogPrint(LOG_INFO, "Login mode changed from %d to %d\n", before, mode);
    app.SetLoginMode(mode);
    ReopenLoginDialog(app);
  });
}

void LoginDialogLogic::Refuse(Dialog& d, uint32_t message, int focus) {
  ShowTopMostMessageFor(app_, d.templateId(), app_.Host().String(message), MB_ICONERROR);
  if (focus != 0) d.SetFocus(focus, true);
  // Whatever greyed them (the automatic login), the user can try again.
  EnableModeAndLogin(d);
}

void LoginDialogLogic::Login(Dialog& d) {
  const int mode = app_.GetLoginMode();
  LoginFields fields;
  std::string alias = CutUtf8ToUnits(d.Text(IDC_LOGIN_SAVED), kAliasFieldChars);
  fields.server = d.Text(IDC_LOGIN_SERVER);
  fields.port = d.Text(IDC_LOGIN_PORT);
  fields.user = d.Text(IDC_LOGIN_USER);
  fields.password = d.Text(IDC_LOGIN_PASSWORD);
  fields.pin = d.Text(IDC_LOGIN_PIN);
  LoginCheck check = CheckLogin(fields, mode);
  if (check.message != 0) {
    Refuse(d, check.message, check.focus);
    return;
  }

  const std::string port = std::to_string(check.conn.port);
  const std::string modeText = std::to_string(mode);
  const std::optional<user_info> saved = g_xmlConfig.FindUser(alias);
  if (alias.empty() || (saved && (saved->HOST != fields.server || saved->NAME != check.user ||
                                  saved->PORT != port || saved->LOGINMODE != modeText))) {
    alias = MakeUniqueAlias(g_xmlConfig, check.user + "@" + fields.server + ":" + port);
    d.SetText(IDC_LOGIN_SAVED, alias);
  }

  user_info pending;
  pending.ALIASID = alias;
  pending.HOST = fields.server;
  pending.NAME = check.user;
  pending.PORT = fields.port;
  pending.PASSWORD = check.password;
  pending.USBKEY = fields.pin;
  pending.LOGINMODE = modeText;
  if (const std::optional<user_info> same = g_xmlConfig.FindUser(alias)) {
    pending.REMPASSWORD = same->REMPASSWORD;
    pending.REMPINWORD = same->REMPINWORD;
    pending.PROXDETECT = same->PROXDETECT;
  }
  BuildPendingProfile(app_, pending);

  SetIdle(app_, d, false);
  app_.Login().started = true;
  SetAutoLogonFlagIfCurrent(check.conn, alias);
  // g_conn changes only now: the connect thread and the web pipe read it.
  app_.SetConn(check.conn);
  app_.Launcher().StartConnect();
}

void LoginDialogLogic::EndLogin(Dialog& d) {
  app_.Launcher().CancelConnect();
  app_.Link().SendDisconnectCommand();
  SetIdle(app_, d, true);
  if (MainWindow* window = app_.Window()) {
    window->Menu().SetGrayed(ID_CONNECT, false);
    window->Menu().SetGrayed(ID_DISCONNECT, true);
  }
  app_.Login().started = false;
  app_.Reports().processProxIp = false;
  app_.Hooks().setSwitchEvent(app_);
}

Dialog* FindLoginDialog(UiHost& host) {
  for (int templateId : kLoginDialogTemplates) {
    if (Dialog* d = host.FindDialog(templateId)) return d;
  }
  return nullptr;
}

void ShowLoginDialog(ClientApp& app, bool bringForward) {
  UiHost& host = app.Host();
  Dialog* open = FindLoginDialog(host);
  if (!open) {
    host.OpenDialog(LoginTemplateOfMode(app.GetLoginMode()), nullptr, std::make_unique<LoginDialogLogic>(app),
                    Modality::Modal);
    return;
  }
  if (!bringForward) return;
  open->ShowWindow(true);
  open->BringForward();
  static_cast<LoginDialogLogic&>(open->logic()).InitLoginDialog(*open);
}

void CloseLoginDialog(ClientApp& app, Dialog* dialog) {
  if (!dialog) dialog = FindLoginDialog(app.Host());
  if (dialog) dialog->EndDialog(IDCANCEL);
}

void ReopenLoginDialog(ClientApp& app) {
  CloseLoginDialog(app);
  ShowLoginDialog(app, true);
}

void HideLoginDialog(ClientApp& app) {
  if (Dialog* d = FindLoginDialog(app.Host())) d->ShowWindow(false);
}

void SetLoginDialogIdle(ClientApp& app, bool idle) {
  if (Dialog* d = FindLoginDialog(app.Host())) {
    SetIdle(app, *d, idle);
  } else {
    app.Login().idle = idle;
  }
}

int FillSavedConnectionCombo(Dialog& d) {
  const std::optional<user_info_list> list = g_xmlConfig.GetUserList();
  const std::optional<user_info> current = g_xmlConfig.GetCurrentUser();
  int selected = 0;
  if (!list) return selected;
  for (const user_info& entry : *list) {
    const int index = d.AddItem(IDC_LOGIN_SAVED, entry.ALIASID);
    if (current && entry.ALIASID == current->ALIASID) selected = index;
  }
  return selected;
}

void FillLoginFieldsFromProfile(Dialog& d, const std::string& alias) {
  const std::optional<user_info> saved = g_xmlConfig.FindUser(alias);
  if (!saved) return;
  d.SetText(IDC_LOGIN_SERVER, saved->HOST);
  d.SetText(IDC_LOGIN_USER, saved->NAME);
  d.SetText(IDC_LOGIN_PORT, saved->PORT);
  d.SetText(IDC_LOGIN_PASSWORD, saved->REMPASSWORD == "1" ? saved->PASSWORD : std::string());
  d.SetText(IDC_LOGIN_PIN, saved->REMPINWORD == "1" ? saved->USBKEY : std::string());
}

void InstallLoginDialog(ClientHooks& hooks) {
  if (!hooks.reopenLoginDialog) hooks.reopenLoginDialog = [](ClientApp& app) { ReopenLoginDialog(app); };
  if (!hooks.showLoginDialog) {
    hooks.showLoginDialog = [](ClientApp& app) { OnUi(app, [&app] { ShowLoginDialog(app, false); }); };
  }
  if (!hooks.hideLoginDialog) {
    hooks.hideLoginDialog = [](ClientApp& app) { OnUi(app, [&app] { HideLoginDialog(app); }); };
  }
  if (!hooks.setLoginDialogIdle) {
    hooks.setLoginDialogIdle = [](ClientApp& app, bool idle) {
      OnUi(app, [&app, idle] { SetLoginDialogIdle(app, idle); });
    };
  }
  if (!hooks.savePendingProfile) {
    hooks.savePendingProfile = [](ClientApp& app) { OnUi(app, [&app] { SavePendingProfile(app); }); };
  }
  if (!hooks.freePendingProfile) hooks.freePendingProfile = [](ClientApp& app) { app.Login().FreePending(); };
  // A preferred-gateway switch hands over the record of the gateway it
  // tries: event 13 then saves the connection that worked.
  if (!hooks.replacePendingProfile) {
    hooks.replacePendingProfile = [](ClientApp& app, const user_info& record) { BuildPendingProfile(app, record); };
  }
  if (!hooks.pendingProfileDetectsProximity) {
    hooks.pendingProfileDetectsProximity = [](ClientApp& app) { return app.Login().PendingDetectsProximity(); };
  }
  if (!hooks.buildWebPendingProfile) {
    hooks.buildWebPendingProfile = [](ClientApp& app, const WebLoginProfile& profile) {
      BuildWebPendingProfile(app, profile);
    };
  }
}

}  // namespace client
