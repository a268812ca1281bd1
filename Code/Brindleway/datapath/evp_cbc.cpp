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
    // Only the IV changes between packets; the key schedule stays, and the
    // context is not set up again. It ends each call chained to its last
    // cipher block (m_chain), and CBC from iv is CBC from m_chain with the
    // first plaintext block XORed with iv ^ m_chain: before encrypting,
    // after decrypting. Every packet has its own IV (esp_iv.h), so this
    // saves an EVP_CipherInit_ex2 per packet. After a failure the chaining
    // block is not known and the IV is set the long way.
    const bool chained = m_chained;
    m_chained = false;
    if (chained) {
      if (m_encrypt) XorIvDelta(data, iv);
    } else if (EVP_CipherInit_ex2(m_ctx.get(), nullptr, nullptr, iv, m_encrypt ? 1 : 0, nullptr) != 1) {
      return -1;
    }
    int outLength = 0;
    if (EVP_CipherUpdate(m_ctx.get(), data, &outLength, data, static_cast<int>(len)) != 1 ||
        outLength != static_cast<int>(len)) {
      return -1;
    }
    if (chained && !m_encrypt) XorIvDelta(data, iv);
    std::memcpy(iv, m_encrypt ? data + len - m_blockSize : lastCipherBlock, m_blockSize);
    std::memcpy(m_chain, iv, m_blockSize);
    m_chained = true;
    return 0;
  }

 private:
  // block ^= iv ^ m_chain, a 64-bit word at a time (the block is 8 or 16
  // bytes; MakeEvpCbcSchedule takes no other).
  void XorIvDelta(uint8_t* block, const uint8_t* iv) const {
    for (uint32_t i = 0; i < m_blockSize; i += 8) {
      uint64_t b, v, c;
      std::memcpy(&b, block + i, 8);
      std::memcpy(&v, iv + i, 8);
      std::memcpy(&c, m_chain + i, 8);
      b ^= v ^ c;
      std::memcpy(block + i, &b, 8);
    }
  }

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
  if (blockSize <= 0 || blockSize > EVP_MAX_BLOCK_LENGTH || blockSize % 8 != 0) return nullptr;
  return std::make_unique<EvpCbcSchedule>(std::move(ctx), encrypt, static_cast<uint32_t>(blockSize));
}

}  // namespace brindleway
