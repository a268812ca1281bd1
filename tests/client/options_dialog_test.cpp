// The Options dialog under the headless host: the tree and its pages, the
// checks of Saved Connection Apply, adding, changing, renaming and deleting
// connections in the store's file, and General Apply with the autostart
// entry and the tunnel service's auto-logon flag.
#include <gtest/gtest.h>

#include "client/options_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/run_as_user.h"
#include "platform/paths/paths.h"
#include "common/softhsm_user.h"
#include "client/cert/write_cert_settings.h"
#include "client/ui/select_certificate_dialog.h"
#include "support/registry_helpers.h"

namespace {

using namespace client;
using namespace optionstest;
using platform::ui::IDCANCEL;
using platform::ui::IDOK;

using OptionsDialogTest = OptionsTest;

TEST_F(OptionsDialogTest, OpensWithTheTreeAndTheGeneralPageAndSwitchesPages) {
  Seed({Connection("work"), Connection("home"), Connection("lab")}, "home", "1");
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), "Marrowlantern Options");
  const TreeHandle root = d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
  EXPECT_EQ(d->TreeItemText(IDC_OPTIONS_TREE, root), "Options");
  EXPECT_EQ(d->TreeItemText(IDC_OPTIONS_TREE, GeneralItem()), "General");
  EXPECT_EQ(d->TreeItemText(IDC_OPTIONS_TREE, SavedRoot()), "Saved Connection");
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"work", "home", "lab"}));
  EXPECT_EQ(d->TreeSelection(IDC_OPTIONS_TREE), GeneralItem());

  ASSERT_NE(General(), nullptr);
  ASSERT_NE(Saved(), nullptr);
  EXPECT_TRUE(General()->IsShown());
  EXPECT_FALSE(Saved()->IsShown());
  EXPECT_EQ(General()->ItemCount(IDC_DEFAULT_CONNECTION), 3);
  EXPECT_EQ(General()->Text(IDC_DEFAULT_CONNECTION), "home");
  EXPECT_TRUE(General()->IsChecked(IDC_AUTO_LOGIN));
  EXPECT_TRUE(General()->IsEnabled(IDC_DEFAULT_CONNECTION));
  EXPECT_FALSE(General()->IsChecked(IDC_AUTO_START));

  Pick("lab");
  EXPECT_TRUE(Saved()->IsShown());
  EXPECT_FALSE(General()->IsShown());
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "lab");
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_SERVER), "10.0.0.1");
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_PORT), "443");
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_USER), "bob");
  Pick(SavedRoot());
  EXPECT_TRUE(Saved()->IsShown());
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "") << "the root clears the page for a new connection";
  EXPECT_EQ(Saved()->Focus(), IDC_CONNECTION_NAME);
  Pick(GeneralItem());
  EXPECT_TRUE(General()->IsShown());
  EXPECT_FALSE(Saved()->IsShown());

  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_CLOSE);
  EXPECT_EQ(Top(), nullptr);
  EXPECT_EQ(General(), nullptr);
  EXPECT_EQ(Saved(), nullptr);

  // The Saved Connection page's Close and the close box end it too.
  Open();
  Pick("work");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_CLOSE);
  EXPECT_EQ(Top(), nullptr);
  Open();
  ASSERT_TRUE(host_.Close(IDD_OPTIONS));
  host_.RunUntilIdle();
  EXPECT_EQ(Top(), nullptr);
  EXPECT_EQ(Saved(), nullptr);
}

