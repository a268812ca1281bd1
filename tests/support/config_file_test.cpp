#include "support/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/file_size_limit.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/registry_logins.h"
#include "support/utf16.h"

namespace {

namespace reg = platform::registry;

constexpr char kFile[] = "Marrowlantern.ini";

std::string Wide(const std::string& utf8) { return Utf16LeBytes(Utf8ToUtf16(utf8)); }

std::string Get(const ConfigList& list, const std::string& key) {
  std::string value;
  ConfigGetValue(list, key, value);
  return value;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  std::string Path() const { return root_.At("/home/.config/Tarnwickgate/Tarnwickgate Marrowlantern/") + kFile; }
  void WriteFile(const std::string& utf8) {
    std::filesystem::create_directories(std::filesystem::path(Path()).parent_path());
    vqtest::WriteFileBytes(Path(), Wide(utf8));
  }
  static bool InRegistry(const std::string& name) {
    std::string value;
    uint32_t size = REG_STRING_READ_BYTES;
    return RegReadProductValue(name, value, size) == 0;
  }

  vqtest::TempRoot root_;
};

TEST_F(ConfigFileTest, ReadingRules) {
  WriteFile(
      "# comment\r\n"
      "\r\n"
      "   \t \r\n"
      "; another comment\r\n"
      "  LoginUserNum  =   2  \r\n"
      "LoginUser1=alice@gw:443\r\n"
      "no equals sign here\r\n"
      "loginuser1=duplicate\n"
      "Url=http://x/?a=b\r\n"
      "Empty=\r\n"
      "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8=\xe4\xb8\x80\r\n"
      "  # an indented comment\r\n"
      "Last=no line break");
  ConfigList list;
  ASSERT_EQ(LoadConfigFile(kFile, list), 0);
  ASSERT_EQ(list.entries.size(), 7u);
  EXPECT_EQ(list.entries[0].key, "LoginUserNum");
  EXPECT_EQ(list.entries[0].value, "2");
  // Duplicates are kept; lookups find the first, in any case.
  EXPECT_EQ(list.entries[2].key, "loginuser1");
  EXPECT_EQ(Get(list, "LOGINUSER1"), "alice@gw:443");
  EXPECT_EQ(Get(list, "url"), "http://x/?a=b");
  EXPECT_EQ(Get(list, "Empty"), "");
  EXPECT_EQ(Get(list, "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8"), "\xe4\xb8\x80");
  EXPECT_EQ(Get(list, "Last"), "no line break");
  EXPECT_NE(vqtest::ReadLogText().find(std::string(kFile) + "(7): No '=' found"), std::string::npos);
}

TEST_F(ConfigFileTest, SaveWritesUtf16LinesAndReadsBack) {
  ConfigList list;
  ASSERT_EQ(ConfigSetValue(list, "LoginUserNum", "1"), 0);
  ASSERT_EQ(ConfigSetValue(list, "LoginUser1", "\xe5\xbc\xa0\xe4\xb8\x89@gw:443"), 0);
  ASSERT_EQ(SaveConfigFile(kFile, list), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(Path()), Wide("LoginUserNum=1\r\nLoginUser1=\xe5\xbc\xa0\xe4\xb8\x89@gw:443\r\n"));
  ConfigList back;
  ASSERT_EQ(LoadConfigFile(kFile, back), 0);
  ASSERT_EQ(back.entries.size(), 2u);
  EXPECT_EQ(back.entries[1].value, "\xe5\xbc\xa0\xe4\xb8\x89@gw:443");
}

TEST_F(ConfigFileTest, DeletingTheLastEntryAndSavingEmptiesTheFile) {
  ConfigList list;
  ASSERT_EQ(ConfigSetValue(list, "LoginUser1", "alice"), 0);
  ASSERT_EQ(SaveConfigFile(kFile, list), 0);
  ASSERT_EQ(ConfigDeleteKey(list, "LoginUser1"), 0);
  ASSERT_EQ(SaveConfigFile(kFile, list), 0);
  EXPECT_TRUE(std::filesystem::exists(Path()));
  EXPECT_EQ(vqtest::ReadFileBytes(Path()), "");
  ConfigList back;
  ASSERT_EQ(LoadConfigFile(kFile, back), 0);
  EXPECT_TRUE(back.entries.empty());
}

TEST_F(ConfigFileTest, FailedSaveKeepsTheOldFile) {
  WriteFile("Keep=me\r\n");
  ConfigList list;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ConfigSetValue(list, "Key" + std::to_string(i), std::string(40, 'v')), 0);
  {
    vqtest::FileSizeLimit limit(2000);
    EXPECT_EQ(SaveConfigFile(kFile, list), -1);
  }
  EXPECT_EQ(vqtest::ReadFileBytes(Path()), Wide("Keep=me\r\n"));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(Path()).parent_path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(ConfigFileTest, MissingFileIsReported) {
  ConfigList list;
  EXPECT_EQ(LoadConfigFile(kFile, list), -1);
  EXPECT_TRUE(list.entries.empty());
  EXPECT_NE(vqtest::ReadLogText().find("Open configuration file failed"), std::string::npos);
}

class RegistryLoginsTest : public ConfigFileTest {
 protected:
  void SetUp() override {
    ConfigFileTest::SetUp();
    ASSERT_EQ(RegWriteProductValue("LoginUserNum", "2"), 0);
    ASSERT_EQ(RegWriteProductValue("LoginUser1", "alice@gw:443"), 0);
    ASSERT_EQ(RegWriteProductValue("LoginUser2", "bob@gw:443"), 0);
    ASSERT_EQ(RegWriteProductValue("LoginUserCurrent", "bob@gw:443"), 0);
    ASSERT_EQ(RegWriteProductValue("DefaultVPNServer", "gw"), 0);
    ASSERT_EQ(RegWriteProductValue("DefaultVPNPort", "443"), 0);
    ASSERT_EQ(RegWriteProductValue("ProductVer", "1.2.3"), 0);
  }

