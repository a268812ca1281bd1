#include "Brindleway/datapath/esp_iv.h"

#include <openssl/evp.h>

#include <cstring>
#include <limits>

#include "Brindleway/datapath/esp_crypto_context.h"

namespace brindleway {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const noexcept { EVP_CIPHER_free(cipher); }
};

}  // namespace

void EspIvSource::CtxFree::operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }

std::unique_ptr<EspIvSource> EspIvSource::Make(std::span<const uint8_t, ESP_IV_KEY_LENGTH> key) {
  OSSL_LIB_CTX* libctx = EspLibraryContext();
  if (libctx == nullptr) return nullptr;
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(libctx, "AES-256-ECB", nullptr));
  if (cipher == nullptr) return nullptr;
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key.data(), nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return nullptr;
  }
  return std::unique_ptr<EspIvSource>(new EspIvSource(std::move(ctx)));
}

int EspIvSource::Refill() {
  // A counter value is never encrypted twice: the last batch that fits
  // below 2^64 is the last one.
  if (m_counter > std::numeric_limits<uint64_t>::max() - kIvBatch) return -1;
  for (uint8_t(&block)[ESP_IV_BLOCK] : m_blocks) {
    const uint64_t n = ++m_counter;
    std::memset(block, 0, 8);
    for (int i = 0; i < 8; ++i) block[8 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
  }
  int outLength = 0;
  if (EVP_EncryptUpdate(m_ctx.get(), &m_blocks[0][0], &outLength, &m_blocks[0][0], static_cast<int>(sizeof m_blocks)) !=
          1 ||
      outLength != static_cast<int>(sizeof m_blocks)) {
    // The counters stay used: a later refill moves on to fresh ones.
    m_next = kIvBatch;
    return -1;
  }
  m_next = 0;
  return 0;
}

int EspIvSource::Next(uint8_t* iv, uint32_t length) {
  if (iv == nullptr || length > ESP_IV_BLOCK) return -1;
  if (m_next == kIvBatch && Refill() != 0) return -1;
  std::memcpy(iv, m_blocks[m_next], length);
  ++m_next;
  return 0;
}

}  // namespace brindleway