TEST_F(OptionsDialogTest, ShowingAConnectionSetsTheBoxesOfItsMode) {
  Seed({Connection("pw", "0", "secret"), Connection("both", "1", "secret", "1234"), Connection("key", "2", "", "9876"),
        Connection("bare", "1")});
  Open();
  struct Case {
    const char* alias;
    int mode;
    bool userOn, rememberPasswordOn, rememberPasswordTicked, passwordOn;
    std::string password;
    bool rememberPinOn, rememberPinTicked, pinOn;
    std::string pin, user;
  };
  const Case cases[] = {
      {"pw", 0, true, true, true, true, "secret", false, false, false, "", "bob"},
      {"both", 1, true, true, true, true, "secret", true, true, true, "1234", "bob"},
      {"key", 2, false, false, false, false, "", true, true, true, "9876", ""},
      {"bare", 1, true, true, false, false, "", true, false, false, "", "bob"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias);
    Pick(c.alias);
    Dialog* p = Saved();
    EXPECT_EQ(p->Selection(IDC_LOGIN_MODE), c.mode);
    EXPECT_EQ(p->IsEnabled(IDC_CONNECTION_USER), c.userOn);
    EXPECT_EQ(p->Text(IDC_CONNECTION_USER), c.user);
    EXPECT_EQ(p->IsEnabled(IDC_REMEMBER_PASSWORD), c.rememberPasswordOn);
    EXPECT_EQ(p->IsChecked(IDC_REMEMBER_PASSWORD), c.rememberPasswordTicked);
    EXPECT_EQ(p->IsEnabled(IDC_CONNECTION_PASSWORD), c.passwordOn);
    EXPECT_EQ(p->Text(IDC_CONNECTION_PASSWORD), c.password);
    EXPECT_EQ(p->IsEnabled(IDC_REMEMBER_PIN), c.rememberPinOn);
    EXPECT_EQ(p->IsChecked(IDC_REMEMBER_PIN), c.rememberPinTicked);
    EXPECT_EQ(p->IsEnabled(IDC_CONNECTION_PIN), c.pinOn);
    EXPECT_EQ(p->Text(IDC_CONNECTION_PIN), c.pin);
  }
}

TEST_F(OptionsDialogTest, ModeChangeSetsWhatCanBeTyped) {
  Seed({Connection("both", "1", "secret", "1234")});
  Open();
  struct Case {
    int mode;
    bool user, rememberPassword, rememberPin;
  };
  const Case cases[] = {{0, true, true, false}, {1, true, true, true}, {2, false, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Pick(GeneralItem());
    Pick("both");  // mode 1, password and PIN remembered
    if (c.mode == 1) {
      Mode(2);
      Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PIN, true);
    }
    ASSERT_TRUE(Saved()->IsChecked(IDC_REMEMBER_PIN));
    Mode(c.mode);
    Dialog* p = Saved();
    EXPECT_EQ(p->IsEnabled(IDC_CONNECTION_USER), c.user);
    EXPECT_EQ(p->IsEnabled(IDC_REMEMBER_PASSWORD), c.rememberPassword);
    EXPECT_EQ(p->IsEnabled(IDC_REMEMBER_PIN), c.rememberPin);
    EXPECT_FALSE(p->IsChecked(IDC_REMEMBER_PASSWORD));
    EXPECT_FALSE(p->IsChecked(IDC_REMEMBER_PIN));
    EXPECT_FALSE(p->IsEnabled(IDC_CONNECTION_PASSWORD));
    EXPECT_FALSE(p->IsEnabled(IDC_CONNECTION_PIN));
    EXPECT_EQ(p->Text(IDC_CONNECTION_PASSWORD), "");
    EXPECT_EQ(p->Text(IDC_CONNECTION_PIN), "");
    if (c.rememberPassword) {
      Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PASSWORD, true);
      EXPECT_TRUE(p->IsEnabled(IDC_CONNECTION_PASSWORD));
      Type(IDC_CONNECTION_PASSWORD, "typed");
      Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PASSWORD, false);
      EXPECT_FALSE(p->IsEnabled(IDC_CONNECTION_PASSWORD));
      EXPECT_EQ(p->Text(IDC_CONNECTION_PASSWORD), "");
    }
    if (c.rememberPin) {
      Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PIN, true);
      EXPECT_TRUE(p->IsEnabled(IDC_CONNECTION_PIN));
    }
  }
}

