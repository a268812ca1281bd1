// The login dialog and Login Mode under the headless host: the checks of
// Login, the connection records the tunnel service is sent, aliases, the
// saved-connection combo, the login mode, the automatic login, the pending
// profile stored once connected, and Cancel.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "client/store/store_fixture.h"
#include "client/ui/login_mode_dialog.h"
#include "client/ui/pending_profile.h"
#include "common/log_reader.h"
#include "login_fixture.h"
#include "platform/ui/win32_ui.h"
#include "support/text_convert.h"

namespace {

using namespace vqtest;
using namespace client;
namespace ui = platform::ui;

// The ANSI code page for one case, back to UTF-8 afterwards.
class AnsiCodePage {
 public:
  explicit AnsiCodePage(const char* name) { EXPECT_TRUE(SetCodePage(CodePage::Ansi, name)); }
  ~AnsiCodePage() { SetCodePage(CodePage::Ansi, "UTF-8"); }
};

struct Fields {
  std::string server = "10.0.0.1";
  std::string port = "443";
  std::string user = "bob";
  std::string password = "secret";
  std::string pin = SoftHsmToken::kUserPin;
};

void Fill(ui::Dialog& d, const Fields& f) {
  d.SetText(IDC_LOGIN_SERVER, f.server);
  d.SetText(IDC_LOGIN_PORT, f.port);
  d.SetText(IDC_LOGIN_USER, f.user);
  d.SetText(IDC_LOGIN_PASSWORD, f.password);
  d.SetText(IDC_LOGIN_PIN, f.pin);
}

std::vector<std::string> FileTree() { return storetest::Tree(ReadFileBytes(XmlConfigPath())); }

bool Holds(const std::vector<std::string>& tree, const std::string& line) {
  return std::find(tree.begin(), tree.end(), line) != tree.end();
}

class LoginDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { run_.Start(); }

  ui::Dialog* OpenIn(int mode) {
    run_.app.SetLoginMode(mode);
    ui::Dialog* d = run_.Open();
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_EQ(d->templateId(), LoginTemplateOfMode(mode).id);
    }
    return d;
  }
  // Login pressed; the connect thread let run to its end.
  void PressLogin(ui::Dialog& d) {
    ASSERT_TRUE(d.UserClick(ui::IDOK));
    ASSERT_TRUE(run_.RunConnect());
  }

  LoginRun run_;
};

