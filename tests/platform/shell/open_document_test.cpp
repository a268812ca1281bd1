// A document opened with the desktop's opener: a recording xdg-open first
// on PATH gets the file's absolute path as its one argument.
#include "platform/shell/open_document.h"

#include <gtest/gtest.h>

#include "common/eventually.h"
#include "common/recording_opener.h"
#include "common/temp_root.h"
#include "platform/win32/win32_error.h"

namespace platform::shell {
namespace {

class OpenDocumentTest : public ::testing::Test {
 protected:
  vqtest::TempRoot root_;
  vqtest::RecordingOpener opener_{root_};
};

TEST_F(OpenDocumentTest, TheOpenerGetsTheAbsolutePath) {
  const std::string file = root_.At("/a folder/log.txt");
  ASSERT_EQ(OpenDocument(file), 0u);
  ASSERT_TRUE(vqtest::Eventually([&] { return opener_.Called(); }));
  EXPECT_EQ(opener_.Record(), "1 [" + file + "]\n");
}

TEST_F(OpenDocumentTest, ARelativePathOrAnOptionIsRefused) {
  for (const char* path : {"", "log.txt", "-x", "--help", "https://x/"})
    EXPECT_EQ(OpenDocument(path), ERROR_INVALID_PARAMETER) << path;
  EXPECT_EQ(opener_.Record(), "");
}

}  // namespace
}  // namespace platform::shell
