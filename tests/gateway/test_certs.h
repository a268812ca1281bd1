// Gateway certificates made at test time with OpenSSL: self-signed EC P-256
// keys whose validity period lies around now, behind it or ahead of it. Two
// calls give two different certificates ("changed" gateway certificate).
// BrokenSignature is a valid self-signed one whose signature was damaged.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vqgw {

enum class CertKind { Valid, Expired, NotYetValid, BrokenSignature };

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

struct TestCert {
  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  std::unique_ptr<X509, X509Free> cert;

  std::vector<uint8_t> Der() const;
};

// Throws std::runtime_error when OpenSSL fails.
std::shared_ptr<const TestCert> MakeTestCert(CertKind kind, const std::string& commonName = "gateway.test");

// The steps MakeTestCert is made of, for certificates with extensions: a
// new EC key and its certificate for CN=commonName, issued by issuer (by
// itself when null) and not yet signed; then the signature with the
// issuer's key (its own when null). Both throw as above.
std::shared_ptr<TestCert> NewUnsignedTestCert(const TestCert* issuer, CertKind kind, const std::string& commonName);
void SignTestCert(TestCert& made, const TestCert* issuer);

}  // namespace vqgw
