#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "client/store/process_store.h"
#include "client/store/xml_config.h"
#include "common/file_size_limit.h"
#include "common/run_as_user.h"
#include "store_fixture.h"

namespace {

using client::CXmlConfig;
using client::user_info;
using client::XmlConfigXPath;
using storetest::Fixture;
using storetest::Record;
using storetest::Tree;

const char kDefaultFile[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<KOVCONFIG>\n"
    "\t<CONFIGVERS>1.0</CONFIGVERS>\n"
    "\t<LOGININFO>\n"
    "\t\t<USERINFO></USERINFO>\n"
    "\t\t<CURRENTUSER></CURRENTUSER>\n"
    "\t\t<AUTOLOGIN></AUTOLOGIN>\n"
    "\t</LOGININFO>\n"
    "</KOVCONFIG>\n";

unsigned ModeOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class ClientStoreFileTest : public storetest::StoreTest {};

TEST_F(ClientStoreFileTest, FirstStartMakesTheFoldersAndTheDefaultFile) {
  CXmlConfig store;
  ASSERT_EQ(client::LoadXmlConfig(store), 0);
  const std::string folder = root_.At("/home/.config/Tarnwickgate/Tarnwickgate Marrowlantern");
  const std::string file = folder + "/OrlimbConfig.xml";
  EXPECT_EQ(store.Path(), file);
  EXPECT_EQ(client::XmlConfigPath(), file);
  EXPECT_EQ(ModeOf(root_.At("/home/.config/Tarnwickgate")), 0700u);
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(file), 0600u);

  EXPECT_EQ(vqtest::ReadFileBytes(file), kDefaultFile);
  EXPECT_EQ(Tree(vqtest::ReadFileBytes(file)),
            (std::vector<std::string>{"/KOVCONFIG", "/KOVCONFIG/CONFIGVERS=1.0", "/KOVCONFIG/LOGININFO",
                                      "/KOVCONFIG/LOGININFO/USERINFO=", "/KOVCONFIG/LOGININFO/CURRENTUSER=",
                                      "/KOVCONFIG/LOGININFO/AUTOLOGIN="}));
  ASSERT_TRUE(store.GetUserList());
  EXPECT_EQ(store.GetUserList()->count(), 0);
  EXPECT_EQ(store.GetCurrentUser(), user_info{});
  EXPECT_EQ(store.GetAutoLogin(), "");

  // The second start loads what the first one wrote, unchanged.
  CXmlConfig again;
  ASSERT_EQ(client::LoadXmlConfig(again), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(file), kDefaultFile);
}

TEST_F(ClientStoreFileTest, AFileThatIsNotWellFormedIsSetAsideAndReplaced) {
  std::mt19937 random(36);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random() & 0xFF);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"unterminated root", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KOVCONFIG>\n\t<CONFIGVERS>1.0</CONFIGVERS>\n"},
      {"random bytes", noise},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // An older damaged file is replaced by the newer one.
    vqtest::WriteFileBytes(path_ + ".bad", "older");
    CXmlConfig store;
    ASSERT_TRUE(LoadBytes(store, c.bytes));
    EXPECT_EQ(FileBytes(), kDefaultFile);
    EXPECT_EQ(vqtest::ReadFileBytes(path_ + ".bad"), c.bytes);
    EXPECT_EQ(store.GetUserList()->count(), 0);
    EXPECT_EQ(storetest::FolderEntries(folder_), (std::vector<std::string>{"OrlimbConfig.xml", "OrlimbConfig.xml.bad"}));
  }
}

TEST_F(ClientStoreFileTest, AFileThatCannotBeReadIsLeftAlone) {
  // A folder where the file should be.
  std::filesystem::create_directory(path_);
  CXmlConfig store;
  EXPECT_FALSE(store.Load(path_));
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".bad"));
  EXPECT_FALSE(store.IsLoaded());
  std::filesystem::remove(path_);

  // A file without read rights: root reads anything, so that part runs as
  // another user.
  const std::string bytes = Fixture("read_cases.xml");
  vqtest::WriteFileBytes(path_, bytes);
  ASSERT_EQ(::chmod(path_.c_str(), 0), 0);
  const auto tryLoad = [&] {
    CXmlConfig other;
    if (other.Load(path_)) return 1;
    if (other.IsLoaded() || other.GetUserList()) return 2;
    return 0;
  };
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder_.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    ASSERT_EQ(::chown(path_.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    EXPECT_EQ(vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, tryLoad), 0);
  } else {
    EXPECT_EQ(tryLoad(), 0);
  }
  ::chmod(path_.c_str(), 0600);
  EXPECT_EQ(FileBytes(), bytes);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".bad"));
}

