#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/softhsm_user.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/crypto_error.h"
#include "platform/crypto/token_provider.h"
#include "platform/paths/paths.h"
#include "support/cert_settings.h"
#include "support/cryptoapi.h"
#include "support/cryptoapi_error.h"

namespace {

namespace crypto = platform::crypto;

struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// The errors of ERR_LIB_CRYPTOAPI on this thread's queue, as function names;
// the queue is emptied.
std::vector<std::string> DrainCryptoApiErrors() {
  std::vector<std::string> functions;
  const char* func = nullptr;
  while (unsigned long e = ERR_get_error_all(nullptr, nullptr, &func, nullptr, nullptr)) {
    if (ERR_GET_LIB(e) == ERR_LIB_CRYPTOAPI) functions.push_back(func != nullptr ? func : "");
  }
  return functions;
}

struct Handshake {
  bool done = false;
  int signatureType = NID_undef;  // of the client's CertificateVerify, as the server saw it
  int signatureDigest = NID_undef;
  long verifyResult = -1;
  crypto::X509Ptr peer;
};

// Runs both ends of a TLS handshake over a BIO pair in this thread.
Handshake RunHandshake(SSL_CTX* client, SSL_CTX* server) {
  SslPtr c(SSL_new(client));
  SslPtr s(SSL_new(server));
  BIO* cb = nullptr;
  BIO* sb = nullptr;
  BIO_new_bio_pair(&cb, 0, &sb, 0);
  SSL_set_bio(c.get(), cb, cb);
  SSL_set_bio(s.get(), sb, sb);
  SSL_set_connect_state(c.get());
  SSL_set_accept_state(s.get());
  Handshake result;
  bool clientDone = false;
  bool serverDone = false;
  for (int round = 0; round < 50 && !(clientDone && serverDone); ++round) {
    for (SSL* ssl : {c.get(), s.get()}) {
      bool& done = ssl == c.get() ? clientDone : serverDone;
      if (done) continue;
      const int rc = SSL_do_handshake(ssl);
      if (rc == 1) {
        done = true;
        continue;
      }
      const int error = SSL_get_error(ssl, rc);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return result;
    }
  }
  // TLS 1.3: the server's verdict on the client certificate reaches the
  // client with its first read.
  char byte = 0;
  SSL_write(s.get(), "x", 1);
  if (SSL_read(c.get(), &byte, 1) != 1) return result;
  result.done = clientDone && serverDone;
  SSL_get_peer_signature_type_nid(s.get(), &result.signatureType);
  SSL_get_peer_signature_nid(s.get(), &result.signatureDigest);
  result.verifyResult = SSL_get_verify_result(s.get());
  result.peer = crypto::ShareX509(SSL_get0_peer_certificate(s.get()));
  return result;
}

class CryptoApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_clear_error();
    serverKey_ = vqtest::MakeRsaKey();
    serverCert_ = user_.ca.Issue("server", serverKey_.get());
  }

  // A server that requires a client certificate issued by the test CA.
  SslCtxPtr ServerContext(int version, const char* clientSigalgs) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_set_min_proto_version(ctx.get(), version);
    SSL_CTX_set_max_proto_version(ctx.get(), version);
    EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), serverCert_.get()), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), serverKey_.get()), 1);
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), user_.ca.cert());
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    if (clientSigalgs != nullptr) {
      EXPECT_EQ(SSL_CTX_set1_client_sigalgs_list(ctx.get(), clientSigalgs), 1);
    }
    return ctx;
  }

  // A client with cert bound through the RSA method, as the tunnel service does.
  SslCtxPtr ClientContext(const crypto::CertContextPtr& cert, int version = 0) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (version != 0) {
      SSL_CTX_set_min_proto_version(ctx.get(), version);
      SSL_CTX_set_max_proto_version(ctx.get(), version);
    }
    crypto::X509Ptr x509;
    crypto::EvpPkeyPtr pkey;
    EXPECT_EQ(cryptoapi_get_cert_key(cert, x509, pkey), 1);
    EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), x509.get()), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), pkey.get()), 1);
    cryptoapi_free_cert_key(x509, pkey);
    EXPECT_EQ(x509, nullptr);
    return ctx;
  }

  crypto::CertContextPtr TokenCert() {
    return FindCertBySettings(user_.SettingsFor(user_.cert.get()));
  }

  vqtest::SoftHsmUser user_;
  crypto::EvpPkeyPtr serverKey_;
  crypto::X509Ptr serverCert_;
};

