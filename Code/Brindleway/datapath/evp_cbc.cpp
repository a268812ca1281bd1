#include "Brindleway/datapath/evp_cbc.h"

#include <openssl/evp.h>

#include <cstring>

#include "Brindleway/datapath/esp_crypto_context.h"

namespace brindleway {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const noexcept { EVP_CIPHER_free(cipher); }
};

class EvpCbcSchedule final : public CipherSchedule {
 public:
  EvpCbcSchedule(std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx, bool encrypt, uint32_t blockSize)
      : m_ctx(std::move(ctx)), m_encrypt(encrypt), m_blockSize(blockSize) {}

  bool Encrypts() const override { return m_encrypt; }

  int Cbc(uint8_t* iv, uint8_t* data, uint32_t len) override {
    if (len == 0) return 0;
    if (len % m_blockSize != 0 || len > INT32_MAX) return -1;
    uint8_t lastCipherBlock[EVP_MAX_BLOCK_LENGTH];
    if (!m_encrypt) std::memcpy(lastCipherBlock, data + len - m_blockSize, m_blockSize);
    // Only the IV changes between packets; the key schedule stays. The
    // context ends each call chained to its last cipher block: when that is
    // the IV asked for (every packet sent, and received packets in order)
    // it is already in place.
    const bool chained = m_chained && std::memcmp(iv, m_chain, m_blockSize) == 0;
    m_chained = false;
    if (!chained && EVP_CipherInit_ex2(m_ctx.get(), nullptr, nullptr, iv, m_encrypt ? 1 : 0, nullptr) != 1) {
      return -1;
    }
    int outLength = 0;
    if (EVP_CipherUpdate(m_ctx.get(), data, &outLength, data, static_cast<int>(len)) != 1 ||
        outLength != static_cast<int>(len)) {
      return -1;
    }
    std::memcpy(iv, m_encrypt ? data + len - m_blockSize : lastCipherBlock, m_blockSize);
    std::memcpy(m_chain, iv, m_blockSize);
    m_chained = true;
    return 0;
  }

 private:
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> m_ctx;
  bool m_encrypt;
  uint32_t m_blockSize;
  // The context's chaining block after the last call, when it succeeded.
  uint8_t m_chain[EVP_MAX_BLOCK_LENGTH] = {};
  bool m_chained = false;
};

}  // namespace

CipherSchedulePtr MakeEvpCbcSchedule(const char* cipherName, const uint8_t* key, uint32_t keyLength, bool encrypt) {
  OSSL_LIB_CTX* libctx = EspLibraryContext();
  if (libctx == nullptr || key == nullptr || keyLength == 0 || keyLength > INT32_MAX) return nullptr;
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(libctx, cipherName, nullptr));
  if (cipher == nullptr) return nullptr;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr) return nullptr;
  const int enc = encrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, enc, nullptr) != 1) return nullptr;
  if (static_cast<uint32_t>(EVP_CIPHER_CTX_get_key_length(ctx.get())) != keyLength &&
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(keyLength)) != 1) {
    return nullptr;
  }
  if (EVP_CipherInit_ex2(ctx.get(), nullptr, key, nullptr, enc, nullptr) != 1) return nullptr;
  // The packet format pads itself.
  if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) return nullptr;
  const int blockSize = EVP_CIPHER_CTX_get_block_size(ctx.get());
  if (blockSize <= 0 || blockSize > EVP_MAX_BLOCK_LENGTH) return nullptr;
  return std::make_unique<EvpCbcSchedule>(std::move(ctx), encrypt, static_cast<uint32_t>(blockSize));
}

}  // namespace brindleway
