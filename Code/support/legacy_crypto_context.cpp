#include "support/legacy_crypto_context.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include "support/log.h"

namespace support {
namespace {

class LegacyProviders {
 public:
  LegacyProviders() {
    ctx_ = OSSL_LIB_CTX_new();
    if (ctx_ == nullptr) {
      LogPrint(LOG_ERR, "OpenSSL library context failed\n");
      return;
    }
    default_ = OSSL_PROVIDER_load(ctx_, "default");
    if (default_ == nullptr) LogPrint(LOG_ERR, "OpenSSL default provider not loaded\n");
    legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
    if (legacy_ == nullptr) {
      LogPrint(LOG_ERR, "OpenSSL legacy provider not loaded: RC4, DES, Blowfish and CAST unavailable\n");
    }
  }
  ~LegacyProviders() {
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    if (ctx_ != nullptr) OSSL_LIB_CTX_free(ctx_);
  }
  LegacyProviders(const LegacyProviders&) = delete;
  LegacyProviders& operator=(const LegacyProviders&) = delete;

  OSSL_LIB_CTX* Context() const { return default_ != nullptr ? ctx_ : nullptr; }
  bool Legacy() const { return legacy_ != nullptr; }

 private:
  OSSL_LIB_CTX* ctx_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
  OSSL_PROVIDER* legacy_ = nullptr;
};

const LegacyProviders& Providers() {
  static const LegacyProviders providers;
  return providers;
}

}  // namespace

OSSL_LIB_CTX* LegacyCryptoContext() { return Providers().Context(); }

bool LegacyProviderLoaded() { return Providers().Legacy(); }

}  // namespace support
