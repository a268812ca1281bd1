// The host-check folder as root sees it: a link planted at any host-check
// file name is never followed, a FIFO never blocks a read, sizes are
// capped, and a folder others may write in is not trusted.
#include "Brindleway/hostcheck/host_check_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"

namespace brindleway {
namespace {

class HostCheckFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.At("/service");
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
    victim_ = root_.At("/victim");
    vqtest::WriteFileBytes(victim_, "precious");
  }
  std::string At(const char* name) const { return dir_ + "/" + name; }
  void PlantLink(const char* name) { ASSERT_EQ(::symlink(victim_.c_str(), At(name).c_str()), 0); }
  bool IsLink(const char* name) const {
    struct stat st {};
    return ::lstat(At(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  vqtest::TempRoot root_;
  std::string dir_;
  std::string victim_;
};

TEST_F(HostCheckFolderTest, APlantedLinkIsNeverFollowed) {
  HostCheckFolder folder(dir_);
  for (const char* name : {kScriptDataFile, kUnzipTempFile, kScriptFile, kCheckResultFile, kCheckLogFile,
                           kHostCheckErrorFile, kScriptDataTempFile}) {
    SCOPED_TRACE(name);
    PlantLink(name);
    EXPECT_FALSE(folder.Read(name, 1024).has_value());
    EXPECT_FALSE(folder.Md5(name, 1024).has_value());
    EXPECT_FALSE(folder.HasContent(name));

    // A fresh file for the script replaces the link itself.
    ASSERT_TRUE(folder.CreateFor(name, ::geteuid(), ::getegid()));
    EXPECT_FALSE(IsLink(name));
    EXPECT_EQ(vqtest::ReadFileBytes(victim_), "precious");
    ASSERT_TRUE(folder.Remove(name));
  }

  // A replacement, with links at the final and at the temporary name.
  PlantLink(kScriptFile);
  PlantLink(kUnzipTempFile);
  ASSERT_TRUE(folder.Replace(kScriptFile, "new script", 0644, kUnzipTempFile));
  EXPECT_FALSE(IsLink(kScriptFile));
  EXPECT_EQ(vqtest::ReadFileBytes(At(kScriptFile)), "new script");
  EXPECT_EQ(::access(At(kUnzipTempFile).c_str(), F_OK), -1);
  EXPECT_EQ(vqtest::ReadFileBytes(victim_), "precious");

  // Removing a link leaves its target.
  PlantLink(kHostCheckErrorFile);
  ASSERT_TRUE(folder.Remove(kHostCheckErrorFile));
  EXPECT_EQ(vqtest::ReadFileBytes(victim_), "precious");
}

TEST_F(HostCheckFolderTest, ReadsAreCappedAndAFifoDoesNotBlock) {
  HostCheckFolder folder(dir_);
  vqtest::WriteFileBytes(At(kCheckResultFile), std::string(100, 'r'));
  EXPECT_EQ(folder.Read(kCheckResultFile, 100), std::string(100, 'r'));
  EXPECT_FALSE(folder.Read(kCheckResultFile, 99).has_value());
  EXPECT_FALSE(folder.Md5(kCheckResultFile, 99).has_value());
  EXPECT_TRUE(folder.HasContent(kCheckResultFile));

  ASSERT_EQ(::mkfifo(At(kCheckLogFile).c_str(), 0600), 0);
  EXPECT_FALSE(folder.Read(kCheckLogFile, 100).has_value());
  EXPECT_FALSE(folder.HasContent(kCheckLogFile));
}

TEST_F(HostCheckFolderTest, FilesForTheScriptAreFreshEmptyAndTheirs) {
  HostCheckFolder folder(dir_);
  vqtest::WriteFileBytes(At(kHostCheckErrorFile), "stale error");
  ASSERT_TRUE(folder.CreateFor(kHostCheckErrorFile, ::geteuid(), ::getegid()));
  EXPECT_FALSE(folder.HasContent(kHostCheckErrorFile));
  if (::geteuid() == 0) {
    ASSERT_TRUE(folder.CreateFor(kCheckResultFile, 65534, 65534));
    struct stat st {};
    ASSERT_EQ(::stat(At(kCheckResultFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_F(HostCheckFolderTest, OnlyAFolderNoOneElseMayWriteIsGuarded) {
  HostCheckFolder folder(dir_);
  EXPECT_TRUE(folder.IsGuarded());
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  EXPECT_FALSE(folder.IsGuarded());
  ASSERT_EQ(::chmod(dir_.c_str(), 0775), 0);
  EXPECT_FALSE(folder.IsGuarded());
  EXPECT_FALSE(HostCheckFolder(root_.At("/absent")).IsGuarded());
}

}  // namespace
}  // namespace brindleway
