#include "platform/crypto/protect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_root.h"
#include "platform/process/user_context.h"
#include "platform/win32/win32_error.h"

namespace {

namespace crypto = platform::crypto;
namespace proc = platform::process;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class ProtectTest : public ::testing::Test {
 protected:
  // Makes the current user's application data another folder: another
  // user, as far as the key goes.
  void BecomeOtherUser() { ::setenv("XDG_CONFIG_HOME", root_.At("/other/.config").c_str(), 1); }

  vqtest::TempRoot root_;
};

TEST_F(ProtectTest, RoundTripKeepsDataAndDescription) {
  const std::string texts[] = {"", "password 123", "\xe5\xaf\x86\xe7\xa0\x81\xe4\xb8\xad\xe6\x96\x87",
                               "\xf0\x9f\x94\x91 key \xf0\x9f\x98\x80", std::string("\0with\0nul", 9)};
  for (const std::string& text : texts) {
    std::vector<uint8_t> blob;
    ASSERT_EQ(crypto::ProtectData(Bytes(text), "Fenn", blob), platform::ERROR_SUCCESS);
    // Sealed: the plain bytes are not in the blob.
    if (text.size() > 4) {
      EXPECT_EQ(std::search(blob.begin(), blob.end(), text.begin(), text.end()), blob.end());
    }
    std::vector<uint8_t> back;
    std::string description;
    ASSERT_EQ(crypto::UnprotectData(blob, back, &description), platform::ERROR_SUCCESS) << text;
    EXPECT_EQ(std::string(back.begin(), back.end()), text);
    EXPECT_EQ(description, "Fenn");
  }
}

TEST_F(ProtectTest, KeyFileIsPrivateAndMadeOnce) {
  const std::string path = crypto::ProtectKeyPath();
  EXPECT_EQ(path, root_.At("/home/.config/tarnwickgate/protect.key"));
  EXPECT_FALSE(std::filesystem::exists(path));
  std::vector<uint8_t> blob;
  // Opening makes no key: there is nothing it could open.
  std::vector<uint8_t> wellFormed = {'V', 'Q', 'P', '1', 0, 0, 0, 0};
  wellFormed.resize(wellFormed.size() + 12 + 5 + 16, 0x42);
  EXPECT_EQ(crypto::UnprotectData(wellFormed, blob), platform::ERROR_INVALID_DATA);
  EXPECT_FALSE(std::filesystem::exists(path));

  ASSERT_EQ(crypto::ProtectData(Bytes("x"), "d", blob), platform::ERROR_SUCCESS);
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  const std::string key = vqtest::ReadFileBytes(path);
  std::vector<uint8_t> again;
  ASSERT_EQ(crypto::ProtectData(Bytes("y"), "d", again), platform::ERROR_SUCCESS);
  EXPECT_EQ(vqtest::ReadFileBytes(path), key);
  // Two seals of the same data differ (fresh nonce).
  std::vector<uint8_t> first, second;
  ASSERT_EQ(crypto::ProtectData(Bytes("same"), "d", first), platform::ERROR_SUCCESS);
  ASSERT_EQ(crypto::ProtectData(Bytes("same"), "d", second), platform::ERROR_SUCCESS);
  EXPECT_NE(first, second);
}

TEST_F(ProtectTest, FirstUseFromManyThreadsMakesOneKey) {
  constexpr int kThreads = 8;
  std::vector<std::vector<uint8_t>> blobs(kThreads);
  std::vector<uint32_t> results(kThreads, 99);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] { results[i] = crypto::ProtectData(Bytes("secret"), "d", blobs[i]); });
  }
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(results[i], platform::ERROR_SUCCESS);
    std::vector<uint8_t> back;
    EXPECT_EQ(crypto::UnprotectData(blobs[i], back), platform::ERROR_SUCCESS) << i;
  }
  // No half-made key files left beside the key.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_.At("/home/.config/tarnwickgate"))) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(ProtectTest, AnotherUsersBlobDoesNotOpen) {
  std::vector<uint8_t> blob;
  ASSERT_EQ(crypto::ProtectData(Bytes("mine"), "Fenn", blob), platform::ERROR_SUCCESS);
  BecomeOtherUser();
  std::vector<uint8_t> back = {7};
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_INVALID_DATA);
  EXPECT_EQ(back, std::vector<uint8_t>{7});
  // Once the other user has a key of their own, it still does not open.
  std::vector<uint8_t> theirs;
  ASSERT_EQ(crypto::ProtectData(Bytes("theirs"), "Fenn", theirs), platform::ERROR_SUCCESS);
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_INVALID_DATA);
}

