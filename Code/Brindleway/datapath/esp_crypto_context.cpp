#include "Brindleway/datapath/esp_crypto_context.h"

#include "support/legacy_crypto_context.h"

namespace brindleway {

OSSL_LIB_CTX* EspLibraryContext() { return support::LegacyCryptoContext(); }

bool EspLegacyAvailable() { return support::LegacyProviderLoaded(); }

}  // namespace brindleway