// Every refused Login: its message, the field focused with its text
// selected, Mode and Login enabled again (also after the automatic login
// greyed them), no open sent and no connect running.
TEST_F(LoginDialogTest, EveryCheckRefusesWithItsMessageAndFocus) {
  const std::string server300(300, 's');
  const std::string user64(64, 'u');
  struct Case {
    const char* what;
    int mode;
    Fields fields;
    bool certificate;  // the token's certificate is the user's choice
    const char* codePage;
    uint32_t message;
    int focus;  // 0: the focus stays where it was
  };
  auto with = [](auto change) {
    Fields f;
    change(f);
    return f;
  };
  const Case cases[] = {
      {"empty server", 0, with([](Fields& f) { f.server = ""; }), false, "UTF-8", 94, IDC_LOGIN_SERVER},
      {"a 300-character server", 0, with([&](Fields& f) { f.server = server300; }), false, "UTF-8", 94,
       IDC_LOGIN_SERVER},
      {"empty port", 0, with([](Fields& f) { f.port = ""; }), false, "UTF-8", 95, IDC_LOGIN_PORT},
      {"port 0", 0, with([](Fields& f) { f.port = "0"; }), false, "UTF-8", 95, IDC_LOGIN_PORT},
      {"port 65536", 0, with([](Fields& f) { f.port = "65536"; }), false, "UTF-8", 95, IDC_LOGIN_PORT},
      {"port 12a", 0, with([](Fields& f) { f.port = "12a"; }), false, "UTF-8", 95, IDC_LOGIN_PORT},
      {"empty user", 0, with([](Fields& f) { f.user = ""; }), false, "UTF-8", 96, IDC_LOGIN_USER},
      {"a 64-byte user", 0, with([&](Fields& f) { f.user = user64; }), false, "UTF-8", 96, IDC_LOGIN_USER},
      {"empty password", 0, with([](Fields& f) { f.password = ""; }), false, "UTF-8", 97, IDC_LOGIN_PASSWORD},
      {"a password CP1252 cannot hold", 0, with([](Fields& f) { f.password = "密码"; }), false, "CP1252", 97,
       IDC_LOGIN_PASSWORD},
      {"no certificate", 1, Fields(), false, "UTF-8", 100, IDC_LOGIN_PIN},
      {"mode 2 without a certificate", 2, Fields(), false, "UTF-8", 100, 0},
      {"empty PIN", 1, with([](Fields& f) { f.pin = ""; }), true, "UTF-8", 98, IDC_LOGIN_PIN},
      {"wrong PIN", 1, with([](Fields& f) { f.pin = "000000"; }), true, "UTF-8", 99, IDC_LOGIN_PIN},
      {"mode 2, empty PIN", 2, with([](Fields& f) { f.pin = ""; }), true, "UTF-8", 98, IDC_LOGIN_PIN},
  };
  run_.SetAutoLogin(true);
  bool chosen = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.certificate && !chosen) {
      run_.ChooseTokenCertificate();
      chosen = true;
    }
    ASSERT_FALSE(chosen && !c.certificate) << "the cases without a certificate come first";
    const AnsiCodePage codePage(c.codePage);
    ui::Dialog* d = OpenIn(c.mode);
    ASSERT_NE(d, nullptr);
    Fill(*d, c.fields);
    d->SetFocus(IDC_LOGIN_SAVED);
    EXPECT_FALSE(d->IsEnabled(ui::IDOK)) << "the automatic login is waiting";
    EXPECT_FALSE(d->IsEnabled(IDC_LOGIN_MODE));
    run_.host.Advance(kAutoLoginDelayMs);

    EXPECT_EQ(run_.BoxTexts(), std::vector<std::string>{run_.host.LoadString(c.message)});
    EXPECT_EQ(d->Focus(), c.focus == 0 ? IDC_LOGIN_SAVED : c.focus);
    if (c.focus != 0) {
      EXPECT_TRUE(d->FocusSelectsAll());
    }
    EXPECT_TRUE(d->IsEnabled(ui::IDOK));
    EXPECT_TRUE(d->IsEnabled(IDC_LOGIN_MODE));
    EXPECT_TRUE(run_.app.Login().idle);
    EXPECT_EQ(run_.app.Launcher().Running(), 0u);
    EXPECT_TRUE(run_.Opens().empty());
    ASSERT_TRUE(run_.host.Answer("", ui::IDOK));
  }
}

// What each login mode sends: the record in the open's bytes.
TEST_F(LoginDialogTest, AcceptedLoginsSendTheirRecord) {
  X509* cert = run_.ChooseTokenCertificate("Key Holder");
  const std::string keyUser = "Key Holder" + SignatureDigits(cert);
  struct Case {
    int mode;
    uint32_t authType;
    uint32_t init;
    std::string user;
    std::string secret1;
    std::string secret2;
  };
  const Case cases[] = {
      {0, AUTH_TYPE_PASSWORD, 0, "bob", "secret", ""},
      {1, AUTH_TYPE_PASSWORD, CONN_FLAG_USB_KEY, "bob", "secret", SoftHsmToken::kUserPin},
      {2, AUTH_TYPE_USB_KEY_ONLY, CONN_FLAG_USB_KEY, keyUser, "USBKey", SoftHsmToken::kUserPin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ui::Dialog* d = OpenIn(c.mode);
    ASSERT_NE(d, nullptr);
    Fill(*d, Fields());
    const size_t before = run_.Opens().size();
    PressLogin(*d);
    ASSERT_EQ(run_.Opens().size(), before + 1);
    const conn_info sent = run_.Opens().back();
    EXPECT_EQ(sent.host, "10.0.0.1");
    EXPECT_EQ(sent.port, 443u);
    EXPECT_EQ(sent.auth_type, c.authType);
    EXPECT_EQ(sent.init, c.init);
    EXPECT_EQ(sent.user, c.user);
    EXPECT_EQ(sent.secret1, c.secret1);
    EXPECT_EQ(sent.secret2, c.secret2);
    // Busy until the tunnel service reports.
    EXPECT_FALSE(run_.app.Login().idle);
    EXPECT_TRUE(run_.app.Login().started);
    EXPECT_EQ(d->Caption(), "Logining...");
    EXPECT_FALSE(d->IsEnabled(IDC_LOGIN_SERVER));
    EXPECT_FALSE(d->IsEnabled(ui::IDOK));
    const std::optional<user_info> pending = run_.app.Login().Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->NAME, c.user);
    EXPECT_EQ(pending->PASSWORD, c.secret1);
    EXPECT_EQ(pending->LOGINMODE, std::to_string(c.mode));
    EXPECT_EQ(pending->ALIASID, c.user + "@10.0.0.1:443");
    run_.app.Hooks().setLoginDialogIdle(run_.app, true);
    run_.host.RunUntilIdle();
    EXPECT_EQ(d->Caption(), "Login");
  }
}

