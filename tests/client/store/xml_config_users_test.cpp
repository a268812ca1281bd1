#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/store/user_info_list.h"
#include "client/store/xml_config.h"
#include "store_fixture.h"

namespace {

using client::CXmlConfig;
using client::user_info;
using client::user_info_list;
using client::XmlConfigXPath;
using storetest::Fixture;
using storetest::Record;
using storetest::Tree;

TEST(ClientStoreList, AddFindAndRemoveByExactAlias) {
  user_info_list list;
  EXPECT_TRUE(list.Add(Record("Work", "bob", "10.0.0.1", "443")));
  // Letter case makes another alias.
  EXPECT_TRUE(list.Add(Record("work", "eve", "10.0.0.2", "0443")));
  EXPECT_FALSE(list.Add(Record("work", "mallory")));
  EXPECT_EQ(list.count(), 2);
  EXPECT_EQ(list.FindByAlias("work")->NAME, "eve");
  EXPECT_TRUE(list.Contains(Record("Work")));
  EXPECT_FALSE(list.Contains(Record("WORK")));

  EXPECT_EQ(list.FindByLogin("bob@10.0.0.1:443")->ALIASID, "Work");
  // Port texts compare as text: 443 is not 0443.
  EXPECT_EQ(list.FindByLogin("eve@10.0.0.2:443"), nullptr);
  EXPECT_EQ(list.FindByLogin("eve@10.0.0.2:0443")->ALIASID, "work");

  list.Remove(Record("absent"));
  EXPECT_EQ(list.count(), 2);
  list.Remove(Record("Work"));
  EXPECT_EQ(list.count(), 1);
  EXPECT_EQ(list.begin()->ALIASID, "work");
  list.Clear();
  EXPECT_TRUE(list.empty());
}

// Every row starts from the same file: "cur" (current, with ISCURRENT),
// "two" stored twice, "rem" with a remembered password.
const char kStart[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KOVCONFIG><CONFIGVERS>1.0</CONFIGVERS><LOGININFO><USERINFO>"
    "<USER><ALIASID>cur</ALIASID><NAME>carol</NAME><HOST>10.0.0.1</HOST><PORT>443</PORT><PASSWORD></PASSWORD>"
    "<REMPASSWORD>0</REMPASSWORD><USBKEY></USBKEY><REMPINWORD>0</REMPINWORD><LOGINMODE>0</LOGINMODE>"
    "<PROXDETECT>1</PROXDETECT><ISCURRENT>1</ISCURRENT>"
    "<PROXSERVER><IP>10.0.0.7:443</IP></PROXSERVER></USER>"
    "<USER><ALIASID>two</ALIASID><NAME>first</NAME><HOST>h</HOST><PORT>1</PORT></USER>"
    "<USER><ALIASID>two</ALIASID><NAME>second</NAME><HOST>h</HOST><PORT>2</PORT></USER>"
    "</USERINFO><CURRENTUSER>cur</CURRENTUSER><AUTOLOGIN>0</AUTOLOGIN></LOGININFO></KOVCONFIG>\n";

class ClientStoreUsersTest : public storetest::StoreTest {
 public:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(LoadBytes(store_, kStart));
    // The rows compare against the file in the store's own layout.
    ASSERT_TRUE(store_.Save());
    start_ = FileBytes();
  }
  // The element texts of the connection's first USER in the file, "NAME=bob".
  std::vector<std::string> StoredUser(const std::string& alias) const {
    std::vector<std::string> fields;
    const std::string prefix = "/KOVCONFIG/LOGININFO/USERINFO/USER/";
    bool in = false;
    for (const std::string& line : Tree(FileBytes())) {
      if (line == "/KOVCONFIG/LOGININFO/USERINFO/USER") {
        if (in) break;
        fields.clear();
        continue;
      }
      if (line.rfind(prefix, 0) != 0) continue;
      fields.push_back(line.substr(prefix.size()));
      if (line == prefix + "ALIASID=" + alias) in = true;
    }
    return in ? fields : std::vector<std::string>{};
  }
  size_t Count(const std::string& needle) const {
    size_t n = 0;
    const std::string bytes = FileBytes();
    for (size_t at = bytes.find(needle); at != std::string::npos; at = bytes.find(needle, at + 1)) ++n;
    return n;
  }

  CXmlConfig store_;
  std::string start_;
};

TEST_F(ClientStoreUsersTest, Operations) {
  const struct {
    const char* name;
    std::function<bool(CXmlConfig&)> run;  // the operation's result
    bool result;
    bool fileChanged;
    std::function<void(ClientStoreUsersTest&)> check;
  } rows[] = {
      {"AddUser writes the children in order",
       [](CXmlConfig& s) { return s.AddUser(Record("new", "nina", "gw", "8443")); }, true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.StoredUser("new"),
                   (std::vector<std::string>{"ALIASID=new", "NAME=nina", "HOST=gw", "PORT=8443", "PASSWORD=",
                                             "REMPASSWORD=0", "USBKEY=", "REMPINWORD=0", "LOGINMODE=0",
                                             "PROXDETECT=0"}));
         // The list is the caller's to change.
         EXPECT_FALSE(t.store_.FindUser("new"));
       }},
      {"AddUser of an alias the file holds",
       [](CXmlConfig& s) { return s.AddUser(Record("cur", "other")); }, false, false, nullptr},
      {"AddUser with an empty NAME", [](CXmlConfig& s) { return s.AddUser(Record("new", "")); }, false, false,
       nullptr},
      {"SaveUser of an alias not stored adds it",
       [](CXmlConfig& s) { return s.SaveUser(Record("new", "nina")); }, true, true,
       [](ClientStoreUsersTest& t) { EXPECT_EQ(t.StoredUser("new").at(1), "NAME=nina"); }},
      {"SaveUser of an alias not stored, empty NAME",
       [](CXmlConfig& s) { return s.SaveUser(Record("new", "")); }, false, false, nullptr},
      {"SaveUser of an alias not stored, empty HOST",
       [](CXmlConfig& s) { return s.SaveUser(Record("new", "nina", "")); }, false, false, nullptr},
      {"SaveUser rewrites the children the connection has",
       [](CXmlConfig& s) {
         user_info r = *s.FindUser("cur");
         r.NAME = "carla";
         r.PORT = "4443";
         r.ISCURRENT = "x";
         r.PROXSERVER.clear();  // not the store's to write here
         return s.SaveUser(r);
       },
       true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.StoredUser("cur"),
                   (std::vector<std::string>{"ALIASID=cur", "NAME=carla", "HOST=10.0.0.1", "PORT=4443",
                                             "PASSWORD=", "REMPASSWORD=0", "USBKEY=", "REMPINWORD=0",
                                             "LOGINMODE=0", "PROXDETECT=1", "ISCURRENT=x", "PROXSERVER",
                                             "PROXSERVER/IP=10.0.0.7:443"}));
       }},
      {"SaveUser creates no missing child",
       [](CXmlConfig& s) {
         user_info r = Record("two", "third");
         r.PASSWORD = "pw";
         r.REMPASSWORD = "1";
         return s.SaveUser(r);
       },
       true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.StoredUser("two"), (std::vector<std::string>{"ALIASID=two", "NAME=third", "HOST=10.0.0.1",
                                                                  "PORT=443"}));
       }},
      {"SaveUserField LOGINMODE changes only that",
       [](CXmlConfig& s) {
         user_info r = *s.FindUser("cur");
         r.LOGINMODE = "2";
         r.NAME = "not saved";
         return s.SaveUserField(r, "LOGINMODE");
       },
       true, true,
       [](ClientStoreUsersTest& t) {
         const auto f = t.StoredUser("cur");
         EXPECT_EQ(f.at(1), "NAME=carol");
         EXPECT_EQ(f.at(8), "LOGINMODE=2");
       }},
      {"SaveUserField PROXDETECT is no field it writes",
       [](CXmlConfig& s) {
         user_info r = *s.FindUser("cur");
         r.PROXDETECT = "0";
         return s.SaveUserField(r, "PROXDETECT");
       },
       false, false, nullptr},
      {"SaveUserField of a child the connection lacks",
       [](CXmlConfig& s) { return s.SaveUserField(Record("two", "x"), "LOGINMODE"); }, false, false, nullptr},
      {"SaveUserField of an alias not stored adds it",
       [](CXmlConfig& s) { return s.SaveUserField(Record("new", "nina"), "HOST"); }, true, true,
       [](ClientStoreUsersTest& t) { EXPECT_EQ(t.StoredUser("new").size(), 10u); }},
      {"DeleteUser removes every USER of the alias",
       [](CXmlConfig& s) { return s.DeleteUser(Record("two")); }, true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.Count("<ALIASID>two<"), 0u);
         EXPECT_FALSE(t.Reloaded()->FindByAlias("two"));
         // Still listed until the caller removes it.
         EXPECT_TRUE(t.store_.FindUser("two"));
         EXPECT_TRUE(t.store_.RemoveListEntry(Record("two")));
         EXPECT_FALSE(t.store_.FindUser("two"));
       }},
      {"DeleteUser of an alias not stored", [](CXmlConfig& s) { return s.DeleteUser(Record("absent")); }, false,
       false, nullptr},
      {"DeleteUser of the empty alias", [](CXmlConfig& s) { return s.DeleteUser(Record("")); }, false, false,
       nullptr},
      {"SetAutoLogin", [](CXmlConfig& s) { return s.SetAutoLogin("1"); }, true, true,
       [](ClientStoreUsersTest& t) { EXPECT_EQ(t.store_.GetAutoLogin(), "1"); }},
      {"SetCurrentUser", [](CXmlConfig& s) { return s.SetCurrentUser("two"); }, true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.store_.GetNodeText(XmlConfigXPath::CurrentUser), "two");
         // The current record changes only by a copy or a load.
         EXPECT_EQ(t.store_.GetCurrentUser()->ALIASID, "cur");
       }},
      {"SetProxServers replaces the list everywhere",
       [](CXmlConfig& s) { return s.SetProxServers({"10.0.0.3:443", "10.0.0.1:443", "10.0.0.2:8443"}) == 0; },
       true, true,
       [](ClientStoreUsersTest& t) {
         const std::vector<std::string> want{"10.0.0.3:443", "10.0.0.1:443", "10.0.0.2:8443"};
         EXPECT_EQ(t.store_.GetCurrentUser()->PROXSERVER, want);
         EXPECT_EQ(t.store_.FindUser("cur")->PROXSERVER, want);
         EXPECT_EQ(t.Reloaded()->FindByAlias("cur")->PROXSERVER, want);
         EXPECT_EQ(t.Count("<PROXSERVER>"), 1u);
         std::vector<std::string> out{"kept"};
         EXPECT_EQ(t.store_.GetCurrentProxServers(out), 0);
         EXPECT_EQ(out.size(), 4u);
         EXPECT_EQ(out.front(), "kept");
       }},
      {"SetProxServers with an empty list writes none",
       [](CXmlConfig& s) { return s.SetProxServers({}) == 0; }, true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.Count("PROXSERVER"), 0u);
         EXPECT_TRUE(t.store_.GetCurrentUser()->PROXSERVER.empty());
       }},
      {"SetProxServers when the current record names no entry",
       [](CXmlConfig& s) {
         s.CopyToCurrentUser(Record("elsewhere"));
         return s.SetProxServers({"10.0.0.3:443"}) == 0;
       },
       false, false, nullptr},
      {"SetUserPassword stores and reloads",
       [](CXmlConfig& s) {
         user_info r = *s.GetCurrentUser();
         r.REMPASSWORD = "1";
         s.SaveUserField(r, "PASSWORD");  // nothing to protect yet
         s.SaveUser(r);
         return s.SetUserPassword(r, "n3w");
       },
       true, true,
       [](ClientStoreUsersTest& t) {
         EXPECT_EQ(t.store_.FindUser("cur")->PASSWORD, "n3w");
         EXPECT_EQ(t.store_.GetCurrentUser()->PASSWORD, "n3w");
         EXPECT_EQ(t.Reloaded()->FindByAlias("cur")->PASSWORD, "n3w");
       }},
      {"SetUserPassword of an alias not stored",
       [](CXmlConfig& s) { return s.SetUserPassword(Record("absent"), "pw"); }, false, false, nullptr},
      {"SetUserPassword of a connection without PASSWORD",
       [](CXmlConfig& s) { return s.SetUserPassword(Record("two"), "pw"); }, false, false, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(LoadBytes(store_, start_));
    EXPECT_EQ(row.run(store_), row.result);
    EXPECT_EQ(FileBytes() != start_, row.fileChanged);
    if (row.check) row.check(*this);
  }
}

