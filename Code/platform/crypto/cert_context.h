// One certificate of a store, as the store hands it out: the certificate,
// its encoded form, its SHA-1 hash property and, for a certificate whose key
// lives on a USB key, the provider and key container that hold the key.
// Contexts are immutable and shared; a caller "frees" one by dropping its
// pointer.
#pragma once

#include <openssl/x509.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/cert_ptr.h"

namespace platform::crypto {

inline constexpr size_t SHA1_HASH_SIZE = 20;

// Where the certificate's private key lives: the provider's name and the
// key container within it (for a token, the hex form of the key's CKA_ID).
struct KeyProvInfo {
  std::string providerName;
  std::string containerName;
};

class CertContext;
using CertContextPtr = std::shared_ptr<const CertContext>;

class CertContext {
 public:
  // A context over cert (a new reference is taken); null when the
  // certificate cannot be encoded.
  static CertContextPtr Create(X509* cert, std::optional<KeyProvInfo> keyProvInfo = std::nullopt);
  // The same from the DER form; null when it does not parse.
  static CertContextPtr FromEncoded(const uint8_t* der, size_t length,
                                    std::optional<KeyProvInfo> keyProvInfo = std::nullopt);

  // Owned by the context; valid while it lives.
  X509* x509() const { return cert_.get(); }
  const std::vector<uint8_t>& encoded() const { return encoded_; }
  const std::array<uint8_t, SHA1_HASH_SIZE>& sha1Hash() const { return sha1_; }
  const std::optional<KeyProvInfo>& keyProvInfo() const { return keyProvInfo_; }

  // The simple display name: the subject's common name, else its
  // organisational unit, organisation or e-mail address, else its first
  // attribute; "" when the subject is empty.
  std::string SimpleDisplayName() const;
  // True when one of the subject's attribute values contains text, without
  // regard to ASCII case.
  bool SubjectContains(std::string_view text) const;

 private:
  CertContext() = default;

  X509Ptr cert_;
  std::vector<uint8_t> encoded_;
  std::array<uint8_t, SHA1_HASH_SIZE> sha1_{};
  std::optional<KeyProvInfo> keyProvInfo_;
};

// The hex form (lower case) of a key's CKA_ID, the name of its container.
std::string KeyContainerName(const std::vector<uint8_t>& id);
// The CKA_ID of a container name; nothing when it is not an even run of hex digits.
std::optional<std::vector<uint8_t>> KeyIdFromContainerName(std::string_view name);

}  // namespace platform::crypto
