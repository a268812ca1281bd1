#include "support/rc4_cipher.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <climits>

namespace support {
namespace {

class LegacyContext {
 public:
  LegacyContext() {
    ctx_ = OSSL_LIB_CTX_new();
    if (ctx_ == nullptr) return;
    default_ = OSSL_PROVIDER_load(ctx_, "default");
    legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
    if (default_ != nullptr && legacy_ != nullptr) rc4_ = EVP_CIPHER_fetch(ctx_, "RC4", nullptr);
  }
  ~LegacyContext() {
    EVP_CIPHER_free(rc4_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    OSSL_LIB_CTX_free(ctx_);
  }
  LegacyContext(const LegacyContext&) = delete;
  LegacyContext& operator=(const LegacyContext&) = delete;

  // Null when the provider could not be loaded.
  const EVP_CIPHER* Rc4() const { return rc4_; }

 private:
  OSSL_LIB_CTX* ctx_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
  OSSL_PROVIDER* legacy_ = nullptr;
  EVP_CIPHER* rc4_ = nullptr;
};

const LegacyContext& Legacy() {
  static const LegacyContext context;
  return context;
}

}  // namespace

struct Rc4Cipher::State {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~State() { EVP_CIPHER_CTX_free(ctx); }
};

Rc4Cipher::Rc4Cipher() : state_(std::make_unique<State>()) {}
Rc4Cipher::~Rc4Cipher() = default;

bool Rc4Available() { return Legacy().Rc4() != nullptr; }

bool Rc4Cipher::Init(std::span<const uint8_t> key) {
  const EVP_CIPHER* rc4 = Legacy().Rc4();
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
