// libp11 reports a token's failure as a PKCS#11 result on OpenSSL's error
// queue. A scope around a libp11 call turns that into our code and leaves
// the queue as it was before the call.
#pragma once

#include <cstdint>

namespace platform::crypto {

class Pkcs11ErrorScope {
 public:
  Pkcs11ErrorScope();
  ~Pkcs11ErrorScope();
  Pkcs11ErrorScope(const Pkcs11ErrorScope&) = delete;
  Pkcs11ErrorScope& operator=(const Pkcs11ErrorScope&) = delete;

  // The code of the PKCS#11 result the failed call left, else fallback.
  uint32_t Error(uint32_t fallback) const;
};

}  // namespace platform::crypto