TEST_F(ProtectTest, ImpersonatedUserHasTheirOwnKey) {
  const proc::UserContext alice{4242, 4243, "alice", "/home/alice"};
  std::vector<uint8_t> blob;
  proc::ImpersonateUser(alice);
  const uint32_t sealed = crypto::ProtectData(Bytes("alice's"), "Fenn", blob);
  const std::string path = crypto::ProtectKeyPath();
  proc::RevertToSelf();
  ASSERT_EQ(sealed, platform::ERROR_SUCCESS);
  EXPECT_EQ(path, root_.At("/home/alice/.config/tarnwickgate/protect.key"));
  if (::geteuid() == 0) {
    // Root working for alice leaves her a key she owns.
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  std::vector<uint8_t> back;
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_INVALID_DATA);
  proc::ImpersonateUser(alice);
  const uint32_t opened = crypto::UnprotectData(blob, back);
  proc::RevertToSelf();
  EXPECT_EQ(opened, platform::ERROR_SUCCESS);
  EXPECT_EQ(std::string(back.begin(), back.end()), "alice's");
}

TEST_F(ProtectTest, AnyChangedByteOrCutFails) {
  std::vector<uint8_t> blob;
  ASSERT_EQ(crypto::ProtectData(Bytes("a secret of some length"), "Fenn", blob), platform::ERROR_SUCCESS);
  // Every byte: magic, description length, description, nonce, text, tag.
  for (size_t i = 0; i < blob.size(); ++i) {
    std::vector<uint8_t> changed = blob;
    changed[i] ^= 0x01;
    std::vector<uint8_t> back;
    EXPECT_EQ(crypto::UnprotectData(changed, back), platform::ERROR_INVALID_DATA) << "byte " << i;
  }
  for (size_t size : {size_t{0}, size_t{7}, size_t{39}, blob.size() - 1}) {
    std::vector<uint8_t> back;
    EXPECT_EQ(crypto::UnprotectData(std::span(blob.data(), size), back), platform::ERROR_INVALID_DATA)
        << "size " << size;
  }
  std::vector<uint8_t> longer = blob;
  longer.push_back(0);
  std::vector<uint8_t> back;
  EXPECT_EQ(crypto::UnprotectData(longer, back), platform::ERROR_INVALID_DATA);
  // A description length past the end.
  std::vector<uint8_t> huge = blob;
  huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;
  EXPECT_EQ(crypto::UnprotectData(huge, back), platform::ERROR_INVALID_DATA);
}

TEST_F(ProtectTest, UnsafeKeyFileIsRefusedAndKept) {
  std::vector<uint8_t> blob;
  ASSERT_EQ(crypto::ProtectData(Bytes("x"), "d", blob), platform::ERROR_SUCCESS);
  const std::string path = crypto::ProtectKeyPath();
  const std::string key = vqtest::ReadFileBytes(path);

  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  std::vector<uint8_t> back, other;
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(crypto::ProtectData(Bytes("x"), "d", other), platform::ERROR_ACCESS_DENIED);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_SUCCESS);

  // A key of the wrong size is never replaced: blobs made under it would be lost.
  vqtest::WriteFileBytes(path, key + "x");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(crypto::ProtectData(Bytes("x"), "d", other), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(vqtest::ReadFileBytes(path), key + "x");

  // Nor is a link to somewhere else followed.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  vqtest::WriteFileBytes(root_.At("/elsewhere.key"), key);
  ASSERT_EQ(::chmod(root_.At("/elsewhere.key").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(root_.At("/elsewhere.key").c_str(), path.c_str()), 0);
  EXPECT_EQ(crypto::UnprotectData(blob, back), platform::ERROR_ACCESS_DENIED);
}

}  // namespace