TEST_F(OptionsDialogTest, ApplyChecksTheFieldsInOrder) {
  Seed({Connection("work")});
  Open();
  const std::string before = File();
  struct Case {
    const char* what;
    std::string server, port, user;
    int mode;
    bool rememberPassword, rememberPin;
    uint32_t box;
    int focus;
  };
  const Case cases[] = {
      {"server empty", "", "443", "alice", 0, false, false, IDS_NO_SERVER, IDC_CONNECTION_SERVER},
      {"port empty", "gw", "", "alice", 0, false, false, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT},
      {"port 0", "gw", "0", "alice", 0, false, false, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT},
      {"port 65536", "gw", "65536", "alice", 0, false, false, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT},
      {"port 12a", "gw", "12a", "alice", 0, false, false, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT},
      {"port -1", "gw", "-1", "alice", 0, false, false, IDS_INVALID_PORT_RANGE, IDC_CONNECTION_PORT},
      {"user empty, mode 0", "gw", "443", "", 0, false, false, IDS_NO_USER, IDC_CONNECTION_USER},
      {"user empty, mode 1", "gw", "443", "", 1, false, false, IDS_NO_USER, IDC_CONNECTION_USER},
      {"remembered password empty", "gw", "443", "alice", 0, true, false, IDS_PASSWORD_NULL, 0},
      {"remembered PIN empty", "gw", "443", "alice", 1, false, true, IDS_PIN_NULL, 0},
      {"mode 2 without a token", "gw", "443", "", 2, false, false, IDS_NO_USB_KEY, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pick(GeneralItem());
    FillNew("new", c.server, c.port, c.user);
    Mode(c.mode);
    if (c.rememberPassword) Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PASSWORD, true);
    if (c.rememberPin) Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PIN, true);
    Saved()->SetFocus(IDC_CONNECTION_NAME);
    Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
    ASSERT_EQ(Boxes(), std::vector<uint32_t>{c.box});
    EXPECT_EQ(BoxOf(c.box)->caption, kProductTitle);
    EXPECT_EQ(BoxOf(c.box)->flags, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
    EXPECT_EQ(Saved()->Focus(), c.focus ? c.focus : IDC_CONNECTION_NAME);
    ASSERT_TRUE(Answer(c.box));
    EXPECT_EQ(File(), before);
    EXPECT_EQ(TreeAliases(), std::vector<std::string>{"work"});
  }
}

TEST_F(OptionsDialogTest, ModeTwoTakesTheUserNameOfTheKey) {
  vqtest::SoftHsmUser key;
  CertSettings useDefault;
  useDefault.IsUseDefaultCert = 1;
  ASSERT_EQ(WriteCertSettings(useDefault, PRODUCT_SETTINGS_KEY), 0);
  std::string keyUser;
  ASSERT_EQ(GetUsbKeyUserName(keyUser), 0);
  Open();
  FillNew("token", "gw.example", "443", "");
  Mode(2);
  EXPECT_FALSE(Saved()->IsEnabled(IDC_REMEMBER_PASSWORD));
  EXPECT_FALSE(Saved()->IsEnabled(IDC_CONNECTION_PASSWORD));
  EXPECT_FALSE(Saved()->IsEnabled(IDC_CONNECTION_USER));
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_ADD_CONNECTION));
  const auto stored = StoredUser("token");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->NAME, keyUser);
  EXPECT_EQ(stored->LOGINMODE, "2");
  EXPECT_EQ(stored->REMPASSWORD, "0");
}

TEST_F(OptionsDialogTest, AnEmptyNameBecomesUserAtServerPortMadeUnique) {
  Open();
  for (const char* expected : {"u@h:443", "u@h:443_1"}) {
    SCOPED_TRACE(expected);
    FillNew("", "h", "0443", "u");
    Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
    ASSERT_TRUE(Answer(IDS_ADD_CONNECTION));
    EXPECT_EQ(TreeAliases().back(), expected);
    EXPECT_EQ(Top()->TreeItemText(IDC_OPTIONS_TREE, Top()->TreeSelection(IDC_OPTIONS_TREE)), expected);
    EXPECT_EQ(StoredUser(expected)->PORT, "443");
  }
  EXPECT_EQ(StoredAliases(), (std::vector<std::string>{"u@h:443", "u@h:443_1"}));
}

