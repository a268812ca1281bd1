#include "gateway/test_chain.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace vqgw {
namespace {

constexpr long kDay = 24 * 60 * 60;

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

// The certificate without its signature; the caller adds extensions and signs.
std::shared_ptr<TestCert> Build(const TestCert* issuer, CertKind kind, const std::string& commonName) {
  auto made = std::make_shared<TestCert>();
  made->key.reset(EVP_EC_gen("P-256"));
  Check(made->key != nullptr, "key");
  made->cert.reset(X509_new());
  X509* cert = made->cert.get();
  Check(cert != nullptr && X509_set_version(cert, 2) == 1, "version");

  uint8_t serial[8];
  Check(RAND_bytes(serial, sizeof(serial)) == 1, "serial");
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof(serial), nullptr), BN_free);
  Check(bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr, "serial");

  long from = -kDay, to = 30 * kDay;
  if (kind == CertKind::Expired) {
    from = -30 * kDay;
    to = -kDay;
  } else if (kind == CertKind::NotYetValid) {
    from = kDay;
    to = 30 * kDay;
  }
  Check(X509_gmtime_adj(X509_getm_notBefore(cert), from) != nullptr, "notBefore");
  Check(X509_gmtime_adj(X509_getm_notAfter(cert), to) != nullptr, "notAfter");

  X509_NAME* name = X509_get_subject_name(cert);
  Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                                   -1, -1, 0) == 1,
        "subject");
  Check(X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer->cert.get()) : name) == 1,
        "issuer");
  Check(X509_set_pubkey(cert, made->key.get()) == 1, "pubkey");
  return made;
}

void Sign(TestCert& made, const TestCert* issuer) {
  EVP_PKEY* key = issuer != nullptr ? issuer->key.get() : made.key.get();
  Check(X509_sign(made.cert.get(), key, EVP_sha256()) > 0, "sign");
}

}  // namespace

TestCertPtr IssueTestCert(const TestCert* issuer, CertKind kind, const std::string& commonName, bool isCa) {
  std::shared_ptr<TestCert> made = Build(issuer, kind, commonName);
  X509* signer = issuer != nullptr ? issuer->cert.get() : made->cert.get();
  AddExtension(made->cert.get(), signer, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "CA:FALSE");
  if (isCa) AddExtension(made->cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(made->cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) AddExtension(made->cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  Sign(*made, issuer);
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
  std::shared_ptr<TestCert> made = Build(nullptr, CertKind::Valid, "large.gateway.test");
  // A comment of the missing size, with room for its own encoding.
  AddExtension(made->cert.get(), made->cert.get(), NID_netscape_comment, std::string(minDerBytes, 'c'));
  Sign(*made, nullptr);
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