TEST_F(ClientStoreFileTest, AFailedLoadKeepsWhatTheStoreHeld) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("read_cases.xml")));
  const auto list = store.GetUserList();
  const std::string folderPath = root_.At("/folder");
  std::filesystem::create_directory(folderPath);
  EXPECT_FALSE(store.Load(folderPath));
  EXPECT_EQ(store.Path(), path_);
  EXPECT_EQ(store.GetUserList()->count(), list->count());
  EXPECT_EQ(store.FindUser("threeprox")->NAME, "u4");
}

TEST_F(ClientStoreFileTest, ReadsWhatAFileHolds) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("read_cases.xml")));
  const auto list = store.GetUserList();
  ASSERT_TRUE(list);
  // No USER without an alias, the first of two with one alias.
  std::vector<std::string> aliases;
  for (const user_info& e : *list) aliases.push_back(e.ALIASID);
  EXPECT_EQ(aliases, (std::vector<std::string>{"emptymode", "nomode", "dup", "noprox", "threeprox", "shuffled"}));
  EXPECT_EQ(list->FindByAlias("dup")->NAME, "first");

  EXPECT_EQ(list->FindByAlias("emptymode")->LOGINMODE, "0");
  EXPECT_EQ(list->FindByAlias("nomode")->LOGINMODE, "");
  EXPECT_TRUE(list->FindByAlias("noprox")->PROXSERVER.empty());
  EXPECT_EQ(list->FindByAlias("threeprox")->PROXSERVER,
            (std::vector<std::string>{"10.0.0.3:443", "10.0.0.1:443", "10.0.0.2:8443"}));

  // Children in another order are found by name.
  const user_info* shuffled = list->FindByAlias("shuffled");
  EXPECT_EQ(shuffled->NAME, "u5");
  EXPECT_EQ(shuffled->HOST, "10.0.0.1");
  EXPECT_EQ(shuffled->PORT, "443");
  EXPECT_EQ(shuffled->LOGINMODE, "2");
  EXPECT_EQ(shuffled->PROXDETECT, "1");
  EXPECT_EQ(shuffled->REMPASSWORD, "0");
  EXPECT_EQ(shuffled->PROXSERVER, (std::vector<std::string>{"192.0.2.7:4433"}));

  // The current record is the copy CURRENTUSER names.
  EXPECT_EQ(store.GetCurrentUser(), *list->FindByAlias("threeprox"));
  EXPECT_EQ(store.GetAutoLogin(), "1");
}

TEST_F(ClientStoreFileTest, IsCurrentIsKeptButNeverRead) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("iscurrent.xml")));
  user_info record = *store.FindUser("cur");
  EXPECT_EQ(record.ISCURRENT, "");
  record.NAME = "carol2";
  record.ISCURRENT = "1";
  ASSERT_TRUE(store.SaveUser(record));

  CXmlConfig again;
  ASSERT_TRUE(again.Load(path_));
  EXPECT_EQ(again.FindUser("cur")->ISCURRENT, "");
  EXPECT_EQ(again.FindUser("cur")->NAME, "carol2");
  const auto tree = Tree(FileBytes());
  EXPECT_NE(std::find(tree.begin(), tree.end(), "/KOVCONFIG/LOGININFO/USERINFO/USER/ISCURRENT=1"), tree.end());
}

TEST_F(ClientStoreFileTest, AFileLaidOutByAnotherWriterIsSavedAnElementALine) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("laid_out_empty.xml")));
  ASSERT_TRUE(store.AddUser(Record("work")));
  ASSERT_TRUE(store.SetCurrentUser("work"));
  const std::string bytes = FileBytes();
  EXPECT_EQ(bytes.find('\r'), std::string::npos);
  EXPECT_NE(bytes.find("\t\t<USERINFO>\n\t\t\t<USER>\n\t\t\t\t<ALIASID>work</ALIASID>\n"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("\t\t\t</USER>\n\t\t</USERINFO>\n\t\t<CURRENTUSER>work</CURRENTUSER>\n"), std::string::npos)
      << bytes;
  ASSERT_TRUE(Reloaded());
  EXPECT_EQ(Reloaded()->count(), 1);
}

