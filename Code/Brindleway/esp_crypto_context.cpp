#include "Brindleway/esp_crypto_context.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include "support/log.h"

namespace brindleway {
namespace {

class EspProviders {
 public:
  EspProviders() {
    m_ctx = OSSL_LIB_CTX_new();
    if (m_ctx == nullptr) {
      LogPrint(LOG_ERR, "OpenSSL library context failed\n");
      return;
    }
    m_default = OSSL_PROVIDER_load(m_ctx, "default");
    if (m_default == nullptr) LogPrint(LOG_ERR, "OpenSSL default provider not loaded\n");
    m_legacy = OSSL_PROVIDER_load(m_ctx, "legacy");
    if (m_legacy == nullptr) LogPrint(LOG_ERR, "OpenSSL legacy provider not loaded: DES, Blowfish and CAST unavailable\n");
  }
  ~EspProviders() {
    if (m_legacy != nullptr) OSSL_PROVIDER_unload(m_legacy);
    if (m_default != nullptr) OSSL_PROVIDER_unload(m_default);
    if (m_ctx != nullptr) OSSL_LIB_CTX_free(m_ctx);
  }
  EspProviders(const EspProviders&) = delete;
  EspProviders& operator=(const EspProviders&) = delete;

  OSSL_LIB_CTX* Context() const { return m_default != nullptr ? m_ctx : nullptr; }
  bool Legacy() const { return m_legacy != nullptr; }

 private:
  OSSL_LIB_CTX* m_ctx = nullptr;
  OSSL_PROVIDER* m_default = nullptr;
  OSSL_PROVIDER* m_legacy = nullptr;
};

const EspProviders& Providers() {
  static const EspProviders providers;
  return providers;
}

}  // namespace

OSSL_LIB_CTX* EspLibraryContext() { return Providers().Context(); }

bool EspLegacyAvailable() { return Providers().Legacy(); }

}  // namespace brindleway