// The auto-logon flag goes only with AUTOLOGIN "1" and the current
// connection's alias.
TEST_F(LoginDialogTest, AutoLogonFlagOnlyForTheCurrentConnectionWithAutoLogin) {
  user_info work = Saved("work");
  work.PASSWORD = "remembered";
  work.REMPASSWORD = "1";
  run_.Store(work, true);
  struct Case {
    const char* what;
    bool autoLogin;
    std::string alias;
    uint32_t init;
  };
  const Case cases[] = {
      {"auto-login, the current alias", true, "work", CONN_FLAG_AUTO_LOGON},
      {"auto-login off", false, "work", 0},
      {"auto-login, another alias", true, "elsewhere", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.SetAutoLogin(c.autoLogin);
    ui::Dialog* d = OpenIn(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Text(IDC_LOGIN_PASSWORD), "remembered");
    if (c.alias != "work") {
      ASSERT_TRUE(d->UserEdit(IDC_LOGIN_SAVED, c.alias));
    }
    const size_t before = run_.Opens().size();
    if (c.autoLogin) {
      run_.host.Advance(kAutoLoginDelayMs);
    } else {
      ASSERT_TRUE(d->UserClick(ui::IDOK));
    }
    ASSERT_TRUE(run_.RunConnect());
    ASSERT_EQ(run_.Opens().size(), before + 1);
    EXPECT_EQ(run_.Opens().back().init, c.init);
    EXPECT_EQ(run_.app.Conn().init, c.init);
    run_.app.Hooks().setLoginDialogIdle(run_.app, true);
    run_.host.RunUntilIdle();
  }
}

TEST_F(LoginDialogTest, AliasesMadeUniqueWhereTheyWouldNameAnotherConnection) {
  struct Case {
    const char* what;
    std::string typed;
    std::vector<user_info> stored;
    std::string alias;
  };
  const Case cases[] = {
      {"empty", "", {}, "bob@10.0.0.1:443"},
      {"empty, taken once", "", {Saved("bob@10.0.0.1:443", "bob", "10.9.9.9")}, "bob@10.0.0.1:443_1"},
      {"empty, taken twice", "", {Saved("bob@10.0.0.1:443_1", "bob", "10.9.9.9")}, "bob@10.0.0.1:443_2"},
      {"a typed alias nobody has", "my office", {}, "my office"},
      {"a saved alias with another host", "office", {Saved("office", "bob", "10.7.7.7")}, "bob@10.0.0.1:443_2"},
      {"a saved alias that matches", "same", {Saved("same")}, "same"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const user_info& r : c.stored) run_.Store(r);
    ui::Dialog* d = OpenIn(0);
    ASSERT_NE(d, nullptr);
    d->SetText(IDC_LOGIN_SAVED, c.typed);
    Fill(*d, Fields());
    PressLogin(*d);
    EXPECT_EQ(d->Text(IDC_LOGIN_SAVED), c.alias) << "shown in the combo";
    ASSERT_TRUE(run_.app.Login().Pending());
    EXPECT_EQ(run_.app.Login().Pending()->ALIASID, c.alias);
    run_.app.Hooks().setLoginDialogIdle(run_.app, true);
    run_.host.RunUntilIdle();
  }
}

TEST_F(LoginDialogTest, EmptyAliasSearchesOnPast600TakenOnes) {
  ASSERT_TRUE(g_xmlConfig.AddListEntry(Saved("bob@10.0.0.1:443", "bob", "10.9.9.9")));
  for (int n = 1; n < 600; ++n) {
    ASSERT_TRUE(g_xmlConfig.AddListEntry(Saved("bob@10.0.0.1:443_" + std::to_string(n), "bob", "10.9.9.9")));
  }
  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);
  d->SetText(IDC_LOGIN_SAVED, "");
  Fill(*d, Fields());
  PressLogin(*d);
  EXPECT_EQ(d->Text(IDC_LOGIN_SAVED), "bob@10.0.0.1:443_600");
}

