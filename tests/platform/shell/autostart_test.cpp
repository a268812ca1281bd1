// Start at logon as the desktop's per-user autostart entry.
#include "platform/shell/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/temp_root.h"
#include "platform/win32/win32_error.h"

namespace platform::shell {
namespace {

class AutoStartTest : public ::testing::Test {
 protected:
  std::string Entry() const { return root_.At("/home/.config/autostart/Marrowlantern.desktop"); }
  std::string Folder() const { return root_.At("/home/.config/autostart"); }

  vqtest::TempRoot root_;
};

TEST_F(AutoStartTest, SetWritesTheEntryTheSessionStartsAndDeleteRemovesIt) {
  ASSERT_FALSE(HasAutoStart("Marrowlantern"));
  ASSERT_EQ(SetAutoStart("Marrowlantern", "/opt/tarnwickgate/bin/Marrowlantern"), 0u);
  EXPECT_EQ(AutoStartPath("Marrowlantern"), Entry());
  EXPECT_EQ(vqtest::ReadFileBytes(Entry()),
            "[Desktop Entry]\nType=Application\nName=Marrowlantern\n"
            "Exec=\"/opt/tarnwickgate/bin/Marrowlantern\"\n");
  struct stat st{};
  ASSERT_EQ(::stat(Entry().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_TRUE(HasAutoStart("Marrowlantern"));

  ASSERT_EQ(DeleteAutoStart("Marrowlantern"), 0u);
  EXPECT_FALSE(vqtest::PathExists(Entry()));
  EXPECT_FALSE(HasAutoStart("Marrowlantern"));
  EXPECT_EQ(DeleteAutoStart("Marrowlantern"), ERROR_FILE_NOT_FOUND);
}

TEST_F(AutoStartTest, ExecQuotesAndEscapesEveryCharacterTheDesktopTreatsSpecially) {
  const struct {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/opt/my apps/$HOME/Marrowlantern", R"(Exec="/opt/my apps/\\$HOME/Marrowlantern")"},
      {"/opt/a\"b`c/d", R"(Exec="/opt/a\\"b\\`c/d")"},
      {"/opt/back\\slash", R"(Exec="/opt/back\\\\slash")"},
      {"/opt/100%/x", R"(Exec="/opt/100%%/x")"},
      {"/opt/é中/x;y&z", R"(Exec="/opt/é中/x;y&z")"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetAutoStart("Marrowlantern", c.path), 0u) << c.path;
    const std::string text = vqtest::ReadFileBytes(Entry());
    EXPECT_NE(text.find(std::string("\n") + c.exec + "\n"), std::string::npos) << c.path << "\n" << text;
  }
}

TEST_F(AutoStartTest, SetReplacesAnEarlierEntryWhole) {
  std::filesystem::create_directories(Folder());
  vqtest::WriteFileBytes(Entry(), "[Desktop Entry]\nType=Application\nHidden=true\nExec=/old/one --long-arguments\n");
  ASSERT_EQ(SetAutoStart("Marrowlantern", "/new"), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(Entry()), "[Desktop Entry]\nType=Application\nName=Marrowlantern\nExec=\"/new\"\n");
  EXPECT_TRUE(HasAutoStart("Marrowlantern"));
  // Nothing but the entry is left in the folder.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(Folder())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(AutoStartTest, HasAutoStartReadsTheEntryAsTheDesktopDoes) {
  const struct {
    const char* text;
    bool shown;
  } cases[] = {
      {"[Desktop Entry]\nType=Application\nExec=/x\n", true},
      {"# comment\n\n[Desktop Entry]\r\nExec=/x\r\n", true},
      {"[Desktop Entry]\nHidden=true\nExec=/x\n", false},
      {"[Desktop Entry]\nHidden = true\n", false},
      {"[Desktop Entry]\nHidden=false\nExec=/x\n", true},
      // Hidden belongs to the entry's own group only.
      {"[Desktop Entry]\nExec=/x\n[Desktop Action quit]\nHidden=true\n", true},
      {"Type=Application\nExec=/x\n", false},
      {"", false},
  };
  std::filesystem::create_directories(Folder());
  for (const auto& c : cases) {
    vqtest::WriteFileBytes(Entry(), c.text);
    EXPECT_EQ(HasAutoStart("Marrowlantern"), c.shown) << c.text;
  }
  std::filesystem::remove(Entry());
  std::filesystem::create_directories(Entry());
  EXPECT_FALSE(HasAutoStart("Marrowlantern"));
}

TEST_F(AutoStartTest, BadNamesAndPathsWriteNothing) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"", "/x"}, {".", "/x"}, {"..", "/x"}, {"a/b", "/x"}, {"Marrowlantern", ""},
      {"Marrowlantern", "relative/x"}, {"Marrowlantern", "/x\nExec=/evil"}, {"Marrow\nlantern", "/x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SetAutoStart(c.name, c.path), ERROR_INVALID_PARAMETER) << c.name << " " << c.path;
    EXPECT_FALSE(HasAutoStart(c.name));
  }
  EXPECT_FALSE(vqtest::PathExists(Folder()));
  EXPECT_EQ(DeleteAutoStart("../Marrowlantern"), ERROR_INVALID_PARAMETER);
}

TEST_F(AutoStartTest, AFolderThatCannotBeMadeIsAnError) {
  // A file where the autostart folder belongs.
  vqtest::WriteFileBytes(Folder(), "not a folder");
  EXPECT_NE(SetAutoStart("Marrowlantern", "/x"), 0u);
  EXPECT_FALSE(HasAutoStart("Marrowlantern"));
}

}  // namespace
}  // namespace platform::shell
