// The outbound SA's IV source: IV n is AES-256-ECB under the SA's own key of
// the counter n as a 16-byte big-endian block (NIST SP 800-38A, Appendix
// C), checked against OpenSSL directly, across the source's batches, cut to
// 8 bytes for the 8-byte-block ciphers; and no IV repeats.
#include "Brindleway/datapath/esp_iv.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <set>
#include <vector>

namespace brindleway {
namespace {

std::array<uint8_t, ESP_IV_KEY_LENGTH> TestKey(uint8_t salt) {
  std::array<uint8_t, ESP_IV_KEY_LENGTH> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 29 + salt);
  return key;
}

// AES-256(key, counter block n), straight from OpenSSL's default context.
std::vector<uint8_t> Expected(const std::array<uint8_t, ESP_IV_KEY_LENGTH>& key, uint64_t n) {
  uint8_t block[16] = {};
  for (int i = 0; i < 8; ++i) block[8 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
  std::vector<uint8_t> out(16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int length = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &length, block, sizeof block), 1);
  EXPECT_EQ(length, 16);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

TEST(EspIvSource, EncryptedCounterFromOneAcrossBatches) {
  const auto key = TestKey(7);
  std::unique_ptr<EspIvSource> source = EspIvSource::Make(key);
  ASSERT_NE(source, nullptr);
  // Several refills of the batch, with 16- and 8-byte IVs interleaved: each
  // takes the next counter whatever its length.
  for (uint64_t n = 1; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const uint32_t length = n % 3 == 0 ? 8 : 16;
    uint8_t iv[16] = {};
    ASSERT_EQ(source->Next(iv, length), 0);
    const std::vector<uint8_t> expected = Expected(key, n);
    EXPECT_EQ(std::vector<uint8_t>(iv, iv + length), std::vector<uint8_t>(expected.begin(), expected.begin() + length));
  }
  uint8_t tooLong[17] = {};
  EXPECT_EQ(source->Next(tooLong, 17), -1);
}

TEST(EspIvSource, NoRepeatsAndKeysOfTheirOwn) {
  std::unique_ptr<EspIvSource> a = EspIvSource::Make(TestKey(1));
  std::unique_ptr<EspIvSource> b = EspIvSource::Make(TestKey(2));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::set<std::vector<uint8_t>> seen;
  constexpr int kCount = 5000;
  for (int i = 0; i < kCount; ++i) {
    uint8_t iv[8];
    ASSERT_EQ(a->Next(iv, sizeof iv), 0);
    seen.emplace(iv, iv + sizeof iv);
    ASSERT_EQ(b->Next(iv, sizeof iv), 0);
    seen.emplace(iv, iv + sizeof iv);
  }
  // Even 8-byte prefixes: a collision among 10000 would be a 1 in 2^37
  // accident, or the two keys giving one sequence.
  EXPECT_EQ(seen.size(), 2u * kCount);
}

}  // namespace
}  // namespace brindleway
