#include "common/softhsm_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace vqtest {
namespace {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

platform::crypto::EvpPkeyPtr MakeRsaKey(int bits) {
  platform::crypto::EvpPkeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
  Check(key != nullptr, "key generation");
  return key;
}

platform::crypto::X509Ptr IssueCert(const std::string& commonName, EVP_PKEY* key, X509* issuerCert,
                                    EVP_PKEY* issuerKey, bool isCa) {
  static std::atomic<long> serial{1000};
  platform::crypto::X509Ptr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509* issuer = issuerCert != nullptr ? issuerCert : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer));
  AddExtension(cert.get(), issuer, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
  if (isCa) {
    AddExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid");
    AddExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
  }
  Check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "sign");
  return cert;
}

TestCa::TestCa(const std::string& commonName)
    : key_(MakeRsaKey()), cert_(IssueCert(commonName, key_.get(), nullptr, nullptr, true)) {}

std::string CertPem(X509* cert) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::vector<uint8_t> CertDer(X509* cert) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  Check(length > 0, "DER");
  std::vector<uint8_t> out(der, der + length);
  OPENSSL_free(der);
  return out;
}

std::vector<uint8_t> PrivateKeyDer(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  Check(i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PKCS #8");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::vector<uint8_t>(data, data + length);
}

std::vector<uint8_t> Thumbprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  Check(X509_digest(cert, EVP_sha1(), md, &length) == 1, "thumbprint");
  return std::vector<uint8_t>(md, md + length);
}

}  // namespace vqtest
