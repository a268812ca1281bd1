#include "platform/temp_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"

namespace platform {
namespace {

TEST(ScopedTempFileTest, MakesAFreshPrivateFileAndRemovesIt) {
  vqtest::TempRoot root;
  std::string first;
  {
    ScopedTempFile file;
    ASSERT_EQ(file.Create(root.path(), "Xml", ".tmp"), 0u);
    first = file.path();
    EXPECT_EQ(first.rfind(root.path() + "/Xml", 0), 0u);
    EXPECT_EQ(first.size(), root.path().size() + std::string("/XmlXXXXXX.tmp").size());
    EXPECT_TRUE(first.ends_with(".tmp"));
    struct stat st{};
    ASSERT_EQ(::stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ScopedTempFile second;
    ASSERT_EQ(second.Create(root.path(), "Xml", ".tmp"), 0u);
    EXPECT_NE(second.path(), first);
  }
  struct stat st{};
  EXPECT_NE(::stat(first.c_str(), &st), 0);

  ScopedTempFile missing;
  EXPECT_NE(missing.Create(root.At("/no/such/folder"), "Xml", ".tmp"), 0u);
  EXPECT_EQ(missing.path(), "");
}

}  // namespace
}  // namespace platform