struct TlsCase {
  const char* name;
  int version;
  const char* clientSigalgs;
  int signatureType;
  int signatureDigest;
};

class CryptoApiTlsTest : public CryptoApiTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(CryptoApiTlsTest, ServerVerifiesTheTokenCertificate) {
  const TlsCase& c = GetParam();
  ASSERT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  const auto cert = TokenCert();
  ASSERT_NE(cert, nullptr);
  SslCtxPtr client = ClientContext(cert);
  SslCtxPtr server = ServerContext(c.version, c.clientSigalgs);

  const Handshake result = RunHandshake(client.get(), server.get());
  ASSERT_TRUE(result.done) << ERR_error_string(ERR_peek_last_error(), nullptr);
  EXPECT_EQ(result.verifyResult, X509_V_OK);
  ASSERT_NE(result.peer, nullptr);
  EXPECT_EQ(X509_cmp(result.peer.get(), user_.cert.get()), 0);
  EXPECT_EQ(result.signatureType, c.signatureType);
  EXPECT_EQ(result.signatureDigest, c.signatureDigest);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, CryptoApiTlsTest,
    ::testing::Values(
        TlsCase{"Tls12Pkcs1Sha256", TLS1_2_VERSION, "RSA+SHA256", NID_rsaEncryption, NID_sha256},
        TlsCase{"Tls12Pkcs1Sha512", TLS1_2_VERSION, "RSA+SHA512", NID_rsaEncryption, NID_sha512},
        TlsCase{"Tls12Pss", TLS1_2_VERSION, "rsa_pss_rsae_sha256", NID_rsassaPss, NID_sha256},
        TlsCase{"Tls13", TLS1_3_VERSION, nullptr, NID_rsassaPss, NID_sha256}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

TEST_F(CryptoApiTest, CertificateWhoseKeyIsMissingFailsTheHandshake) {
  // On the token without its key: the store shows it with a key property.
  const auto otherKey = vqtest::MakeRsaKey();
  const auto orphan = user_.ca.Issue("Orphan", otherKey.get());
  user_.token.Import({0x02}, orphan.get(), nullptr);
  ASSERT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  const auto cert = FindCertBySettings(user_.SettingsFor(orphan.get()));
  ASSERT_NE(cert, nullptr);

  SslCtxPtr client = ClientContext(cert);
  SslCtxPtr server = ServerContext(TLS1_2_VERSION, nullptr);
  EXPECT_FALSE(RunHandshake(client.get(), server.get()).done);
  const std::vector<std::string> functions = DrainCryptoApiErrors();
  EXPECT_NE(std::find(functions.begin(), functions.end(), "CryptAcquireCertificatePrivateKey"),
            functions.end());
}

TEST_F(CryptoApiTest, KeyBoundBeforeThePinSignsOnceThePinIsGiven) {
  const auto cert = TokenCert();
  ASSERT_NE(cert, nullptr);
  SslCtxPtr client = ClientContext(cert, TLS1_3_VERSION);
  SslCtxPtr server = ServerContext(TLS1_3_VERSION, nullptr);
  EXPECT_FALSE(RunHandshake(client.get(), server.get()).done);
  ERR_clear_error();

  ASSERT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  EXPECT_TRUE(RunHandshake(client.get(), server.get()).done);
}

TEST_F(CryptoApiTest, SignaturesOfEveryDigestVerifyWithTheCertificate) {
  ASSERT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  crypto::X509Ptr x509;
  crypto::EvpPkeyPtr pkey;
  ASSERT_EQ(cryptoapi_get_cert_key(TokenCert(), x509, pkey), 1);
  EVP_PKEY* publicKey = X509_get0_pubkey(user_.cert.get());

  struct Case {
    const EVP_MD* md;
    int padding;
  };
  const Case cases[] = {
      {EVP_md5(), RSA_PKCS1_PADDING},        {EVP_sha1(), RSA_PKCS1_PADDING},
      {EVP_sha224(), RSA_PKCS1_PADDING},     {EVP_sha256(), RSA_PKCS1_PADDING},
      {EVP_sha384(), RSA_PKCS1_PADDING},     {EVP_sha512(), RSA_PKCS1_PADDING},
      {EVP_md5_sha1(), RSA_PKCS1_PADDING},   {EVP_sha256(), RSA_PKCS1_PSS_PADDING},
      {EVP_sha512(), RSA_PKCS1_PSS_PADDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(EVP_MD_get0_name(c.md)) +
                 (c.padding == RSA_PKCS1_PSS_PADDING ? " PSS" : ""));
    std::vector<uint8_t> digest(static_cast<size_t>(EVP_MD_get_size(c.md)), 0x42);
    digest.back() = 0x17;
    PkeyCtxPtr sign(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(sign.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(sign.get(), c.padding);
    ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(sign.get(), c.md), 1);
    std::vector<uint8_t> signature(256);
    size_t length = signature.size();
    ASSERT_EQ(EVP_PKEY_sign(sign.get(), signature.data(), &length, digest.data(), digest.size()), 1)
        << ERR_error_string(ERR_peek_last_error(), nullptr);
    EXPECT_EQ(length, 256u);

    PkeyCtxPtr verify(EVP_PKEY_CTX_new(publicKey, nullptr));
    ASSERT_EQ(EVP_PKEY_verify_init(verify.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(verify.get(), c.padding);
    EVP_PKEY_CTX_set_signature_md(verify.get(), c.md);
    EXPECT_EQ(EVP_PKEY_verify(verify.get(), signature.data(), length, digest.data(), digest.size()),
              1);
  }
}

TEST_F(CryptoApiTest, ThumbprintSpecsWithAndWithoutBlanksFindTheSameCertificate) {
  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), 0u);
  const std::string hex = crypto::KeyContainerName(vqtest::Thumbprint(user_.cert.get()));
  std::string upperSpaced;
  for (size_t i = 0; i < hex.size(); i += 2)
    upperSpaced += std::string(1, static_cast<char>(std::toupper(hex[i]))) +
                   static_cast<char>(std::toupper(hex[i + 1])) + "  ";

  for (const std::string& selector : {"THUMB:" + hex, "THUMB:" + upperSpaced}) {
    SCOPED_TRACE(selector);
    const auto cert = cryptoapi_find_cert(selector, store);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_cmp(cert->x509(), user_.cert.get()), 0);
  }

  const std::string malformed[] = {
      "THUMB:",
      "THUMB:" + hex.substr(1),                           // odd number of digits
      "THUMB:" + hex.substr(0, 38),                       // a 19-byte prefix
      "THUMB:" + hex.substr(0, 1) + " " + hex.substr(1),  // blank inside a pair
      "THUMB: " + hex,                                    // blank before the first pair
      "THUMB:" + hex.substr(0, 38) + "zz",                // not hex
      "THUMB:" + hex + std::string(2 * 236, '0'),         // 256 bytes
      "thumb:" + hex,
      "HASH:" + hex,
  };
  for (const std::string& selector : malformed) {
    SCOPED_TRACE(selector);
    EXPECT_EQ(cryptoapi_find_cert(selector, store), nullptr);
  }
}

TEST_F(CryptoApiTest, SubjectSpecFindsByPartOfAnyNameValue) {
  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), 0u);
  for (const char* selector : {"SUBJ:Token User", "SUBJ:token", "SUBJ:N US"}) {
    SCOPED_TRACE(selector);
    const auto cert = cryptoapi_find_cert(selector, store);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_cmp(cert->x509(), user_.cert.get()), 0);
  }
  EXPECT_EQ(cryptoapi_find_cert("SUBJ:Nobody", store), nullptr);
}