TEST_F(OptionsDialogTest, AddStoresListsAndSelectsANewConnectionAndRefusesATakenName) {
  Seed({Connection("work")});
  Open();
  FillNew("home", "gw.example", "8443", "alice");
  Mode(1);
  Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PASSWORD, true);
  Type(IDC_CONNECTION_PASSWORD, "pa55");
  Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PIN, true);
  Type(IDC_CONNECTION_PIN, "1234");
  Tick(IDD_SAVED_CONNECTION, IDC_PROXIMITY_DETECTION, true);
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_EQ(Boxes(), std::vector<uint32_t>{IDS_ADD_CONNECTION});
  EXPECT_EQ(BoxOf(IDS_ADD_CONNECTION)->caption, "Marrowlantern Options");
  EXPECT_EQ(BoxOf(IDS_ADD_CONNECTION)->flags, platform::ui::MB_OKCANCEL);
  ASSERT_TRUE(Answer(IDS_ADD_CONNECTION));

  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"work", "home"}));
  EXPECT_EQ(Top()->TreeSelection(IDC_OPTIONS_TREE), Item("home"));
  client::user_info expected = Connection("home", "1", "pa55", "1234");
  expected.NAME = "alice";
  expected.HOST = "gw.example";
  expected.PORT = "8443";
  expected.PROXDETECT = "1";
  const auto stored = StoredUser("home");
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, expected);
  EXPECT_EQ(*store_.FindUser("home"), expected) << "the list holds what the file holds";
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "home");

  // Another new one with a name in use.
  FillNew("work");
  const std::string before = File();
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_EQ(Boxes(), std::vector<uint32_t>{IDS_CONNECTION_EXISTS});
  EXPECT_EQ(BoxOf(IDS_CONNECTION_EXISTS)->flags, platform::ui::MB_OK);
  EXPECT_EQ(Saved()->Focus(), IDC_CONNECTION_NAME);
  ASSERT_TRUE(Answer(IDS_CONNECTION_EXISTS));
  EXPECT_EQ(File(), before);
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"work", "home"}));
}

TEST_F(OptionsDialogTest, ChangeUnderTheSameNameSavesEveryFieldAndKeepsThePreferredGateways) {
  Seed({Connection("work", "0", "old"), Connection("home")}, "work");
  store_.SetProxServers({"10.1.1.1:443"});
  Open();
  Pick("work");
  Type(IDC_CONNECTION_SERVER, "new.example");
  Type(IDC_CONNECTION_PORT, "10443");
  Type(IDC_CONNECTION_USER, "carol");
  Mode(1);
  Tick(IDD_SAVED_CONNECTION, IDC_REMEMBER_PIN, true);
  Type(IDC_CONNECTION_PIN, "4321");
  Tick(IDD_SAVED_CONNECTION, IDC_PROXIMITY_DETECTION, true);
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_CONNECTION));
  EXPECT_TRUE(Boxes().empty());

  const auto stored = StoredUser("work");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->HOST, "new.example");
  EXPECT_EQ(stored->PORT, "10443");
  EXPECT_EQ(stored->NAME, "carol");
  EXPECT_EQ(stored->LOGINMODE, "1");
  EXPECT_EQ(stored->REMPASSWORD, "0");
  EXPECT_EQ(stored->PASSWORD, "") << "the mode change cleared the remembered password";
  EXPECT_EQ(stored->REMPINWORD, "1");
  EXPECT_EQ(stored->USBKEY, "4321");
  EXPECT_EQ(stored->PROXDETECT, "1");
  EXPECT_EQ(stored->PROXSERVER, std::vector<std::string>{"10.1.1.1:443"});
  EXPECT_EQ(store_.FindUser("work")->PROXSERVER, std::vector<std::string>{"10.1.1.1:443"});
  EXPECT_EQ(store_.GetCurrentUser()->HOST, "new.example") << "the current record follows its connection";
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"work", "home"}));
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_SERVER), "new.example");
}

TEST_F(OptionsDialogTest, ANewNameRenamesTheConnectionAndTheCurrentOneStaysCurrent) {
  Seed({Connection("work"), Connection("home")}, "work", "1");
  Open();
  Pick("work");
  Type(IDC_CONNECTION_NAME, "office");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_CONNECTION));
  EXPECT_TRUE(Boxes().empty());

  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"office", "home"}));
  EXPECT_EQ(Top()->TreeSelection(IDC_OPTIONS_TREE), Item("office"));
  EXPECT_EQ(StoredAliases(), (std::vector<std::string>{"home", "office"}));
  EXPECT_EQ(store_.FindUser("work"), std::nullopt);
  ASSERT_TRUE(store_.FindUser("office"));
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "office");
  EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "1");
  EXPECT_EQ(store_.GetCurrentUser()->ALIASID, "office");
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "office");

  // Renaming one that is not current leaves the current one alone.
  Pick("home");
  Type(IDC_CONNECTION_NAME, "house");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_CONNECTION));
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"office", "house"}));
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "office");
}