TEST_F(ClientStoreUsersTest, SecretsAreStoredOnlyWhileRemembered) {
  user_info r = Record("sec");
  r.PASSWORD = "pw";
  r.USBKEY = "1234";
  const auto secrets = [&] {
    const auto f = StoredUser("sec");
    return std::make_pair(f.at(4).size() > 9, f.at(6).size() > 7);  // "PASSWORD=" / "USBKEY=" + text
  };
  const struct {
    const char* remPassword;
    const char* remPin;
    bool password;
    bool pin;
  } cases[] = {{"0", "0", false, false}, {"1", "0", true, false}, {"0", "1", false, true}, {"1", "1", true, true},
               {"", "yes", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.remPassword) + "/" + c.remPin);
    ASSERT_TRUE(LoadBytes(store_, start_));
    r.REMPASSWORD = c.remPassword;
    r.REMPINWORD = c.remPin;
    ASSERT_TRUE(store_.AddUser(r));
    EXPECT_EQ(secrets(), std::make_pair(c.password, c.pin)) << "AddUser";

    // Remembered first, then forgotten: every writer empties the element.
    user_info all = r;
    all.REMPASSWORD = all.REMPINWORD = "1";
    ASSERT_TRUE(store_.SaveUser(all));
    ASSERT_TRUE(store_.SaveUser(r));
    EXPECT_EQ(secrets(), std::make_pair(c.password, c.pin)) << "SaveUser";
    ASSERT_TRUE(store_.SaveUser(all));
    ASSERT_TRUE(store_.SaveUserField(r, "PASSWORD"));
    ASSERT_TRUE(store_.SaveUserField(r, "USBKEY"));
    EXPECT_EQ(secrets(), std::make_pair(c.password, c.pin)) << "SaveUserField";
    ASSERT_TRUE(store_.SaveUser(all));
    ASSERT_TRUE(store_.SetUserPassword(r, "changed"));
    EXPECT_EQ(secrets().first, c.password) << "SetUserPassword";
    EXPECT_EQ(store_.FindUser("sec")->PASSWORD, c.password ? "changed" : "");
  }
}

