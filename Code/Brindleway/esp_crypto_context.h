// The OpenSSL library context behind the cipher and HMAC tables: the
// default provider plus the legacy one (DES, Blowfish, CAST). It is kept
// apart from the process's default context so that loading the legacy
// provider never widens what the TLS control channel accepts.
#pragma once

#include <openssl/types.h>

namespace brindleway {

// Made on first use, lives for the process. Null when even the default
// provider could not be loaded.
OSSL_LIB_CTX* EspLibraryContext();

// False when the legacy provider could not be loaded; the algorithms that
// need it then refuse their keys.
bool EspLegacyAvailable();

}  // namespace brindleway