TEST_F(OptionsDialogTest, AnotherConnectionsNameOrCancelChangesNothing) {
  Seed({Connection("work"), Connection("home")}, "work");
  Open();
  const std::string before = File();

  Pick("work");
  Type(IDC_CONNECTION_NAME, "home");
  Type(IDC_CONNECTION_SERVER, "elsewhere");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_CONNECTION));
  ASSERT_EQ(Boxes(), std::vector<uint32_t>{IDS_CONNECTION_EXISTS});
  ASSERT_TRUE(Answer(IDS_CONNECTION_EXISTS));
  EXPECT_EQ(File(), before);
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"work", "home"}));
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "work") << "the page shows the selected connection again";

  Type(IDC_CONNECTION_SERVER, "elsewhere");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_CONNECTION, IDCANCEL));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(File(), before);
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_SERVER), "10.0.0.1");
}

TEST_F(OptionsDialogTest, DeleteRemovesTheSelectedConnectionWhateverWasTyped) {
  Seed({Connection("work"), Connection("home"), Connection("lab")}, "home", "1");
  Open();
  Pick("work");
  Type(IDC_CONNECTION_NAME, "lab");  // typed, not selected
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
  ASSERT_EQ(Boxes(), std::vector<uint32_t>{IDS_DELETE_CONNECTION});
  EXPECT_EQ(BoxOf(IDS_DELETE_CONNECTION)->flags, platform::ui::MB_OKCANCEL);
  ASSERT_TRUE(Answer(IDS_DELETE_CONNECTION));
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"home", "lab"}));
  EXPECT_EQ(StoredAliases(), (std::vector<std::string>{"home", "lab"}));
  EXPECT_EQ(store_.FindUser("work"), std::nullopt);
  EXPECT_EQ(Top()->TreeSelection(IDC_OPTIONS_TREE), Item("home")) << "the first one left is shown";
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "home");
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "home");
  EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "1");
  EXPECT_TRUE(Sent().empty()) << "the current connection stayed";

  // Cancel at 355 keeps it.
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
  ASSERT_TRUE(Answer(IDS_DELETE_CONNECTION, IDCANCEL));
  EXPECT_EQ(TreeAliases(), (std::vector<std::string>{"home", "lab"}));

  // The current one: no current connection, no automatic login, and the
  // tunnel service is told.
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
  ASSERT_TRUE(Answer(IDS_DELETE_CONNECTION));
  EXPECT_EQ(TreeAliases(), std::vector<std::string>{"lab"});
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "");
  EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "0");
  EXPECT_EQ(Sent(), std::vector<Bytes>{Bytes({4, 0, 0})});

  // The last one: the page is cleared for a new connection.
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
  ASSERT_TRUE(Answer(IDS_DELETE_CONNECTION));
  EXPECT_TRUE(TreeAliases().empty());
  EXPECT_TRUE(StoredAliases().empty());
  EXPECT_EQ(Saved()->Text(IDC_CONNECTION_NAME), "");
  EXPECT_TRUE(Saved()->IsShown());

  // With nothing selected a typed name deletes nothing.
  Type(IDC_CONNECTION_NAME, "ghost");
  Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(OptionsDialogTest, TheTreesPopupOffersWhatTheItemAllows) {
  Seed({Connection("work")});
  Open();
  struct Case {
    const char* what;
    TreeHandle item;
    std::vector<int> commands;
  };
  const Case cases[] = {
      {"Saved Connection", SavedRoot(), {ID_ADD_USER}},
      {"a connection", Item("work"), {ID_DELETE_USER}},
      {"General", GeneralItem(), {ID_ADD_USER, ID_DELETE_USER}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(host_.Notify(IDD_OPTIONS, IDC_OPTIONS_TREE, platform::ui::NM_RCLICK, c.item));
    host_.RunUntilIdle();
    EXPECT_EQ(Top()->TreeSelection(IDC_OPTIONS_TREE), c.item) << "right click selects";
    const platform::ui::MenuModel* menu = host_.OpenPopup();
    ASSERT_NE(menu, nullptr);
    std::vector<int> commands;
    for (const auto& item : menu->items()) commands.push_back(item.command);
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(menu->items().front().text, c.commands.front() == ID_ADD_USER ? "Add User" : "Delete User");
    ASSERT_TRUE(host_.ChoosePopup(0));
  }

  // "Add User" from General: the Saved Connection page, cleared.
  host_.Notify(IDD_OPTIONS, IDC_OPTIONS_TREE, platform::ui::NM_RCLICK, GeneralItem());
  ASSERT_TRUE(host_.ChoosePopup(ID_ADD_USER));
  host_.RunUntilIdle();
  EXPECT_TRUE(Saved()->IsShown());
  EXPECT_EQ(Top()->TreeSelection(IDC_OPTIONS_TREE), SavedRoot());
  EXPECT_EQ(Saved()->Focus(), IDC_CONNECTION_NAME);

  // "Delete User" on a connection asks, then deletes it.
  host_.Notify(IDD_OPTIONS, IDC_OPTIONS_TREE, platform::ui::NM_RCLICK, Item("work"));
  ASSERT_TRUE(host_.ChoosePopup(ID_DELETE_USER));
  ASSERT_TRUE(Answer(IDS_DELETE_CONNECTION));
  EXPECT_TRUE(TreeAliases().empty());
  EXPECT_TRUE(StoredAliases().empty());
}

// General Apply.

TEST_F(OptionsDialogTest, GeneralApplyWritesAutoStartAndAutoLoginAndTellsTheService) {
  Seed({Connection("work"), Connection("home", "0")}, "work", "0");
  Open();
  EXPECT_FALSE(General()->IsEnabled(IDC_DEFAULT_CONNECTION));
  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_START, true);
  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, true);
  EXPECT_TRUE(General()->IsEnabled(IDC_DEFAULT_CONNECTION));
  ASSERT_TRUE(host_.Select(IDD_OPTIONS_GENERAL, IDC_DEFAULT_CONNECTION, 1));
  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY);
  ASSERT_EQ(Boxes(), std::vector<uint32_t>{IDS_CHANGE_SETTING});
  EXPECT_EQ(BoxOf(IDS_CHANGE_SETTING)->caption, "Marrowlantern Options");
  ASSERT_TRUE(Answer(IDS_CHANGE_SETTING));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(platform::shell::HasAutoStart(kAutoStartName));
  EXPECT_NE(vqtest::ReadFileBytes(platform::shell::AutoStartPath(kAutoStartName)).find(platform::paths::ModulePath()),
            std::string::npos);
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "home") << "mode 0 needs no saved password";
  EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "1");
  EXPECT_EQ(store_.GetCurrentUser()->ALIASID, "home");
  EXPECT_EQ(Sent(), std::vector<Bytes>{Bytes({4, 1, 0})});

  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_START, false);
  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, false);
  EXPECT_FALSE(General()->IsEnabled(IDC_DEFAULT_CONNECTION));
  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_SETTING));
  EXPECT_FALSE(platform::shell::HasAutoStart(kAutoStartName));
  EXPECT_FALSE(vqtest::PathExists(platform::shell::AutoStartPath(kAutoStartName)));
  EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "0");
  EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), "home");
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Bytes({4, 1, 0}), Bytes({4, 0, 0})}));

  // Opened again, the page shows what was written.
  ASSERT_TRUE(platform::shell::SetAutoStart(kAutoStartName, "/opt/x/bin/Marrowlantern") == 0);
  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_CLOSE);
  Open();
  EXPECT_TRUE(General()->IsChecked(IDC_AUTO_START));
  EXPECT_FALSE(General()->IsChecked(IDC_AUTO_LOGIN));
  EXPECT_EQ(General()->Text(IDC_DEFAULT_CONNECTION), "home");
}

