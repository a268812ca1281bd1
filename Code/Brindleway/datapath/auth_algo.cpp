#include "Brindleway/datapath/auth_algo.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "Brindleway/datapath/algo_list.h"
#include "Brindleway/datapath/esp_crypto_context.h"

namespace brindleway {
namespace {

constexpr auth_algo kMd5{nullptr, "hmac-md5-96", 16, 64, 12, "MD5"};
constexpr auth_algo kSha1{&kMd5, "hmac-sha1-96", 20, 64, 12, "SHA1"};
constexpr auth_algo kSha256{&kSha1, "hmac-sha256-96", 32, 64, 16, "SHA256"};
constexpr auth_algo kSha384{&kSha256, "hmac-sha384-96", 48, 128, 24, "SHA384"};
constexpr auth_algo kSha512{&kSha384, "hmac-sha512-96", 64, 128, 32, "SHA512"};
constexpr auth_algo kRmd160{&kSha512, "hmac-rmd160-96", 20, 64, 12, "RIPEMD160"};
// No digest, so no ICV: cutting 12 bytes from an empty digest would send
// bytes that were never computed.
constexpr auth_algo kNull{&kRmd160, "hmac-null", 0, 64, 0, nullptr};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct MdFree {
  void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

}  // namespace

const auth_algo* auth_algo_list() { return &kNull; }

const auth_algo* find_auth_algo(const char* name) { return FindAlgoByName(auth_algo_list(), name); }

struct HmacKey::States {
  std::unique_ptr<EVP_MD, MdFree> md;
  MdCtxPtr inner{EVP_MD_CTX_new()};
  MdCtxPtr outer{EVP_MD_CTX_new()};
  MdCtxPtr work{EVP_MD_CTX_new()};
};

HmacKey::HmacKey() = default;
HmacKey::~HmacKey() = default;

void HmacKey::Clear() {
  m_algo = nullptr;
  m_states.reset();
}

int HmacKey::Init(const auth_algo* algo, const uint8_t* key, uint32_t keyLength) {
  Clear();
  if (algo == nullptr || keyLength > AUTH_MAX_KEY_LENGTH || (keyLength > 0 && key == nullptr)) return -1;
  if (algo->digest_name == nullptr) {
    m_algo = algo;
    return 0;
  }
  OSSL_LIB_CTX* libctx = EspLibraryContext();
  if (libctx == nullptr) return -1;
  auto states = std::make_unique<States>();
  states->md.reset(EVP_MD_fetch(libctx, algo->digest_name, nullptr));
  if (states->md == nullptr || states->inner == nullptr || states->outer == nullptr || states->work == nullptr) {
    return -1;
  }
  // The key is never hashed first: it is at most 64 bytes, within every
  // block size of the table.
  uint8_t innerPad[128];
  uint8_t outerPad[128];
  std::memset(innerPad, 0, sizeof innerPad);
  std::memset(outerPad, 0, sizeof outerPad);
  if (keyLength > 0) {
    std::memcpy(innerPad, key, keyLength);
    std::memcpy(outerPad, key, keyLength);
  }
  for (size_t i = 0; i < sizeof innerPad; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5C;
  }
  const bool ok = EVP_DigestInit_ex2(states->inner.get(), states->md.get(), nullptr) == 1 &&
                  EVP_DigestUpdate(states->inner.get(), innerPad, algo->block_size) == 1 &&
                  EVP_DigestInit_ex2(states->outer.get(), states->md.get(), nullptr) == 1 &&
                  EVP_DigestUpdate(states->outer.get(), outerPad, algo->block_size) == 1;
  OPENSSL_cleanse(innerPad, sizeof innerPad);
  OPENSSL_cleanse(outerPad, sizeof outerPad);
  if (!ok) return -1;
  m_states = std::move(states);
  m_algo = algo;
  return 0;
}

int HmacKey::Compute(const uint8_t* data, size_t length, uint8_t* out) {
  if (m_algo == nullptr) return -1;
  if (m_states == nullptr) return 0;  // hmac-null: an empty digest
  uint8_t innerDigest[EVP_MAX_MD_SIZE];
  unsigned int innerLength = 0;
  unsigned int outerLength = 0;
  EVP_MD_CTX* work = m_states->work.get();
  if (EVP_MD_CTX_copy_ex(work, m_states->inner.get()) != 1 || EVP_DigestUpdate(work, data, length) != 1 ||
      EVP_DigestFinal_ex(work, innerDigest, &innerLength) != 1 || innerLength != m_algo->digest_length ||
      EVP_MD_CTX_copy_ex(work, m_states->outer.get()) != 1 ||
      EVP_DigestUpdate(work, innerDigest, innerLength) != 1 || EVP_DigestFinal_ex(work, out, &outerLength) != 1 ||
      outerLength != m_algo->digest_length) {
    return -1;
  }
  return 0;
}

int esp_hmac(HmacKey& key, const uint8_t* data, size_t length, uint8_t* icv, int mode) {
  const auth_algo* algo = key.Algo();
  if (algo == nullptr) return -1;
  uint8_t digest[EVP_MAX_MD_SIZE];
  if (key.Compute(data, length, digest) != 0) return -1;
  if (mode == ESP_HMAC_WRITE) {
    std::memcpy(icv, digest, algo->icv_length);
    return 0;
  }
  return CRYPTO_memcmp(digest, icv, algo->icv_length) == 0 ? 0 : 1;
}

int esp_hmac(const auth_algo* algo, const uint8_t* data, size_t length, uint8_t* icv, int mode, const uint8_t* key,
             uint16_t keyLength) {
  HmacKey hmacKey;
  if (hmacKey.Init(algo, key, keyLength) != 0) return -1;
  return esp_hmac(hmacKey, data, length, icv, mode);
}

}  // namespace brindleway
