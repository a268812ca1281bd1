#include "updater/update_list.h"

#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"
#include "platform/paths/paths.h"

namespace thimbleset {
namespace {

const std::string kLists = std::string(VQ_TEST_DATA_DIR) + "/update_lists/";

BaseFolders Folders() { return BaseFolders{"/cur", "/win", "/sys"}; }

std::vector<UpdateEntry> LoadAll(const std::string& file) {
  UpdateList list(Folders());
  EXPECT_TRUE(list.Load(kLists + file));
  std::vector<UpdateEntry> entries;
  while (auto entry = list.TakeFirst()) entries.push_back(std::move(*entry));
  return entries;
}

TEST(UpdateListTest, ReadsFileElementsAnywhereInDocumentOrder) {
  const std::vector<UpdateEntry> entries = LoadAll("nested.xml");
  ASSERT_EQ(entries.size(), 3u);

  const UpdateEntry& installer = entries[0];
  EXPECT_EQ(installer.fileName, "qimbo.exe");
  EXPECT_EQ(installer.fileVersion, "1.0.2.0000");
  EXPECT_EQ(installer.productVersion, "1.0.2");
  EXPECT_EQ(installer.length, 12);  // "12abc"
  EXPECT_TRUE(installer.registerFile);  // "yes"
  EXPECT_TRUE(installer.zipFile);       // "Yes"
  EXPECT_FALSE(installer.forceOverwrite);  // "no"
  EXPECT_TRUE(installer.execute);
  EXPECT_EQ(installer.executePar, "/quiet /norestart");
  EXPECT_EQ(installer.fileDateLow, -17);
  EXPECT_EQ(installer.fileDateHigh, INT32_MAX);
  EXPECT_EQ(installer.url, "files/qimbo.exe");
  EXPECT_EQ(installer.userName, "u");
  EXPECT_EQ(installer.password, "p");
  EXPECT_EQ(installer.installDir, "CURRENTDIR");
  EXPECT_EQ(installer.targetPath, "/cur/qimbo.exe");

  // Nested two levels down; the last of a repeated child counts, and its
  // value is all the text below it without the white space around it.
  const UpdateEntry& library = entries[1];
  EXPECT_EQ(library.fileName, "libWendle.so");
  EXPECT_EQ(library.fileVersion, "2.0.1");
  EXPECT_EQ(library.length, 0);  // missing
  EXPECT_FALSE(library.registerFile);
  EXPECT_EQ(library.targetPath, "/sys/tarnwickgate/plugins/libWendle.so");

  EXPECT_EQ(entries[2].fileName, "readme.txt");
  EXPECT_EQ(entries[2].targetPath, "/cur/readme.txt");  // unknown InstallDir
}

TEST(UpdateListTest, InstallDirAndLocalPathChooseTheTarget) {
  const std::vector<UpdateEntry> entries = LoadAll("install_dirs.xml");
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].targetPath, "/cur/a.exe");
  EXPECT_EQ(entries[1].targetPath, "/win/b.exe");
  EXPECT_EQ(entries[2].targetPath, "/sys/c.so");
  EXPECT_EQ(entries[3].targetPath, "/cur/d.txt");
  EXPECT_EQ(entries[4].targetPath, "/sys/x/y/z/e.txt");
  EXPECT_EQ(entries[5].targetPath, "/cur/x/y/f.txt");
}

TEST(UpdateListTest, BaseFoldersOfThisProcessLiveBelowTheRoot) {
  vqtest::TempRoot root;
  const BaseFolders folders = BaseFolders::OfThisProcess();
  EXPECT_EQ(folders.windows, root.At("/usr/local/bin"));
  EXPECT_EQ(folders.system, root.At("/usr/local/lib"));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(folders.current, cwd);
}