TEST_F(OptionsDialogTest, GeneralApplyRefusesAnAutoLoginThatCannotWork) {
  Seed({Connection("bare1", "1"), Connection("pin1", "1", "", "1234"), Connection("bare2", "2"),
        Connection("key2", "2", "", "1234"), Connection("all1", "1", "pw", "1234")},
       "", "0");
  Open();
  struct Case {
    const char* what;
    int connection;  // index in 1068; -1: none
    std::optional<uint32_t> box;
    std::string current;
  };
  const Case cases[] = {
      {"no default connection", -1, IDS_NO_DEFAULT_CONNECTION, ""},
      {"mode 1 without a PIN", 0, IDS_NO_SAVED_PIN, ""},
      {"mode 1 without a password", 1, IDS_NO_SAVED_PASSWORD, ""},
      {"mode 2 without a PIN", 2, IDS_NO_SAVED_PIN, ""},
      {"mode 2 with its PIN", 3, std::nullopt, "key2"},
      {"mode 1 with both", 4, std::nullopt, "all1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t sent = Sent().size();
    Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, true);
    General()->SetSelection(IDC_DEFAULT_CONNECTION, c.connection);
    Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY);
    ASSERT_TRUE(Answer(IDS_CHANGE_SETTING));
    if (c.box) {
      ASSERT_EQ(Boxes(), std::vector<uint32_t>{*c.box});
      EXPECT_EQ(BoxOf(*c.box)->flags, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
      ASSERT_TRUE(Answer(*c.box));
      EXPECT_FALSE(General()->IsChecked(IDC_AUTO_LOGIN));
      EXPECT_FALSE(General()->IsEnabled(IDC_DEFAULT_CONNECTION));
      EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "0");
      EXPECT_EQ(Sent().size(), sent) << "nothing told";
    } else {
      EXPECT_TRUE(Boxes().empty());
      EXPECT_EQ(StoredValue(XmlConfigXPath::AutoLogin), "1");
      EXPECT_EQ(Sent().back(), Bytes({4, 1, 0}));
      EXPECT_EQ(store_.GetCurrentUser()->ALIASID, c.current);
    }
    EXPECT_EQ(StoredValue(XmlConfigXPath::CurrentUser), c.current);
  }
}

