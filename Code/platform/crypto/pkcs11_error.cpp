#include "platform/crypto/pkcs11_error.h"

#include <libp11.h>
#include <openssl/err.h>

#include "platform/crypto/crypto_error.h"

namespace platform::crypto {

Pkcs11ErrorScope::Pkcs11ErrorScope() { ERR_set_mark(); }

Pkcs11ErrorScope::~Pkcs11ErrorScope() { ERR_pop_to_mark(); }

uint32_t Pkcs11ErrorScope::Error(uint32_t fallback) const {
  const unsigned long last = ERR_peek_last_error();
  if (last != 0 && static_cast<int>(ERR_GET_LIB(last)) == ERR_get_CKR_code())
    return ErrorFromCkr(ERR_GET_REASON(last));
  return fallback;
}

}  // namespace platform::crypto
