// An OpenSSL library context of our own with the default provider and the
// legacy one (RC4, DES, Blowfish, CAST). It is kept apart from the
// process's default context so that loading the legacy provider never
// widens what the TLS control channel accepts. Made on first use, it lives
// for the process; a provider that does not load is logged once.
#pragma once

#include <openssl/types.h>

namespace support {

// Null when even the default provider could not be loaded.
OSSL_LIB_CTX* LegacyCryptoContext();

// False when the legacy provider could not be loaded; its algorithms are
// then missing from the context.
bool LegacyProviderLoaded();

}  // namespace support
