#include "support/rc4_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "support/legacy_crypto_context.h"

namespace support {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};

// Fetched once; freed at exit before the context it came from.
const EVP_CIPHER* Rc4() {
  static const std::unique_ptr<EVP_CIPHER, CipherFree> rc4(
      LegacyCryptoContext() != nullptr && LegacyProviderLoaded()
          ? EVP_CIPHER_fetch(LegacyCryptoContext(), "RC4", nullptr)
          : nullptr);
  return rc4.get();
}

}  // namespace

struct Rc4Cipher::State {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~State() { EVP_CIPHER_CTX_free(ctx); }
};

Rc4Cipher::Rc4Cipher() : state_(std::make_unique<State>()) {}
Rc4Cipher::~Rc4Cipher() = default;

bool Rc4Available() { return Rc4() != nullptr; }

bool Rc4Cipher::Init(std::span<const uint8_t> key) {
  const EVP_CIPHER* rc4 = Rc4();
  EVP_CIPHER_CTX* ctx = state_->ctx;
  if (rc4 == nullptr || ctx == nullptr || key.empty() || key.size() > 256) return false;
  return EVP_EncryptInit_ex2(ctx, rc4, nullptr, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1 &&
         EVP_EncryptInit_ex2(ctx, nullptr, key.data(), nullptr, nullptr) == 1;
}

bool Rc4Cipher::Apply(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (out.size() != in.size() || state_->ctx == nullptr) return false;
  size_t done = 0;
  while (done < in.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(in.size() - done, INT_MAX / 2));
    int written = 0;
    if (EVP_EncryptUpdate(state_->ctx, out.data() + done, &written, in.data() + done, chunk) != 1 ||
        written != chunk) {
      return false;
    }
    done += static_cast<size_t>(chunk);
  }
  return true;
}

}  // namespace support