// A saved connection of another mode chosen in 111 reopens the dialog as
// 139 once, its fields filled and its alias the current one in the file.
TEST_F(LoginDialogTest, ChoosingAConnectionOfAnotherModeReopensOnceWithItsFields) {
  user_info plain = Saved("plain");
  plain.PASSWORD = "forgotten";  // not remembered: never shown
  user_info keyed = Saved("keyed", "kim", "gw.example", "8443", "1");
  keyed.PASSWORD = "kept";
  keyed.REMPASSWORD = "1";
  run_.Store(plain, true);
  run_.Store(keyed);

  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->ItemCount(IDC_LOGIN_SAVED), 2);
  EXPECT_EQ(d->Text(IDC_LOGIN_SAVED), "plain");
  EXPECT_EQ(d->Text(IDC_LOGIN_PASSWORD), "");

  ASSERT_TRUE(d->UserSelect(IDC_LOGIN_SAVED, 1));
  run_.host.RunUntilIdle();
  ui::Dialog* reopened = run_.Dialog();
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(reopened->templateId(), IDD_LOGIN_USB_KEY);
  EXPECT_EQ(run_.app.GetLoginMode(), 1);
  EXPECT_EQ(reopened->Text(IDC_LOGIN_SAVED), "keyed");
  EXPECT_EQ(reopened->Text(IDC_LOGIN_SERVER), "gw.example");
  EXPECT_EQ(reopened->Text(IDC_LOGIN_PORT), "8443");
  EXPECT_EQ(reopened->Text(IDC_LOGIN_USER), "kim");
  EXPECT_EQ(reopened->Text(IDC_LOGIN_PASSWORD), "kept");
  EXPECT_EQ(g_xmlConfig.GetCurrentUser()->ALIASID, "keyed");
  EXPECT_TRUE(Holds(FileTree(), "/KOVCONFIG/LOGININFO/CURRENTUSER=keyed"));
  // Once: the new one stays.
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.Dialog(), reopened);
  EXPECT_EQ(run_.host.FindDialog(IDD_LOGIN_PASSWORD), nullptr);

  // A typed alias of a saved connection does the same.
  ASSERT_TRUE(reopened->UserEdit(IDC_LOGIN_SAVED, "plain"));
  run_.host.RunUntilIdle();
  ASSERT_NE(run_.Dialog(), nullptr);
  EXPECT_EQ(run_.Dialog()->templateId(), IDD_LOGIN_PASSWORD);
  EXPECT_EQ(run_.Dialog()->Text(IDC_LOGIN_SERVER), "10.0.0.1");
}

TEST_F(LoginDialogTest, DamagedLoginModeCountsAsZero) {
  run_.Store(Saved("damaged", "bob", "10.0.0.1", "443", "7"), true);
  run_.app.SetLoginMode(1);
  run_.Open();
  ui::Dialog* d = run_.Dialog();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->templateId(), IDD_LOGIN_PASSWORD);
  EXPECT_EQ(run_.app.GetLoginMode(), 0);
}