TEST_F(OptionsDialogTest, GeneralCancelOnlyRefreshesThePage) {
  Seed({Connection("work")}, "work", "1");
  Open();
  const std::string before = File();
  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, false);
  Tick(IDD_OPTIONS_GENERAL, IDC_AUTO_START, true);
  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY);
  ASSERT_TRUE(Answer(IDS_CHANGE_SETTING, IDCANCEL));
  EXPECT_TRUE(General()->IsChecked(IDC_AUTO_LOGIN));
  EXPECT_FALSE(General()->IsChecked(IDC_AUTO_START));
  EXPECT_EQ(File(), before);
  EXPECT_FALSE(platform::shell::HasAutoStart(kAutoStartName));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(OptionsDialogTest, SelectCertRunsTheCertificateChoiceAndStoresItOnOk) {
  Open();
  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_SELECT_CERT);
  Dialog* select = host_.FindDialog(IDD_SELECT_CERTIFICATE);
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(select->owner(), Top());
  EXPECT_FALSE(host_.Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY)) << "modal to the options dialog";
  Click(IDD_SELECT_CERTIFICATE, platform::ui::IDCANCEL);
  EXPECT_TRUE(vqtest::StoredCertValues().empty()) << "Cancel stores nothing";

  Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_SELECT_CERT);
  Tick(IDD_SELECT_CERTIFICATE, IDC_USE_DEFAULT_CERT, true);
  Click(IDD_SELECT_CERTIFICATE, IDOK);
  EXPECT_EQ(host_.FindDialog(IDD_SELECT_CERTIFICATE), nullptr);
  EXPECT_EQ(app_.Certificates().Get().IsUseDefaultCert, 1u);
  const auto stored = vqtest::StoredCertValues();
  ASSERT_EQ(stored.count("IsUseDefaultCert"), 1u);
  EXPECT_EQ(stored.at("IsUseDefaultCert").data, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_TRUE(Boxes().empty());
}