TEST_F(CryptoApiTest, SystemStoresVerifyAChainThroughCaAndRoot) {
  vqtest::WriteFileBytes(user_.root.At("/trust.pem"), "");
  ::setenv("SSL_CERT_FILE", user_.root.At("/trust.pem").c_str(), 1);
  // ROOT holds the test CA; CA an intermediate it issued (with its CRL).
  const auto midKey = vqtest::MakeRsaKey();
  const auto mid =
      vqtest::IssueCert("Intermediate", midKey.get(), user_.ca.cert(), user_.ca.key(), true);
  const auto leafKey = vqtest::MakeRsaKey();
  const auto leaf = vqtest::IssueCert("Leaf", leafKey.get(), mid.get(), midKey.get(), false);
  for (const char* name : {"ROOT", "CA"})
    std::filesystem::create_directories(platform::paths::CertStoreDir(name));
  vqtest::WriteFileBytes(platform::paths::CertStoreDir("ROOT") + "/root.pem",
                         vqtest::CertPem(user_.ca.cert()));
  vqtest::WriteFileBytes(platform::paths::CertStoreDir("CA") + "/mid.pem",
                         vqtest::CertPem(mid.get()));

  crypto::X509StorePtr trust = cryptoapi_load_system_stores();
  ASSERT_NE(trust, nullptr);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, trust.get(), leaf.get(), nullptr);
  EXPECT_EQ(X509_verify_cert(ctx), 1)
      << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
  X509_STORE_CTX_free(ctx);

  // A store that cannot be opened gives none, and says which call failed.
  std::filesystem::remove_all(platform::paths::CertStoreDir("CA"));
  vqtest::WriteFileBytes(platform::paths::CertStoreDir("CA"), "not a folder");
  EXPECT_EQ(cryptoapi_load_system_stores(), nullptr);
  EXPECT_EQ(DrainCryptoApiErrors(), std::vector<std::string>{"CertOpenSystemStore"});
  ::unsetenv("SSL_CERT_FILE");
}