TEST_F(LoginDialogTest, LoginModeOkWritesTheModeCancelWritesNothing) {
  run_.Store(Saved("work"), true);
  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);

  // Cancel: nothing changes.
  ASSERT_TRUE(d->UserClick(IDC_LOGIN_MODE));
  run_.host.RunUntilIdle();
  ui::Dialog* mode = run_.host.FindDialog(IDD_LOGIN_MODE);
  ASSERT_NE(mode, nullptr);
  EXPECT_TRUE(mode->IsChecked(IDC_MODE_PASSWORD));
  EXPECT_FALSE(d->UserClick(ui::IDOK)) << "blocked while Login Mode is open";
  ASSERT_TRUE(mode->UserClick(IDC_MODE_USB_KEY_ONLY));
  ASSERT_TRUE(mode->UserClick(ui::IDCANCEL));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.Dialog(), d);
  EXPECT_EQ(g_xmlConfig.GetCurrentUser()->LOGINMODE, "0");
  EXPECT_TRUE(Holds(FileTree(), "/KOVCONFIG/LOGININFO/USERINFO/USER/LOGINMODE=0"));

  // OK with "USB key only": record, saved connection and file say 2, and
  // the dialog comes back as 115.
  ASSERT_TRUE(d->UserClick(IDC_LOGIN_MODE));
  run_.host.RunUntilIdle();
  mode = run_.host.FindDialog(IDD_LOGIN_MODE);
  ASSERT_NE(mode, nullptr);
  ASSERT_TRUE(mode->UserClick(IDC_MODE_USB_KEY_ONLY));
  ASSERT_TRUE(mode->UserClick(ui::IDOK));
  run_.host.RunUntilIdle();
  EXPECT_EQ(g_xmlConfig.GetCurrentUser()->LOGINMODE, "2");
  EXPECT_EQ(g_xmlConfig.FindUser("work")->LOGINMODE, "2");
  EXPECT_TRUE(Holds(FileTree(), "/KOVCONFIG/LOGININFO/USERINFO/USER/LOGINMODE=2"));
  EXPECT_EQ(run_.app.GetLoginMode(), 2);
  ASSERT_NE(run_.Dialog(), nullptr);
  EXPECT_EQ(run_.Dialog()->templateId(), IDD_LOGIN_USB_KEY_ONLY);
  EXPECT_NE(ReadLogText().find("Login mode changed from 0 to 2"), std::string::npos);

  // Opened again, the mode's button is the selected one.
  ASSERT_TRUE(run_.Dialog()->UserClick(IDC_LOGIN_MODE));
  run_.host.RunUntilIdle();
  mode = run_.host.FindDialog(IDD_LOGIN_MODE);
  ASSERT_NE(mode, nullptr);
  EXPECT_TRUE(mode->IsChecked(IDC_MODE_USB_KEY_ONLY));
  EXPECT_FALSE(mode->IsChecked(IDC_MODE_PASSWORD));
}

TEST_F(LoginDialogTest, AutoLoginAt500MsOncePerOpening) {
  user_info work = Saved("work");
  work.PASSWORD = "remembered";
  work.REMPASSWORD = "1";
  run_.Store(work, true);
  run_.SetAutoLogin(true);
  // The service never becomes ready: the login stays in the readiness wait.
  run_.services.SetState("vqsvc", platform::service::SERVICE_STOPPED);

  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);
  run_.host.Advance(kAutoLoginDelayMs - 1);
  EXPECT_EQ(run_.app.Launcher().Running(), 0u) << "not at 499 ms";
  EXPECT_TRUE(run_.app.Login().idle);
  run_.host.Advance(1);
  EXPECT_EQ(run_.app.Launcher().Running(), 1u) << "at 500 ms";
  EXPECT_FALSE(run_.app.Login().idle);

  // Opened again during the wait (Connect, a second copy): busy, no second login.
  ui::Dialog* again = run_.Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Caption(), "Logining...");
  EXPECT_FALSE(again->IsEnabled(ui::IDOK));
  EXPECT_FALSE(again->HasTimer(kAutoLoginTimerId));
  run_.host.Advance(kAutoLoginDelayMs * 4);
  EXPECT_EQ(run_.log.Count("update:2"), 1) << "one connect started";
  EXPECT_EQ(run_.app.Launcher().Running(), 1u);
  EXPECT_TRUE(run_.BoxTexts().empty());

  // The wait given up: idle again, and the next opening logs in once more.
  run_.app.Launcher().CancelConnect();
  run_.app.Hooks().setLoginDialogIdle(run_.app, true);
  run_.host.RunUntilIdle();
  run_.services.SetState("vqsvc", platform::service::SERVICE_RUNNING);
  ASSERT_NE(run_.Open(), nullptr);
  run_.host.Advance(kAutoLoginDelayMs);
  ASSERT_TRUE(run_.RunConnect());
  EXPECT_EQ(run_.Opens().size(), 1u);
  run_.host.Advance(kAutoLoginDelayMs * 4);
  EXPECT_EQ(run_.Opens().size(), 1u) << "once per opening";
}