TEST(UpdateListTest, OnlyTheFirstEntryOfANameTakesPartInTheVersionTest) {
  UpdateList list(Folders());
  ASSERT_TRUE(list.Load(kLists + "duplicate_names.xml"));
  EXPECT_FALSE(list.TestVersion("qimbo.exe", "1.0.1.0000"));
  EXPECT_EQ(list.InstallerLength("qimbo.exe"), 0);

  ASSERT_TRUE(list.Load(kLists + "duplicate_names.xml"));
  EXPECT_TRUE(list.TestVersion("Qimbo.Exe", "1.0.0.0000"));
  EXPECT_EQ(list.InstallerLength("qimbo.exe"), 100);
  EXPECT_FALSE(list.TestVersion("other.exe", "0"));
  EXPECT_EQ(list.Count(), 2u);
}

TEST(UpdateListTest, DocumentsThatAreNoListDoNotLoad) {
  for (const char* file : {"not_xml.xml", "empty.xml", "missing.xml"}) {
    SCOPED_TRACE(file);
    UpdateList list(Folders());
    EXPECT_FALSE(list.Load(kLists + file));
    EXPECT_EQ(list.Count(), 0u);
  }
  UpdateList list(Folders());
  EXPECT_TRUE(list.Load(kLists + "no_entries.xml"));
  EXPECT_FALSE(list.TestVersion("qimbo.exe", "1.0.1.0000"));
}

class WrittenList {
 public:
  explicit WrittenList(const std::string& body) {
    path_ = root_.At("/list.xml");
    vqtest::WriteFileBytes(path_, body);
  }
  const std::string& path() const { return path_; }
  const vqtest::TempRoot& root() const { return root_; }

 private:
  vqtest::TempRoot root_;
  std::string path_;
};

std::string OneEntry(const std::string& fileName, const std::string& localPath) {
  return "<Files><File><FileName>good.txt</FileName></File><File><FileName>" + fileName + "</FileName><LocalPath>" +
         localPath + "</LocalPath></File></Files>";
}

TEST(UpdateListTest, AnEntryWhoseTargetLeavesItsFolderFailsTheWholeList) {
  const struct {
    const char* fileName;
    const char* localPath;
  } cases[] = {
      {"../x", ""}, {"/etc/x", ""}, {"a/b", ""}, {"..", ""}, {".", ""}, {"", ""}, {"a\\b", ""},
      {"x", "..\\x"}, {"x", "a\\..\\..\\b"}, {"x", "\\etc"}, {"x", "/etc"}, {"x", "a/../.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fileName) + " in " + c.localPath);
    WrittenList file(OneEntry(c.fileName, c.localPath));
    UpdateList list(Folders());
    EXPECT_FALSE(list.Load(file.path()));
    EXPECT_EQ(list.Count(), 0u);
  }
  WrittenList file(OneEntry("x", "a\\b..c\\..d"));
  UpdateList list(Folders());
  ASSERT_TRUE(list.Load(file.path()));
  list.TakeFirst();
  EXPECT_EQ(list.TakeFirst()->targetPath, "/cur/a/b..c/..d/x");
}

TEST(UpdateListTest, NoEntityOfADtdIsRead) {
  vqtest::TempRoot root;
  const std::string secret = root.At("/secret");
  vqtest::WriteFileBytes(secret, "TOPSECRET");
  WrittenList file("<?xml version=\"1.0\"?>\n<!DOCTYPE Files [\n  <!ENTITY leak SYSTEM \"file://" + secret +
                   "\">\n  <!ENTITY word \"inner\">\n]>\n<Files><File><FileName>a&leak;b</FileName>"
                   "<ExecutePar>&word;</ExecutePar></File></Files>");
  UpdateList list(Folders());
  ASSERT_TRUE(list.Load(file.path()));
  const std::optional<UpdateEntry> entry = list.TakeFirst();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->fileName, "a&leak;b");
  EXPECT_EQ(entry->executePar, "&word;");
}

}  // namespace
}  // namespace thimbleset
