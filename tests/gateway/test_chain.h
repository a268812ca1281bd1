// Gateway certificates issued by test authorities: a root, intermediates
// below it and a leaf for the gateway; certificates grown past a size; and
// the gateway's certificate as PEM for the demo's trust store.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "gateway/test_certs.h"

namespace vqgw {

using TestCertPtr = std::shared_ptr<const TestCert>;

// A certificate for a new EC key with subject CN=commonName, signed by
// issuer (self-signed when null); isCa marks an authority. Throws
// std::runtime_error when OpenSSL fails.
TestCertPtr IssueTestCert(const TestCert* issuer, CertKind kind, const std::string& commonName, bool isCa);

struct TestChain {
  TestCertPtr root;
  std::vector<TestCertPtr> intermediates;  // the root's child first
  TestCertPtr leaf;
  // What the gateway sends after its leaf: the leaf's issuer first, up to
  // and without the root.
  std::vector<TestCertPtr> Sent() const;
};

// root -> intermediates... -> leaf; the leaf sits at depth `intermediates + 1`
// below the root.
TestChain MakeTestChain(int intermediates, CertKind leafKind = CertKind::Valid,
                        const std::string& leafName = "gateway.test");

// A self-signed certificate whose DER form is at least minDerBytes long.
TestCertPtr MakeLargeTestCert(size_t minDerBytes);

// A shared reference to cert (its count raised).
std::shared_ptr<X509> ShareX509Cert(X509* cert);

std::string X509ToPem(X509* cert);
// The first certificate of a PEM file; null when there is none.
std::shared_ptr<X509> ReadPemCert(const std::string& path);

}  // namespace vqgw