// SavePendingProfile, posted from the report pipe's thread as event 13 does.
TEST_F(LoginDialogTest, PendingProfileStoredOnceConnected) {
  user_info work = Saved("work", "bob", "10.0.0.1", "443");
  work.PROXSERVER = {"10.0.0.2:443", "10.0.0.3:443"};
  run_.Store(work);
  ASSERT_EQ(g_xmlConfig.SetCurrentUser("work") && g_xmlConfig.CopyToCurrentUser(work), true);
  ASSERT_EQ(g_xmlConfig.SetProxServers(work.PROXSERVER), 0);

  auto connectedFromWorker = [this] {
    std::thread([this] { run_.app.Hooks().savePendingProfile(run_.app); }).join();
    run_.host.RunUntilIdle();
  };
  struct Case {
    const char* what;
    std::string alias;
    std::string remember;
  };
  const Case cases[] = {
      {"new, password not remembered", "fresh", "0"},
      {"new, password remembered", "kept", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    user_info r = Saved(c.alias, "ann", "10.1.1.1", "4433");
    r.PASSWORD = "pw-" + c.alias;
    r.REMPASSWORD = c.remember;
    conn_info conn;
    conn.auth_type = AUTH_TYPE_PASSWORD;
    run_.app.SetConn(conn);
    BuildPendingProfile(run_.app, r);
    connectedFromWorker();
    EXPECT_FALSE(run_.app.Login().Pending()) << "freed";
    const std::optional<user_info> stored = g_xmlConfig.FindUser(c.alias);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->PASSWORD, c.remember == "1" ? r.PASSWORD : "");
    EXPECT_EQ(g_xmlConfig.GetCurrentUser()->ALIASID, c.alias);
    EXPECT_TRUE(Holds(FileTree(), "/KOVCONFIG/LOGININFO/CURRENTUSER=" + c.alias));
    // The file agrees after a reload.
    CXmlConfig reread;
    ASSERT_TRUE(reread.Load(XmlConfigPath()));
    EXPECT_EQ(reread.FindUser(c.alias)->PASSWORD, c.remember == "1" ? r.PASSWORD : "");
    EXPECT_EQ(reread.FindUser(c.alias)->HOST, "10.1.1.1");
  }

  // A stored one after a password login: updated, its preferred gateways kept.
  user_info update = Saved("work", "bob", "10.0.0.9", "443");
  update.PASSWORD = "typed";  // REMPASSWORD "0": never in the file
  BuildPendingProfile(run_.app, update);
  connectedFromWorker();
  CXmlConfig reread;
  ASSERT_TRUE(reread.Load(XmlConfigPath()));
  ASSERT_TRUE(reread.FindUser("work"));
  EXPECT_EQ(reread.FindUser("work")->HOST, "10.0.0.9");
  EXPECT_EQ(reread.FindUser("work")->PASSWORD, "");
  EXPECT_EQ(reread.FindUser("work")->PROXSERVER, work.PROXSERVER);
  EXPECT_EQ(g_xmlConfig.FindUser("work")->PROXSERVER, work.PROXSERVER);
  EXPECT_EQ(g_xmlConfig.GetCurrentUser()->PROXSERVER, work.PROXSERVER);
  EXPECT_EQ(g_xmlConfig.GetCurrentUser()->ALIASID, "work");
  EXPECT_EQ(reread.GetCurrentUser()->ALIASID, "work");
}