TEST_F(ClientStoreUsersTest, RecordsHandedOutSurviveAReload) {
  const auto list = store_.GetUserList();
  const auto current = store_.GetCurrentUser();
  user_info r = *store_.FindUser("cur");
  r.REMPASSWORD = "1";
  ASSERT_TRUE(store_.SaveUser(r));
  ASSERT_TRUE(store_.SetUserPassword(r, "pw"));
  // The copies are the caller's: unchanged, still readable.
  EXPECT_EQ(list->FindByAlias("cur")->PASSWORD, "");
  EXPECT_EQ(current->NAME, "carol");
  EXPECT_EQ(store_.FindUser("cur")->PASSWORD, "pw");
}

TEST_F(ClientStoreUsersTest, TheCurrentRecordFollowsCurrentUserOnLoad) {
  // CURRENTUSER names a connection the file does not hold: the current
  // record keeps what it held.
  user_info mine = Record("mine", "me");
  ASSERT_TRUE(store_.CopyToCurrentUser(mine));
  ASSERT_TRUE(store_.SetCurrentUser("absent"));
  ASSERT_TRUE(store_.Load(path_));
  EXPECT_EQ(store_.GetCurrentUser(), mine);
  ASSERT_TRUE(store_.SetCurrentUser("two"));
  ASSERT_TRUE(store_.Load(path_));
  EXPECT_EQ(store_.GetCurrentUser()->NAME, "first");
}

TEST_F(ClientStoreUsersTest, TheListInMemoryChangesOnlyThroughItsOperations) {
  user_info r = Record("mem", "m");
  EXPECT_TRUE(store_.AddListEntry(r));
  EXPECT_FALSE(store_.AddListEntry(r));
  r.NAME = "m2";
  EXPECT_TRUE(store_.CopyToListEntry(r));
  EXPECT_EQ(store_.FindUser("mem")->NAME, "m2");
  EXPECT_EQ(store_.FindByLogin("m2@10.0.0.1:443")->ALIASID, "mem");
  EXPECT_FALSE(store_.CopyToListEntry(Record("absent")));
  EXPECT_FALSE(store_.RemoveListEntry(Record("absent")));
  EXPECT_EQ(FileBytes(), start_);
}

}  // namespace
