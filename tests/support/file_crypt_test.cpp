#include "support/file_crypt.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file_size_limit.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"

namespace {

// RC4 as its description gives it, kept apart from the code under test.
std::string ReferenceRc4(const std::array<uint8_t, 16>& key, const std::string& data) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  std::string out(data.size(), '\0');
  for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    out[n] = static_cast<char>(static_cast<uint8_t>(data[n]) ^ s[(s[i] + s[j]) & 0xFF]);
  }
  return out;
}

// MD5 of the passwords' UTF-16LE bytes, computed elsewhere.
constexpr char kAsciiPassword[] = "Pa$$w0rd!";
constexpr std::array<uint8_t, 16> kAsciiKey = {0x22, 0x49, 0xc7, 0x01, 0x60, 0xc1, 0x74, 0xa6,
                                               0x3b, 0x5a, 0xeb, 0x2b, 0xc3, 0xb7, 0x11, 0x69};
// Two CJK characters, a key emoji (a surrogate pair) and "x".
constexpr char kWidePassword[] = "\xe5\xaf\x86\xe7\xa0\x81\xf0\x9f\x94\x91x";
constexpr std::array<uint8_t, 16> kWideKey = {0x2c, 0x7e, 0x2f, 0x60, 0x76, 0xfc, 0x92, 0x20,
                                              0x31, 0x06, 0x88, 0x81, 0x18, 0xec, 0xef, 0x56};

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return data;
}

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class FileCryptTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  // Decrypts path into a buffer of the given capacity; the text, or "<failed>".
  static std::string Decrypt(const std::string& path, const char* password, uint32_t capacity) {
    std::vector<uint8_t> out(capacity);
    uint32_t length = capacity;
    if (DecryptFileWithPassword(out.data(), &length, path, password) != 1) return "<failed>";
    return std::string(out.begin(), out.begin() + length);
  }

  vqtest::TempRoot root_;
  std::string path_ = root_.At("/cert");
};

TEST_F(FileCryptTest, ReferenceRc4KnownAnswer) {
  static constexpr char kExpected[] =
      "\x1c\x2c\xf5\xc5\x9f\x99\x17\x5d\xe7\x63\x60\x39\x67\xf9\x02\x00\xe1\xe6\x4e\x3f"
      "\xe4\xd2\xc6\x61\x46\xa2\xd0";
  EXPECT_EQ(ReferenceRc4(kAsciiKey, "Hello, gateway certificate!"), std::string(kExpected, sizeof kExpected - 1));
}

TEST_F(FileCryptTest, PasswordFileIsRc4UnderMd5OfUtf16Password) {
  struct Case {
    const char* password;
    const std::array<uint8_t, 16>& key;
  };
  for (const Case& c : {Case{kAsciiPassword, kAsciiKey}, Case{kWidePassword, kWideKey}}) {
    for (size_t size : {0, 999, 1000, 1001, 2112}) {
      const std::string data = Pattern(size);
      ASSERT_EQ(EncryptFileWithPassword(U(data), static_cast<int>(size), path_, c.password), 1);
      // Exactly as long as the data, one key stream across the pieces.
      EXPECT_EQ(vqtest::ReadFileBytes(path_), ReferenceRc4(c.key, data)) << c.password << " " << size;
      EXPECT_EQ(Decrypt(path_, c.password, static_cast<uint32_t>(size)), data);
    }
  }
}