// A web login's profile: a saved connection with its login text lends its
// alias, and the auto-logon flag follows the current one with AUTOLOGIN.
TEST_F(LoginDialogTest, WebLoginProfileTakesTheSavedAliasAndTheAutoLogonFlag) {
  user_info office = Saved("office", "alice", "gw.example", "443");
  office.PROXDETECT = "1";
  run_.Store(office, true);
  run_.SetAutoLogin(true);
  struct Case {
    const char* what;
    std::string login;
    std::string alias;
    uint32_t init;
  };
  const Case cases[] = {
      {"a saved connection's login text", "alice@gw.example:443", "office", CONN_FLAG_AUTO_LOGON},
      {"a login nobody saved", "carol@gw.example:443", "carol@gw.example:443", 0},
  };
  EXPECT_FALSE(run_.app.Hooks().pendingProfileDetectsProximity(run_.app)) << "no pending profile yet";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.app.SetConn(conn_info{});
    WebLoginProfile profile;
    profile.alias = c.login;
    profile.name = c.login.substr(0, c.login.find('@'));
    profile.host = "gw.example";
    profile.port = "443";
    profile.pin = "1234";
    profile.loginMode = 1;
    run_.app.Hooks().buildWebPendingProfile(run_.app, profile);
    const std::optional<user_info> pending = run_.app.Login().Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->ALIASID, c.alias);
    EXPECT_EQ(pending->USBKEY, "1234");
    EXPECT_EQ(pending->PASSWORD, "");
    EXPECT_EQ(pending->LOGINMODE, "1");
    EXPECT_EQ(run_.app.Conn().init, c.init);
    // The web record carries no detection choice of its own.
    EXPECT_EQ(run_.app.Hooks().pendingProfileDetectsProximity(run_.app), std::optional<bool>(false));
  }
  BuildPendingProfile(run_.app, office);
  EXPECT_EQ(run_.app.Hooks().pendingProfileDetectsProximity(run_.app), std::optional<bool>(true));
  run_.app.Hooks().freePendingProfile(run_.app);
  EXPECT_FALSE(run_.app.Login().Pending());
}

// Cancel and the close box, with the dialog idle and during a login: the
// channel closed ([2]), the dialog hidden, Connect enabled.
TEST_F(LoginDialogTest, CancelAndCloseBoxEndTheLoginAndHide) {
  struct Case {
    const char* what;
    bool busy;
    bool closeBox;
  };
  const Case cases[] = {
      {"Cancel, idle", false, false},
      {"Cancel, busy", true, false},
      {"close box, idle", false, true},
      {"close box, busy", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_.services.SetState("vqsvc", platform::service::SERVICE_STOPPED);
    ui::Dialog* d = OpenIn(0);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->IsShown());
    if (c.busy) {
      Fill(*d, Fields());
      ASSERT_TRUE(d->UserClick(ui::IDOK));
      run_.host.RunUntilIdle();
      ASSERT_EQ(run_.app.Launcher().Running(), 1u);
      run_.app.Window()->Menu().SetGrayed(ID_CONNECT, true);
      run_.app.Window()->Menu().SetGrayed(ID_DISCONNECT, false);
    }
    const size_t closes = run_.Count(VQ_CLOSE_CHANNEL);
    const int switchEvents = run_.log.Count("switch-event");
    run_.app.Reports().processProxIp = true;
    if (c.closeBox) {
      ASSERT_TRUE(d->UserClose());
    } else {
      ASSERT_TRUE(d->UserClick(IDC_LOGIN_CANCEL));
    }
    run_.host.RunUntilIdle();
    EXPECT_EQ(run_.Count(VQ_CLOSE_CHANNEL), closes + 1);
    EXPECT_EQ(run_.app.Launcher().Running(), 0u) << "the waiting connect is cancelled";
    EXPECT_EQ(run_.Dialog(), d) << "kept, hidden";
    // Cancel during a login leaves the dialog in sight, the close box never.
    EXPECT_EQ(d->IsShown(), c.busy && !c.closeBox);
    EXPECT_TRUE(run_.app.Login().idle);
    EXPECT_FALSE(run_.app.Login().started);
    EXPECT_EQ(d->Caption(), "Login");
    EXPECT_FALSE(run_.app.Window()->Menu().IsGrayed(ID_CONNECT));
    EXPECT_TRUE(run_.app.Window()->Menu().IsGrayed(ID_DISCONNECT));
    EXPECT_FALSE(run_.app.Reports().processProxIp);
    EXPECT_EQ(run_.log.Count("switch-event"), switchEvents + 1);
    EXPECT_TRUE(run_.Opens().empty());
  }
}

