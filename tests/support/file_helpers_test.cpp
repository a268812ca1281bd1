#include "support/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"

namespace {

class FileHelpersTest : public ::testing::Test {
 protected:
  vqtest::TempRoot root_;
};

TEST_F(FileHelpersTest, LengthOfFilesAndMissingOnes) {
  vqtest::WriteFileBytes(root_.At("/empty"), "");
  vqtest::WriteFileBytes(root_.At("/data"), std::string(3000, 'd'));
  EXPECT_EQ(GetFileLength(root_.At("/empty").c_str()), 0);
  EXPECT_EQ(GetFileLength(root_.At("/data").c_str()), 3000);

  const std::string missing = root_.At("/missing");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(GetFileLength(missing.c_str()), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The file " + missing + " was not opened\n");
}

TEST_F(FileHelpersTest, ReadWholeFileKeepsEveryByte) {
  // Several pieces, the last one short, with NUL bytes inside.
  std::string data(2500, 'x');
  data[0] = '\0';
  data[1024] = '\0';
  data[2499] = 'z';
  vqtest::WriteFileBytes(root_.At("/script"), data);
  const auto read = ReadWholeFile(root_.At("/script").c_str());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, data);
  EXPECT_EQ(read->c_str()[read->size()], '\0');

  vqtest::WriteFileBytes(root_.At("/empty"), "");
  EXPECT_EQ(ReadWholeFile(root_.At("/empty").c_str()), std::string());

  const std::string missing = root_.At("/missing");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadWholeFile(missing.c_str()), std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The file " + missing + " was not opened\n");
}

TEST_F(FileHelpersTest, FileExistsOnlyForReadableFiles) {
  vqtest::WriteFileBytes(root_.At("/file"), "x");
  EXPECT_EQ(FileExists(root_.At("/file").c_str()), 1);
  EXPECT_EQ(FileExists(root_.At("/missing").c_str()), 0);
  EXPECT_EQ(FileExists(root_.path().c_str()), 0);
  EXPECT_EQ(FileExists(nullptr), 0);
}

TEST_F(FileHelpersTest, CreateDirectoryRecursiveMakesEveryLevel) {
  const std::string deep = root_.At("/a/b/c");
  EXPECT_NE(CreateDirectoryRecursive(deep.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  // Already there is success.
  EXPECT_NE(CreateDirectoryRecursive(deep.c_str()), 0);
  EXPECT_NE(CreateDirectoryRecursive((deep + "/").c_str()), 0);
  // A file in the way is not.
  vqtest::WriteFileBytes(root_.At("/file"), "x");
  EXPECT_EQ(CreateDirectoryRecursive(root_.At("/file").c_str()), 0);
  EXPECT_EQ(CreateDirectoryRecursive(root_.At("/file/below").c_str()), 0);
  EXPECT_EQ(CreateDirectoryRecursive(""), 0);
}

TEST_F(FileHelpersTest, CreateDirectoryRecursiveRacesSucceed) {
  const std::string deep = root_.At("/race/one/two/three/four");
  constexpr int kThreads = 8;
  std::vector<int> results(kThreads, -1);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { results[i] = CreateDirectoryRecursive(deep.c_str()); });
  }
  for (int r : results) EXPECT_NE(r, 0);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
}

}  // namespace
