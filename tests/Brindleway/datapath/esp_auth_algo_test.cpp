// The HMAC table and esp_hmac: RFC 2202 / RFC 2286 / RFC 4231 vectors cut
// to the ICV lengths in both modes, one flipped bit refused, the states of
// a key reused across packets, and keys longer than 64 bytes refused.
#include "Brindleway/datapath/auth_algo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"

namespace brindleway {
namespace {

using vqtest::FromHex;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(AuthAlgo, TableOrderAndLengths) {
  struct Row {
    const char* name;
    int digest;
    int icv;
  };
  const Row expected[] = {{"hmac-null", 0, 0},       {"hmac-rmd160-96", 20, 12}, {"hmac-sha512-96", 64, 32},
                          {"hmac-sha384-96", 48, 24}, {"hmac-sha256-96", 32, 16}, {"hmac-sha1-96", 20, 12},
                          {"hmac-md5-96", 16, 12}};
  const auth_algo* algo = auth_algo_list();
  for (const Row& row : expected) {
    ASSERT_NE(algo, nullptr);
    EXPECT_STREQ(algo->name, row.name);
    EXPECT_EQ(algo->digest_length, row.digest) << row.name;
    EXPECT_EQ(algo->icv_length, row.icv) << row.name;
    EXPECT_EQ(find_auth_algo(row.name), algo);
    algo = algo->next;
  }
  EXPECT_EQ(algo, nullptr);
  EXPECT_EQ(find_auth_algo("hmac-sha1"), nullptr);
  EXPECT_EQ(find_auth_algo("HMAC-SHA1-96"), nullptr);
}

struct HmacVector {
  const char* name;
  std::vector<uint8_t> key;
  std::vector<uint8_t> data;
  const char* mac;  // full HMAC
};

class AuthAlgoVectors : public ::testing::TestWithParam<HmacVector> {};

TEST_P(AuthAlgoVectors, WriteCheckAndBitFlip) {
  const HmacVector& v = GetParam();
  const auth_algo* algo = find_auth_algo(v.name);
  ASSERT_NE(algo, nullptr);
  const std::vector<uint8_t> full = FromHex(v.mac);
  const std::vector<uint8_t> expected(full.begin(), full.begin() + algo->icv_length);
  const uint16_t keyLength = static_cast<uint16_t>(v.key.size());

  std::vector<uint8_t> icv(algo->icv_length + 4, 0xEE);
  ASSERT_EQ(esp_hmac(algo, v.data.data(), v.data.size(), icv.data(), ESP_HMAC_WRITE, v.key.data(), keyLength), 0);
  EXPECT_EQ(std::vector<uint8_t>(icv.begin(), icv.begin() + algo->icv_length), expected);
  EXPECT_EQ(icv[algo->icv_length], 0xEE) << "wrote past the ICV";

  std::vector<uint8_t> check = expected;
  EXPECT_EQ(esp_hmac(algo, v.data.data(), v.data.size(), check.data(), ESP_HMAC_CHECK, v.key.data(), keyLength), 0);
  for (size_t bit : {size_t{0}, check.size() * 8 - 1}) {
    std::vector<uint8_t> flipped = expected;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_NE(esp_hmac(algo, v.data.data(), v.data.size(), flipped.data(), ESP_HMAC_CHECK, v.key.data(), keyLength), 0);
  }
  std::vector<uint8_t> data = v.data;
  data[0] ^= 0x01;
  EXPECT_NE(esp_hmac(algo, data.data(), data.size(), check.data(), ESP_HMAC_CHECK, v.key.data(), keyLength), 0);

  // Precomputed states give the same ICV packet after packet.
  HmacKey key;
  ASSERT_EQ(key.Init(algo, v.key.data(), keyLength), 0);
  for (int round = 0; round < 3; ++round) {
    std::vector<uint8_t> again(algo->icv_length);
    ASSERT_EQ(esp_hmac(key, v.data.data(), v.data.size(), again.data(), ESP_HMAC_WRITE), 0);
    EXPECT_EQ(again, expected);
    EXPECT_EQ(esp_hmac(key, v.data.data(), v.data.size(), again.data(), ESP_HMAC_CHECK), 0);
  }
}

const std::vector<uint8_t> kHiThere = Bytes("Hi There");
const std::vector<uint8_t> kJefeData = Bytes("what do ya want for nothing?");
const std::vector<uint8_t> kJefe = Bytes("Jefe");

INSTANTIATE_TEST_SUITE_P(
    Rfc, AuthAlgoVectors,
    ::testing::Values(
        HmacVector{"hmac-md5-96", std::vector<uint8_t>(16, 0x0b), kHiThere, "9294727a3638bb1c13f48ef8158bfc9d"},
        HmacVector{"hmac-md5-96", kJefe, kJefeData, "750c783e6ab0b503eaa86e310a5db738"},
        HmacVector{"hmac-sha1-96", std::vector<uint8_t>(20, 0x0b), kHiThere, "b617318655057264e28bc0b6fb378c8ef146be00"},
        HmacVector{"hmac-sha1-96", kJefe, kJefeData, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        HmacVector{"hmac-rmd160-96", std::vector<uint8_t>(20, 0x0b), kHiThere,
                   "24cb4bd67d20fc1a5d2ed7732dcc39377f0a5668"},
        HmacVector{"hmac-sha256-96", std::vector<uint8_t>(20, 0x0b), kHiThere,
                   "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        HmacVector{"hmac-sha256-96", kJefe, kJefeData,
                   "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        HmacVector{"hmac-sha384-96", std::vector<uint8_t>(20, 0x0b), kHiThere,
                   "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        HmacVector{"hmac-sha384-96", kJefe, kJefeData,
                   "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
        HmacVector{"hmac-sha512-96", std::vector<uint8_t>(20, 0x0b), kHiThere,
                   "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
                   "be9d914eeb61f1702e696c203a126854"},
        HmacVector{"hmac-sha512-96", kJefe, kJefeData,
                   "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
                   "caeab1a34d4a6b4b636e070a38bce737"}));

TEST(AuthAlgo, KeyOfMoreThan64BytesRefused) {
  const auth_algo* algo = find_auth_algo("hmac-sha512-96");
  const std::vector<uint8_t> key(65, 0xAA);
  uint8_t icv[32] = {};
  EXPECT_NE(esp_hmac(algo, key.data(), 8, icv, ESP_HMAC_WRITE, key.data(), 65), 0);
  EXPECT_NE(esp_hmac(algo, key.data(), 8, icv, ESP_HMAC_CHECK, key.data(), 65), 0);
  EXPECT_EQ(esp_hmac(algo, key.data(), 8, icv, ESP_HMAC_WRITE, key.data(), 64), 0);
}

TEST(AuthAlgo, NullHashHasNoIcv) {
  const auth_algo* algo = find_auth_algo("hmac-null");
  uint8_t icv[4] = {7, 7, 7, 7};
  EXPECT_EQ(esp_hmac(algo, icv, 4, icv, ESP_HMAC_WRITE, nullptr, 0), 0);
  EXPECT_EQ(icv[0], 7);
  EXPECT_EQ(esp_hmac(algo, icv, 4, icv, ESP_HMAC_CHECK, nullptr, 0), 0);
}

}  // namespace
}  // namespace brindleway