// The reason table is process-wide: these run in a child of their own.
TEST(CryptoApiErrorTest, DistinctErrorsGetReasonsInTurnUpToSixteen) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // 16 threads report at once, each its own code twice.
        std::vector<int> reasons(CRYPTOAPI_MAX_REASONS, 0);
        // Not vector<bool>: its elements share words, and the threads write at once.
        std::vector<char> repeatable(CRYPTOAPI_MAX_REASONS, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < CRYPTOAPI_MAX_REASONS; ++t) {
          threads.emplace_back([&, t] {
            const uint32_t code = 0x80090100u + static_cast<uint32_t>(t);
            cryptoapi_error(code, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
            cryptoapi_error(code, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
            const unsigned long first = ERR_get_error();
            const unsigned long second = ERR_get_error();
            reasons[t] = ERR_GET_REASON(first);
            repeatable[t] = first == second && ERR_GET_LIB(first) == ERR_LIB_CRYPTOAPI;
          });
        }
        for (auto& thread : threads) thread.join();
        std::set<int> distinct(reasons.begin(), reasons.end());
        bool ok = distinct.size() == static_cast<size_t>(CRYPTOAPI_MAX_REASONS) &&
                  *distinct.begin() == CRYPTOAPI_REASON_BASE &&
                  *distinct.rbegin() == CRYPTOAPI_REASON_BASE + CRYPTOAPI_MAX_REASONS - 1 &&
                  std::find(repeatable.begin(), repeatable.end(), 0) == repeatable.end();
        // A seventeenth code finds the table full and puts nothing.
        cryptoapi_error(0x80090200u, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
        ok = ok && ERR_peek_error() == 0;
        // Names and texts: the library, the function, the code's text.
        cryptoapi_error(0x80090100u, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
        const char* func = nullptr;
        const unsigned long e = ERR_get_error_all(nullptr, nullptr, &func, nullptr, nullptr);
        ok = ok && std::strcmp(ERR_lib_error_string(e), CRYPTOAPI_LIB_NAME) == 0 &&
             std::strcmp(func, "CryptSignHash") == 0 && ERR_reason_error_string(e) != nullptr;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(CryptoApiErrorTest, KnownCodesCarryTheirText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        cryptoapi_error(crypto::SCARD_W_WRONG_CHV, CRYPTOAPI_F_CRYPT_SIGN_HASH, __FILE__, __LINE__);
        const char* text = ERR_reason_error_string(ERR_get_error());
        const auto expected = CryptoApiErrorText(crypto::SCARD_W_WRONG_CHV);
        std::exit(text != nullptr && expected && *expected == text ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(CryptoApiErrorText(0x12345678u));
}

}  // namespace