// A store whose folder cannot be written: every change is refused with the
// error box, and the tree, the list and the file stay as they were. Root
// writes anywhere, so then the dialog runs as another user.
TEST_F(OptionsDialogTest, AFailedSaveShowsAnErrorAndChangesNothing) {
  Seed({Connection("work"), Connection("home")}, "work", "0");
  const std::string before = File();
  const std::string path = XmlConfigPath();
  const auto tryChanges = [&path] {
    platform::FakeClock clock;
    platform::ui::HeadlessHost host(clock);
    host.SetStrings(vqtest::ClientStrings(1033));
    CXmlConfig store;
    if (!store.Load(path)) return 1;
    std::vector<bool> told;
    OptionsContext context;
    context.store = &store;
    context.applyAutoLogonFlag = [&told](bool on) { told.push_back(on); };
    context.hasAutoStart = [] { return false; };
    context.deleteAutoStart = [] { return true; };
    Dialog* d = OpenOptionsDialog(host, nullptr, context);
    host.RunUntilIdle();
    if (d == nullptr) return 2;
    const auto aliases = [d] {
      std::vector<std::string> out;
      const TreeHandle root = d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
      const TreeHandle saved = d->TreeChildren(IDC_OPTIONS_TREE, root).at(1);
      for (TreeHandle h : d->TreeChildren(IDC_OPTIONS_TREE, saved)) out.push_back(d->TreeItemText(IDC_OPTIONS_TREE, h));
      return out;
    };
    const auto item = [d](int n) {
      const TreeHandle root = d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
      const TreeHandle saved = d->TreeChildren(IDC_OPTIONS_TREE, root).at(1);
      return n < 0 ? saved : d->TreeChildren(IDC_OPTIONS_TREE, saved).at(static_cast<size_t>(n));
    };
    // Answers the one box waiting, which must be stringId.
    const auto answer = [&host](uint32_t stringId) {
      host.RunUntilIdle();
      if (host.PendingBoxes().size() != 1 || host.PendingBoxes()[0].text.stringId != stringId) return false;
      host.AnswerBox(host.PendingBoxes()[0].serial, IDOK);
      host.RunUntilIdle();
      return true;
    };
    const std::vector<std::string> tree{"work", "home"};

    // Add.
    host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, item(-1));
    host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_NAME, "new");
    host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_SERVER, "gw");
    host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_PORT, "443");
    host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_USER, "u");
    host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
    if (!answer(IDS_ADD_CONNECTION) || !answer(IDS_OPTIONS_NOT_SAVED)) return 3;
    if (aliases() != tree || store.FindUser("new")) return 4;
    if (host.FindDialog(IDD_SAVED_CONNECTION)->Text(IDC_CONNECTION_NAME) != "new") return 5;

    // Rename the current one.
    host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, item(0));
    host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_NAME, "office");
    host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY);
    if (!answer(IDS_CHANGE_CONNECTION) || !answer(IDS_OPTIONS_NOT_SAVED)) return 6;
    if (aliases() != tree || !store.FindUser("work") || store.FindUser("office")) return 7;
    if (store.GetNodeText(XmlConfigXPath::CurrentUser) != "work") return 8;

    // Delete.
    host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, item(1));
    host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE);
    if (!answer(IDS_DELETE_CONNECTION) || !answer(IDS_OPTIONS_NOT_SAVED)) return 9;
    if (aliases() != tree || !store.FindUser("home")) return 10;

    // General Apply: nothing told when AUTOLOGIN could not be written.
    host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, d->TreeChildren(IDC_OPTIONS_TREE, d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0)).at(0));
    host.Check(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, true);
    host.Select(IDD_OPTIONS_GENERAL, IDC_DEFAULT_CONNECTION, 1);
    host.Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY);
    if (!answer(IDS_CHANGE_SETTING) || !answer(IDS_OPTIONS_NOT_SAVED)) return 11;
    if (!told.empty() || store.GetNodeText(XmlConfigXPath::CurrentUser) != "work") return 12;
    return 0;
  };
  const std::string folder = XmlConfigFolder();
  if (::geteuid() == 0) {
    // The way down to the file for the other user, the file its own, the
    // folder not writable.
    for (std::string p = folder; p.size() > root_.path().size(); p = p.substr(0, p.rfind('/')))
      ASSERT_EQ(::chmod(p.c_str(), 0755), 0) << p;
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    ASSERT_EQ(::chown(path.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);
    EXPECT_EQ(vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, tryChanges), 0);
  } else {
    ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);
    EXPECT_EQ(tryChanges(), 0);
  }
  ::chmod(folder.c_str(), 0700);
  EXPECT_EQ(File(), before);
}

}  // namespace