TEST_F(FileCryptTest, NoPasswordFileCarriesItsSealedKey) {
  for (size_t size : {0, 999, 1000, 1001, 2112}) {
    const std::string data = Pattern(size);
    ASSERT_EQ(EncryptFileWithPassword(U(data), static_cast<int>(size), path_, nullptr), 1);
    const std::string file = vqtest::ReadFileBytes(path_);
    ASSERT_GE(file.size(), 4u);
    const uint32_t n = static_cast<uint8_t>(file[0]) | static_cast<uint8_t>(file[1]) << 8 |
                       static_cast<uint8_t>(file[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(file[3])) << 24;
    EXPECT_GT(n, 16u);
    EXPECT_EQ(file.size(), 4 + n + size);
    EXPECT_EQ(Decrypt(path_, nullptr, static_cast<uint32_t>(size)), data) << size;
  }
  // Random keys: the same data encrypts differently each time.
  const std::string data = Pattern(100);
  ASSERT_EQ(EncryptFileWithPassword(U(data), 100, path_, nullptr), 1);
  const std::string first = vqtest::ReadFileBytes(path_);
  ASSERT_EQ(EncryptFileWithPassword(U(data), 100, path_, nullptr), 1);
  EXPECT_NE(vqtest::ReadFileBytes(path_).substr(first.size() - 100), first.substr(first.size() - 100));
}

TEST_F(FileCryptTest, NoPasswordFileOfAnotherUserDoesNotOpen) {
  const std::string data = Pattern(64);
  ASSERT_EQ(EncryptFileWithPassword(U(data), 64, path_, nullptr), 1);
  ::setenv("XDG_CONFIG_HOME", root_.At("/other/.config").c_str(), 1);
  EXPECT_EQ(Decrypt(path_, nullptr, 64), "<failed>");
  EXPECT_NE(vqtest::ReadLogText().find("Error during CryptImportKey"), std::string::npos);
}

TEST_F(FileCryptTest, CapacityOneShortFails) {
  for (size_t size : {1, 999, 1000, 1001, 2112}) {
    const std::string data = Pattern(size);
    ASSERT_EQ(EncryptFileWithPassword(U(data), static_cast<int>(size), path_, kAsciiPassword), 1);
    std::vector<uint8_t> out(size, 0);
    uint32_t length = static_cast<uint32_t>(size - 1);
    EXPECT_EQ(DecryptFileWithPassword(out.data(), &length, path_, kAsciiPassword), 0) << size;
    EXPECT_EQ(length, size - 1);
  }
  EXPECT_NE(vqtest::ReadLogText().find("Too small buffer!"), std::string::npos);
}

TEST_F(FileCryptTest, HeaderLengthBeyondTheFileFails) {
  // 0xFFFFFFFF, and one byte more than the file holds.
  const std::string tail(40, 'z');
  for (const std::string& header : {std::string("\xff\xff\xff\xff", 4), std::string("\x29\x00\x00\x00", 4)}) {
    vqtest::WriteFileBytes(path_, header + tail);
    EXPECT_EQ(Decrypt(path_, nullptr, 4096), "<failed>");
  }
  // Shorter than a header, and a blob that is no sealed key.
  vqtest::WriteFileBytes(path_, std::string("\x01\x00", 2));
  EXPECT_EQ(Decrypt(path_, nullptr, 4096), "<failed>");
  vqtest::WriteFileBytes(path_, std::string("\x28\x00\x00\x00", 4) + tail);
  EXPECT_EQ(Decrypt(path_, nullptr, 4096), "<failed>");
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("Error reading file header"), std::string::npos);
  EXPECT_NE(log.find("Error during CryptImportKey"), std::string::npos);
}

TEST_F(FileCryptTest, FailedRenewalLeavesTheOldFile) {
  const std::string old = Pattern(300);
  ASSERT_EQ(EncryptFileWithPassword(U(old), 300, path_, kAsciiPassword), 1);
  const std::string before = vqtest::ReadFileBytes(path_);
  const std::string renewal = Pattern(2112);
  for (const char* password : {kAsciiPassword, static_cast<const char*>(nullptr)}) {
    vqtest::FileSizeLimit limit(1500);
    EXPECT_EQ(EncryptFileWithPassword(U(renewal), 2112, path_, password), 0);
  }
  EXPECT_EQ(vqtest::ReadFileBytes(path_), before);
  // Nothing left beside it.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_.path())) {
    if (entry.is_regular_file()) ++files;
  }
  EXPECT_EQ(files, 1);
  EXPECT_EQ(Decrypt(path_, kAsciiPassword, 300), old);
}

TEST_F(FileCryptTest, MissingFilesAndBadArguments) {
  EXPECT_EQ(EncryptFileWithPassword(U("abc"), 3, root_.At("/no/such/folder/cert"), kAsciiPassword), 0);
  EXPECT_NE(vqtest::ReadLogText().find("Error opening destination ciphertext file"), std::string::npos);
  EXPECT_EQ(Decrypt(root_.At("/missing"), kAsciiPassword, 10), "<failed>");
  EXPECT_NE(vqtest::ReadLogText().find("Error opening ciphertext file!"), std::string::npos);
  EXPECT_EQ(EncryptFileWithPassword(nullptr, 3, path_, kAsciiPassword), 0);
  EXPECT_EQ(EncryptFileWithPassword(U("abc"), -1, path_, kAsciiPassword), 0);
  uint8_t out[4];
  EXPECT_EQ(DecryptFileWithPassword(out, nullptr, path_, kAsciiPassword), 0);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

}  // namespace
