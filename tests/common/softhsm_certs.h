// Test certificates made with OpenSSL: RSA keys, a test CA and the
// certificates it issues (client and server), in PEM or DER form.
#pragma once

#include <string>
#include <vector>

#include "platform/crypto/cert_ptr.h"

namespace vqtest {

platform::crypto::EvpPkeyPtr MakeRsaKey(int bits = 2048);

// A certificate for key with subject CN=commonName, valid from an hour ago
// for 30 days, signed by issuer (self-signed when issuerCert is null).
platform::crypto::X509Ptr IssueCert(const std::string& commonName, EVP_PKEY* key, X509* issuerCert,
                                    EVP_PKEY* issuerKey, bool isCa);

class TestCa {
 public:
  explicit TestCa(const std::string& commonName = "VQ Test CA");
  X509* cert() const { return cert_.get(); }
  EVP_PKEY* key() const { return key_.get(); }
  platform::crypto::X509Ptr Issue(const std::string& commonName, EVP_PKEY* key) const {
    return IssueCert(commonName, key, cert_.get(), key_.get(), false);
  }

 private:
  platform::crypto::EvpPkeyPtr key_;
  platform::crypto::X509Ptr cert_;
};

std::string CertPem(X509* cert);
std::vector<uint8_t> CertDer(X509* cert);
// The private key as unencrypted PKCS #8 DER.
std::vector<uint8_t> PrivateKeyDer(EVP_PKEY* key);
// The certificate's SHA-1 thumbprint.
std::vector<uint8_t> Thumbprint(X509* cert);

}  // namespace vqtest
