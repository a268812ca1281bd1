#include "gateway/test_certs.h"

#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace vqgw {
namespace {

constexpr long kDay = 24 * 60 * 60;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

}  // namespace

std::vector<uint8_t> TestCert::Der() const {
  const int length = i2d_X509(cert.get(), nullptr);
  if (length <= 0) return {};
  std::vector<uint8_t> der(static_cast<size_t>(length));
  uint8_t* p = der.data();
  i2d_X509(cert.get(), &p);
  return der;
}

std::shared_ptr<TestCert> NewUnsignedTestCert(const TestCert* issuer, CertKind kind, const std::string& commonName) {
  auto made = std::make_shared<TestCert>();
  made->key.reset(EVP_EC_gen("P-256"));
  Check(made->key != nullptr, "key");
  made->cert.reset(X509_new());
  X509* cert = made->cert.get();
  Check(cert != nullptr, "X509_new");
  Check(X509_set_version(cert, 2) == 1, "version");

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

void SignTestCert(TestCert& made, const TestCert* issuer) {
  EVP_PKEY* key = issuer != nullptr ? issuer->key.get() : made.key.get();
  Check(X509_sign(made.cert.get(), key, EVP_sha256()) > 0, "sign");
}

std::shared_ptr<const TestCert> MakeTestCert(CertKind kind, const std::string& commonName) {
  std::shared_ptr<TestCert> made = NewUnsignedTestCert(nullptr, kind, commonName);
  SignTestCert(*made, nullptr);
  if (kind == CertKind::BrokenSignature) {
    // The last byte of the DER form is the signature's.
    std::vector<uint8_t> der = made->Der();
    Check(!der.empty(), "encode");
    der.back() ^= 0x01;
    const uint8_t* p = der.data();
    made->cert.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    Check(made->cert != nullptr, "decode");
  }
  return made;
}

}  // namespace vqgw