  static bool RegistryLoginsGone() {
    for (const char* name : {"LoginUserNum", "LoginUser1", "LoginUser2", "LoginUserCurrent", "DefaultVPNServer",
                             "DefaultVPNPort"}) {
      if (InRegistry(name)) return false;
    }
    return true;
  }
};

TEST_F(RegistryLoginsTest, MoveIntoTheFileThenLeaveTheRegistry) {
  WriteFile("gw=1\r\n");
  ConfigList list;
  ASSERT_EQ(LoadConfigFile(kFile, list), 0);
  ASSERT_EQ(list.entries.size(), 5u);
  EXPECT_EQ(list.entries[0].key, "LoginUserNum");
  EXPECT_EQ(list.entries[1].value, "alice@gw:443");
  EXPECT_EQ(list.entries[3].key, "LoginUserCurrent");
  EXPECT_EQ(list.entries[4].key, "gw");
  EXPECT_EQ(vqtest::ReadFileBytes(Path()),
            Wide("LoginUserNum=2\r\nLoginUser1=alice@gw:443\r\nLoginUser2=bob@gw:443\r\n"
                 "LoginUserCurrent=bob@gw:443\r\ngw=1\r\n"));
  EXPECT_TRUE(RegistryLoginsGone());
  EXPECT_TRUE(InRegistry("ProductVer"));

  // A second load finds nothing more to move.
  ConfigList again;
  ASSERT_EQ(LoadConfigFile(kFile, again), 0);
  EXPECT_EQ(again.entries.size(), 5u);
}

TEST_F(RegistryLoginsTest, WithoutAFileYetTheFileIsMade) {
  ConfigList list;
  EXPECT_EQ(LoadConfigFile(kFile, list), -1);
  EXPECT_EQ(list.entries.size(), 4u);
  EXPECT_EQ(vqtest::ReadFileBytes(Path()),
            Wide("LoginUserNum=2\r\nLoginUser1=alice@gw:443\r\nLoginUser2=bob@gw:443\r\n"
                 "LoginUserCurrent=bob@gw:443\r\n"));
  EXPECT_TRUE(RegistryLoginsGone());
}

TEST_F(RegistryLoginsTest, RegistryKeptWhenTheFileCannotHoldThem) {
  // The folder cannot be made: a file is in its way.
  std::filesystem::create_directories(root_.At("/home/.config"));
  vqtest::WriteFileBytes(root_.At("/home/.config/Tarnwickgate"), "in the way");
  ConfigList list;
  EXPECT_EQ(LoadConfigFile(kFile, list), -1);
  EXPECT_EQ(list.entries.size(), 4u);  // the user still sees them
  EXPECT_FALSE(RegistryLoginsGone());
  EXPECT_TRUE(InRegistry("LoginUser2"));
}

TEST_F(RegistryLoginsTest, UnreadableFileIsNeitherReplacedNorTheRegistryCleared) {
  // Something that exists at the file's path but does not read as a file.
  std::filesystem::create_directories(Path());
  ConfigList list;
  EXPECT_EQ(LoadConfigFile(kFile, list), -1);
  EXPECT_TRUE(std::filesystem::is_directory(Path()));
  EXPECT_FALSE(RegistryLoginsGone());
}

TEST_F(RegistryLoginsTest, LoginsTheFileHoldsAreNotImportedAgain) {
  // An earlier move saved them, but the registry could not be cleared; the
  // file has changed since.
  WriteFile("LoginUserNum=3\r\nLoginUser1=alice@gw:443\r\nLoginUser2=bob@gw:443\r\nLoginUser3=carol@gw:443\r\n"
            "LoginUserCurrent=carol@gw:443\r\n");
  ConfigList list;
  ASSERT_EQ(LoadConfigFile(kFile, list), 0);
  EXPECT_EQ(list.entries.size(), 5u);
  EXPECT_EQ(Get(list, "LoginUserNum"), "3");
  EXPECT_EQ(Get(list, "LoginUserCurrent"), "carol@gw:443");
  EXPECT_TRUE(RegistryLoginsGone());
}

TEST_F(RegistryLoginsTest, DeleteRemovesOnlyTheLoginValues) {
  ASSERT_EQ(DeleteRegistryLogins(), 0);
  EXPECT_TRUE(RegistryLoginsGone());
  EXPECT_TRUE(InRegistry("ProductVer"));
  // Nothing left to delete is fine.
  EXPECT_EQ(DeleteRegistryLogins(), 0);
}

TEST_F(RegistryLoginsTest, ImportSkipsUnreadableUsers) {
  ASSERT_EQ(RegDeleteProductValue("LoginUser1"), 0);
  ConfigList list;
  const RegistryLoginImport imported = ImportRegistryLogins(list);
  EXPECT_TRUE(imported.found);
  EXPECT_EQ(imported.added, 3);
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(list.entries[1].key, "LoginUser2");
}

}  // namespace
