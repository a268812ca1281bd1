// The OpenSSL library context behind the cipher and HMAC tables: the
// support library's context with the legacy provider (DES, Blowfish,
// CAST), apart from the process's default context.
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
