#include "gateway/test_chain.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace vqgw {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test chain: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  const bool added = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  Check(added, "extension");
}

}  // namespace

TestCertPtr IssueTestCert(const TestCert* issuer, CertKind kind, const std::string& commonName, bool isCa) {
  std::shared_ptr<TestCert> made = NewUnsignedTestCert(issuer, kind, commonName);
  X509* signer = issuer != nullptr ? issuer->cert.get() : made->cert.get();
  AddExtension(made->cert.get(), signer, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "CA:FALSE");
  if (isCa) AddExtension(made->cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(made->cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) AddExtension(made->cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  SignTestCert(*made, issuer);
  return made;
}

std::vector<TestCertPtr> TestChain::Sent() const {
  return std::vector<TestCertPtr>(intermediates.rbegin(), intermediates.rend());
}

TestChain MakeTestChain(int intermediates, CertKind leafKind, const std::string& leafName) {
  TestChain chain;
  chain.root = IssueTestCert(nullptr, CertKind::Valid, "VQ Gateway Root", true);
  const TestCert* issuer = chain.root.get();
  for (int i = 0; i < intermediates; ++i) {
    chain.intermediates.push_back(
        IssueTestCert(issuer, CertKind::Valid, "VQ Gateway Intermediate " + std::to_string(i + 1), true));
    issuer = chain.intermediates.back().get();
  }
  chain.leaf = IssueTestCert(issuer, leafKind, leafName, false);
  return chain;
}

TestCertPtr MakeLargeTestCert(size_t minDerBytes) {
  std::shared_ptr<TestCert> made = NewUnsignedTestCert(nullptr, CertKind::Valid, "large.gateway.test");
  // A comment of the missing size, with room for its own encoding.
  AddExtension(made->cert.get(), made->cert.get(), NID_netscape_comment, std::string(minDerBytes, 'c'));
  SignTestCert(*made, nullptr);
  Check(made->Der().size() >= minDerBytes, "size");
  return made;
}

std::shared_ptr<X509> ShareX509Cert(X509* cert) {
  if (cert == nullptr) return nullptr;
  X509_up_ref(cert);
  return std::shared_ptr<X509>(cert, X509_free);
}

std::string X509ToPem(X509* cert) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::shared_ptr<X509> ReadPemCert(const std::string& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), std::fclose);
  if (!file) return nullptr;
  X509* cert = PEM_read_X509(file.get(), nullptr, nullptr, nullptr);
  if (cert == nullptr) return nullptr;
  return std::shared_ptr<X509>(cert, X509_free);
}

}  // namespace vqgw