TEST_F(LoginDialogTest, HiddenTestButtonClosesTheDialogAndOpensOptions) {
  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->Has(IDC_LOGIN_TEST));
  EXPECT_FALSE(d->IsVisible(IDC_LOGIN_TEST));
  d->SetVisible(IDC_LOGIN_TEST, true);  // as a tester would reach it
  ASSERT_TRUE(d->UserClick(IDC_LOGIN_TEST));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.Dialog(), nullptr);
  EXPECT_EQ(run_.log.Count("options"), 1);
}

// Shown without bringing forward (the SMS step's way): made when none is
// open, an open one left as it is.
TEST_F(LoginDialogTest, ShowWithoutBringingForwardLeavesAnOpenDialogAlone) {
  run_.app.Hooks().showLoginDialog(run_.app);
  ui::Dialog* d = run_.Dialog();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->templateId(), IDD_LOGIN_PASSWORD);
  d->ShowWindow(false);
  d->SetText(IDC_LOGIN_USER, "typed");
  run_.app.Hooks().showLoginDialog(run_.app);
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.Dialog(), d);
  EXPECT_FALSE(d->IsShown());
  EXPECT_EQ(d->Text(IDC_LOGIN_USER), "typed");
}

// The event-120 hide and a worker's idle reach the dialog through the UI thread.
TEST_F(LoginDialogTest, WorkersReachTheDialogByPosting) {
  ui::Dialog* d = OpenIn(0);
  ASSERT_NE(d, nullptr);
  std::thread([this] {
    run_.app.Hooks().setLoginDialogIdle(run_.app, false);
    run_.app.Hooks().hideLoginDialog(run_.app);
  }).join();
  EXPECT_TRUE(d->IsShown()) << "nothing touched from the worker";
  run_.host.RunUntilIdle();
  EXPECT_FALSE(d->IsShown());
  EXPECT_EQ(d->Caption(), "Logining...");
  EXPECT_FALSE(d->IsEnabled(IDC_LOGIN_SAVED));
}

}  // namespace

namespace {

// Every caption, label and button of the four templates has its text in
// both languages.
TEST(LoginTemplatesTest, EveryTextIsThereInEnglishAndChinese) {
  using namespace client;
  for (uint16_t language : {1033, 2052}) {
    const platform::ui::StringSource strings = vqtest::ClientStrings(language);
    for (const platform::ui::DialogTemplate* t :
         {&LoginPasswordTemplate(), &LoginUsbKeyTemplate(), &LoginUsbKeyOnlyTemplate(), &LoginModeTemplate()}) {
      SCOPED_TRACE(std::to_string(language) + " template " + std::to_string(t->id));
      const std::string* caption = strings(platform::ui::StringEntryId(t->id, 0));
      EXPECT_TRUE(caption && !caption->empty());
      for (const platform::ui::ControlSpec& c : t->controls) {
        if (c.kind != platform::ui::ControlKind::Label && c.kind != platform::ui::ControlKind::Button &&
            c.kind != platform::ui::ControlKind::Radio)
          continue;
        const std::string* text = strings(platform::ui::StringEntryId(t->id, c.id));
        EXPECT_TRUE(text && !text->empty()) << "control " << c.id;
      }
    }
  }
}

}  // namespace
