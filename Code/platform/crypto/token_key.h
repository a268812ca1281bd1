// A private key on a USB key (a PKCS#11 token). Its operations run on the
// token, serialised with every other call on the same module; the module
// stays loaded while the key lives. A new login makes the token's old key
// handles invalid: an operation that meets one finds the key again (by its
// CKA_ID) and tries once more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/crypto/cert_ptr.h"

namespace platform::crypto {

class Pkcs11Module;

enum class RsaPadding { Pkcs1, None };

class TokenKey {
 public:
  // key: libp11's handle of the token key whose CKA_ID is id.
  TokenKey(std::shared_ptr<Pkcs11Module> module, std::vector<uint8_t> id, EvpPkeyPtr key);
  ~TokenKey();
  TokenKey(const TokenKey&) = delete;
  TokenKey& operator=(const TokenKey&) = delete;

  // The modulus length in bytes.
  size_t Size() const;

  // A private-key operation (C_Sign): with Pkcs1, CKM_RSA_PKCS over data
  // (at most Size() - 11 bytes, a DigestInfo for a signature); with None,
  // CKM_RSA_X_509 on a block of exactly Size() bytes. out gets Size()
  // bytes. 0, NTE_BAD_LEN for data of a wrong length, or the token's
  // failure (SCARD_W_CARD_NOT_AUTHENTICATED without a login).
  uint32_t PrivateEncrypt(std::span<const uint8_t> data, RsaPadding padding,
                          std::vector<uint8_t>& out) const;

  // C_Decrypt with CKM_RSA_PKCS or CKM_RSA_X_509 on Size() bytes of input.
  uint32_t Decrypt(std::span<const uint8_t> input, RsaPadding padding,
                   std::vector<uint8_t>& out) const;

 private:
  // Runs op on the key, finding the key again once when the token no
  // longer knows its handle. The caller holds the module's lock.
  template <typename Op>
  uint32_t WithKey(Op op) const;

  std::shared_ptr<Pkcs11Module> module_;
  std::vector<uint8_t> id_;
  size_t size_ = 0;
  mutable EvpPkeyPtr key_;  // guarded by the module's lock; freed before the module can go
};

}  // namespace platform::crypto
