// The cipher table: names, order and sizes, the key-length rules of each
// entry, and known-answer CBC vectors through the table's calling form,
// with the IV buffer ending as the last ciphertext block.
#include "Brindleway/datapath/crypt_algo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"

namespace brindleway {
namespace {

using vqtest::FromHex;

TEST(CryptAlgo, TableOrderNamesAndSizes) {
  struct Row {
    const char* name;
    int ivlen;
    int blocksize;
  };
  const Row expected[] = {{"null", 0, 1},     {"null8", 8, 8},   {"blowfish_cbc", 8, 8}, {"des_cbc", 8, 8},
                          {"aes_cbc", 16, 16}, {"des3_cbc", 8, 8}, {"cast_cbc", 8, 8},     {"idea_cbc", 8, 8}};
  const crypt_algo* algo = crypt_algo_list();
  for (const Row& row : expected) {
    ASSERT_NE(algo, nullptr) << row.name;
    EXPECT_STREQ(algo->name, row.name);
    EXPECT_EQ(algo->ivlen, row.ivlen) << row.name;
    EXPECT_EQ(algo->blocksize, row.blocksize) << row.name;
    EXPECT_EQ(find_crypt_algo(row.name), algo);
    algo = algo->next;
  }
  EXPECT_EQ(algo, nullptr);
  EXPECT_EQ(find_crypt_algo("AES_CBC"), nullptr);
  EXPECT_EQ(find_crypt_algo("aes"), nullptr);
  EXPECT_EQ(find_crypt_algo(""), nullptr);
}

TEST(CryptAlgo, KeyLengthRules) {
  struct Case {
    const char* name;
    uint32_t keylen;
    int expected;  // 0 accepted, nonzero refused (both directions)
  };
  const Case cases[] = {
      {"null", 0, 0},          {"null8", 24, 0},        {"des_cbc", 8, 0},      {"des_cbc", 7, -1},
      {"des_cbc", 16, -1},     {"des3_cbc", 24, 0},     {"des3_cbc", 16, -1},   {"des3_cbc", 8, -1},
      {"aes_cbc", 16, 0},      {"aes_cbc", 24, 0},      {"aes_cbc", 32, 0},     {"aes_cbc", 20, -1},
      {"aes_cbc", 8, -1},      {"aes_cbc", 0, -1},      {"cast_cbc", 16, 0},    {"cast_cbc", 8, -1},
      {"idea_cbc", 16, 0},     {"idea_cbc", 24, -1},    {"blowfish_cbc", 16, 0}, {"blowfish_cbc", 4, 0},
      {"blowfish_cbc", 56, 0}, {"blowfish_cbc", 0, -1},
  };
  const std::vector<uint8_t> key(64, 0x5A);
  for (const Case& c : cases) {
    const crypt_algo* algo = find_crypt_algo(c.name);
    ASSERT_NE(algo, nullptr);
    CipherSchedulePtr enc;
    CipherSchedulePtr dec;
    EXPECT_EQ(algo->set_encrypt_key(key.data(), c.keylen, enc) != 0, c.expected != 0) << c.name << " " << c.keylen;
    EXPECT_EQ(algo->set_decrypt_key(key.data(), c.keylen, dec) != 0, c.expected != 0) << c.name << " " << c.keylen;
  }
}

struct CbcVector {
  const char* name;
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

class CryptAlgoVectors : public ::testing::TestWithParam<CbcVector> {};

TEST_P(CryptAlgoVectors, EncryptAndDecryptInPlace) {
  const CbcVector& v = GetParam();
  const crypt_algo* algo = find_crypt_algo(v.name);
  ASSERT_NE(algo, nullptr);
  const std::vector<uint8_t> key = FromHex(v.key);
  const std::vector<uint8_t> plain = FromHex(v.plain);
  const std::vector<uint8_t> cipher = FromHex(v.cipher);
  CipherSchedulePtr enc;
  CipherSchedulePtr dec;
  ASSERT_EQ(algo->set_encrypt_key(key.data(), static_cast<uint32_t>(key.size()), enc), 0);
  ASSERT_EQ(algo->set_decrypt_key(key.data(), static_cast<uint32_t>(key.size()), dec), 0);

  std::vector<uint8_t> iv = FromHex(v.iv);
  std::vector<uint8_t> data = plain;
  ASSERT_EQ(algo->encrypt(iv.data(), enc, data.data(), static_cast<uint32_t>(data.size())), 0);
  EXPECT_EQ(data, cipher);
  // The chained IV: the next packet continues from the last block.
  EXPECT_EQ(iv, std::vector<uint8_t>(cipher.end() - algo->blocksize, cipher.end()));

  iv = FromHex(v.iv);
  ASSERT_EQ(algo->decrypt(iv.data(), dec, data.data(), static_cast<uint32_t>(data.size())), 0);
  EXPECT_EQ(data, plain);

  // Block by block with the IV carried over gives the same as the whole;
  // decrypting the blocks backwards (no block follows the one before) too.
  const size_t bs = algo->blocksize;
  iv = FromHex(v.iv);
  std::vector<uint8_t> pieces = plain;
  for (size_t at = 0; at < pieces.size(); at += bs) {
    ASSERT_EQ(algo->encrypt(iv.data(), enc, pieces.data() + at, static_cast<uint32_t>(bs)), 0);
  }
  EXPECT_EQ(pieces, cipher);
  for (size_t at = pieces.size(); at > 0; at -= bs) {
    std::vector<uint8_t> blockIv =
        at == bs ? FromHex(v.iv) : std::vector<uint8_t>(cipher.begin() + at - 2 * bs, cipher.begin() + at - bs);
    ASSERT_EQ(algo->decrypt(blockIv.data(), dec, pieces.data() + at - bs, static_cast<uint32_t>(bs)), 0);
  }
  EXPECT_EQ(pieces, plain);

  // A schedule is for one direction only.
  EXPECT_NE(algo->encrypt(iv.data(), dec, data.data(), static_cast<uint32_t>(data.size())), 0);
  EXPECT_NE(algo->decrypt(iv.data(), enc, data.data(), static_cast<uint32_t>(data.size())), 0);
}

constexpr const char* kNistPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

INSTANTIATE_TEST_SUITE_P(
    KnownAnswers, CryptAlgoVectors,
    ::testing::Values(
        // NIST SP 800-38A F.2.1, F.2.3, F.2.5.
        CbcVector{"aes_cbc", "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f", kNistPlain,
                  "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e22229516"
                  "3ff1caa1681fac09120eca307586e1a7"},
        CbcVector{"aes_cbc", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "000102030405060708090a0b0c0d0e0f",
                  kNistPlain,
                  "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3df102e0"
                  "08b0e27988598881d920a9e64f5615cd"},
        CbcVector{"aes_cbc", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
                  "000102030405060708090a0b0c0d0e0f", kNistPlain,
                  "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461"
                  "b2eb05e2c39be9fcda6c19078c6a9d1b"},
        // FIPS 81 CBC example.
        CbcVector{"des_cbc", "0123456789abcdef", "1234567890abcdef", "4e6f77206973207468652074696d6520666f7220616c6c20",
                  "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
        // Three independent keys, EDE in key order.
        CbcVector{"des3_cbc", "0123456789abcdef23456789abcdef01456789abcdef0123", "1234567890abcdef",
                  "4e6f77206973207468652074696d6520666f7220616c6c20",
                  "f3c0ff026c023089656fbb169def7edb30ba36075d6f0176"},
        // Blowfish CBC test of its reference implementation.
        CbcVector{"blowfish_cbc", "0123456789abcdeff0e1d2c3b4a59687", "fedcba9876543210",
                  "37363534333231204e6f77206973207468652074696d6520666f722000000000",
                  "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc"},
        // RFC 2144 B.1 (one block with a zero IV is ECB).
        CbcVector{"cast_cbc", "0123456712345678234567893456789a", "0000000000000000", "0123456789abcdef",
                  "238b4fe5847e44b2"},
        // The IDEA paper's test vector.
        CbcVector{"idea_cbc", "00010002000300040005000600070008", "0000000000000000", "0000000100020003",
                  "11fbed2b01986de5"}));

// Every packet brings its own IV: one schedule used for packet after packet,
// each with an IV unrelated to the last, gives what a schedule made afresh
// for that packet gives, both ways, also after a call that failed.
TEST(CryptAlgo, UnrelatedIvsOnOneScheduleMatchFreshSchedules) {
  const std::vector<uint8_t> key(32, 0x3C);
  const struct {
    const char* name;
    uint32_t keyLength;
  } ciphers[] = {{"aes_cbc", 16}, {"aes_cbc", 32}, {"des_cbc", 8}, {"des3_cbc", 24},
                 {"blowfish_cbc", 16}, {"cast_cbc", 16}, {"idea_cbc", 16}};
  for (const auto& c : ciphers) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.keyLength);
    const crypt_algo* algo = find_crypt_algo(c.name);
    ASSERT_NE(algo, nullptr);
    CipherSchedulePtr enc;
    CipherSchedulePtr dec;
    ASSERT_EQ(algo->set_encrypt_key(key.data(), c.keyLength, enc), 0);
    ASSERT_EQ(algo->set_decrypt_key(key.data(), c.keyLength, dec), 0);
    const uint32_t bs = algo->blocksize;
    for (uint32_t packet = 0; packet < 12; ++packet) {
      SCOPED_TRACE(packet);
      std::vector<uint8_t> iv(bs);
      for (uint32_t i = 0; i < bs; ++i) iv[i] = static_cast<uint8_t>(packet * 37 + i * 11 + 1);
      std::vector<uint8_t> plain(bs * (1 + packet % 4));
      for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i + packet);

      CipherSchedulePtr freshEnc;
      ASSERT_EQ(algo->set_encrypt_key(key.data(), c.keyLength, freshEnc), 0);
      std::vector<uint8_t> expected = plain;
      std::vector<uint8_t> freshIv = iv;
      ASSERT_EQ(algo->encrypt(freshIv.data(), freshEnc, expected.data(), static_cast<uint32_t>(expected.size())), 0);

      std::vector<uint8_t> data = plain;
      std::vector<uint8_t> reusedIv = iv;
      ASSERT_EQ(algo->encrypt(reusedIv.data(), enc, data.data(), static_cast<uint32_t>(data.size())), 0);
      EXPECT_EQ(data, expected);
      EXPECT_EQ(reusedIv, freshIv);

      reusedIv = iv;
      ASSERT_EQ(algo->decrypt(reusedIv.data(), dec, data.data(), static_cast<uint32_t>(data.size())), 0);
      EXPECT_EQ(data, plain);
      if (packet == 5) {
        // A length that is not whole blocks fails and breaks no later call.
        std::vector<uint8_t> odd(bs + 1);
        EXPECT_NE(algo->encrypt(reusedIv.data(), enc, odd.data(), static_cast<uint32_t>(odd.size())), 0);
        EXPECT_NE(algo->decrypt(reusedIv.data(), dec, odd.data(), static_cast<uint32_t>(odd.size())), 0);
      }
    }
  }
}

TEST(CryptAlgo, NullCiphersLeaveDataAndIv) {
  for (const char* name : {"null", "null8"}) {
    const crypt_algo* algo = find_crypt_algo(name);
    CipherSchedulePtr schedule;
    ASSERT_EQ(algo->set_encrypt_key(nullptr, 0, schedule), 0);
    uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t data[16] = {9, 9, 9};
    EXPECT_EQ(algo->encrypt(iv, schedule, data, sizeof data), 0);
    EXPECT_EQ(data[0], 9);
    EXPECT_EQ(data[3], 0);
    EXPECT_EQ(iv[7], 8);
  }
}

}  // namespace
}  // namespace brindleway