TEST_F(ClientStoreFileTest, AMissingLoginSectionIsNotRepairedAndItsOperationsFail) {
  CXmlConfig store;
  const std::string bytes = Fixture("no_login_info.xml");
  ASSERT_TRUE(LoadBytes(store, bytes));
  EXPECT_EQ(store.GetUserList()->count(), 0);
  EXPECT_FALSE(store.AddUser(Record("work")));
  EXPECT_FALSE(store.SetCurrentUser("work"));
  EXPECT_FALSE(store.SetAutoLogin("1"));
  EXPECT_EQ(store.GetAutoLogin(), std::nullopt);
  EXPECT_EQ(FileBytes(), bytes);
}

TEST_F(ClientStoreFileTest, AFailedSaveKeepsTheOldFileAndTheOldDocument) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, kDefaultFile));
  ASSERT_TRUE(store.AddUser(Record("first")));
  const std::string before = FileBytes();
  {
    // The disk fills up halfway through the new file.
    vqtest::FileSizeLimit limit(before.size() / 2);
    EXPECT_FALSE(store.AddUser(Record("second")));
    EXPECT_FALSE(store.SetAutoLogin("1"));
    EXPECT_FALSE(store.Save());
  }
  EXPECT_EQ(FileBytes(), before);
  EXPECT_EQ(storetest::FolderEntries(folder_), (std::vector<std::string>{"OrlimbConfig.xml"}));
  // Nothing of the failed changes stays behind to turn up in a later save,
  // and the refused connection can be added again.
  ASSERT_TRUE(store.SetCurrentUser("first"));
  EXPECT_EQ(Reloaded()->count(), 1);
  EXPECT_EQ(store.GetAutoLogin(), "");
  EXPECT_TRUE(store.AddUser(Record("second")));
  EXPECT_EQ(Reloaded()->count(), 2);

  // A folder that cannot be written: root writes anywhere, so that part runs
  // as another user.
  const std::string saved = FileBytes();
  const auto tryChanges = [&] {
    CXmlConfig other;
    if (!other.Load(path_)) return 1;
    if (other.AddUser(Record("third"))) return 2;
    if (other.DeleteUser(Record("first"))) return 3;
    if (other.SetCurrentUser("second")) return 4;
    return 0;
  };
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder_.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    ASSERT_EQ(::chown(path_.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
    ASSERT_EQ(::chmod(folder_.c_str(), 0500), 0);
    EXPECT_EQ(vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, tryChanges), 0);
  } else {
    ASSERT_EQ(::chmod(folder_.c_str(), 0500), 0);
    EXPECT_EQ(tryChanges(), 0);
  }
  ::chmod(folder_.c_str(), 0700);
  EXPECT_EQ(FileBytes(), saved);
  EXPECT_EQ(storetest::FolderEntries(folder_), (std::vector<std::string>{"OrlimbConfig.xml"}));
}

TEST_F(ClientStoreFileTest, AnUnloadedStoreRefusesEverything) {
  CXmlConfig store;
  user_info record = Record("work");
  std::vector<std::string> servers;
  EXPECT_FALSE(store.IsLoaded());
  EXPECT_FALSE(store.Save(path_));
  EXPECT_FALSE(store.GetNodeText(XmlConfigXPath::KovConfig));
  EXPECT_FALSE(store.SetNodeText(XmlConfigXPath::AutoLogin, "1"));
  EXPECT_FALSE(store.GetUserList());
  EXPECT_FALSE(store.FindUser("work"));
  EXPECT_FALSE(store.FindByLogin("bob@10.0.0.1:443"));
  EXPECT_FALSE(store.GetCurrentUser());
  EXPECT_FALSE(store.AddListEntry(record));
  EXPECT_FALSE(store.RemoveListEntry(record));
  EXPECT_FALSE(store.CopyToListEntry(record));
  EXPECT_FALSE(store.CopyToCurrentUser(record));
  EXPECT_FALSE(store.GetAutoLogin());
  EXPECT_FALSE(store.SetAutoLogin("1"));
  EXPECT_FALSE(store.SetCurrentUser("work"));
  EXPECT_FALSE(store.AddUser(record));
  EXPECT_FALSE(store.SaveUser(record));
  EXPECT_FALSE(store.SaveUserField(record, "NAME"));
  EXPECT_FALSE(store.SetUserPassword(record, "pw"));
  EXPECT_FALSE(store.DeleteUser(record));
  EXPECT_EQ(store.GetCurrentProxServers(servers), -1);
  EXPECT_EQ(store.SetProxServers({"10.0.0.2:443"}), -1);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

}  // namespace
