#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <thread>
#include <vector>

#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/temp_root.h"
#include "platform/crypto/crypto_error.h"
#include "platform/crypto/token_key.h"
#include "platform/crypto/token_provider.h"
#include "platform/registry/registry.h"
#include "support/registry_value.h"

namespace {

namespace crypto = platform::crypto;
namespace reg = platform::registry;

constexpr char kProvider[] = "Test Token Provider";
const std::vector<uint8_t> kKeyId = {0x01};

struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// The public operation on a private-key result: what the token computed.
std::vector<uint8_t> PublicRecover(EVP_PKEY* publicKey, const std::vector<uint8_t>& signature,
                                   int padding) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(publicKey, nullptr));
  EVP_PKEY_verify_recover_init(ctx.get());
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding);
  std::vector<uint8_t> out(signature.size());
  size_t length = out.size();
  if (EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, signature.data(), signature.size()) <=
      0)
    return {};
  out.resize(length);
  return out;
}

void RegisterProvider(const std::string& name, const std::string& modulePath) {
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE,
                             std::string(crypto::kProviderRegistryKey) + "\\" + name,
                             reg::Access::Write, key),
            0u);
  ASSERT_EQ(key.SetValue(crypto::kProviderImagePathValue, reg::REG_SZ, RegSzBytes(modulePath)), 0u);
}

class TokenProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cert_ = ca_.Issue("token user", key_.get());
    token_.Import(kKeyId, cert_.get(), key_.get());
  }

  std::shared_ptr<crypto::TokenProvider> Open(const std::string& name = kProvider) {
    uint32_t error = 1;
    auto provider = crypto::TokenProvider::Open(name, error);
    EXPECT_EQ(error, 0u);
    return provider;
  }

  vqtest::TempRoot root_;
  vqtest::SoftHsmToken token_{kProvider};
  vqtest::TestCa ca_;
  crypto::EvpPkeyPtr key_ = vqtest::MakeRsaKey();
  crypto::X509Ptr cert_;
};

TEST_F(TokenProviderTest, UnregisteredProviderOrModuleThatDoesNotLoadFailsToOpen) {
  uint32_t error = 0;
  EXPECT_EQ(crypto::TokenProvider::Open("No Such Provider", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_KEYSET_NOT_DEF);
  EXPECT_EQ(crypto::TokenProvider::Open("", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_KEYSET_NOT_DEF);

  RegisterProvider("Broken Provider", root_.At("/no-such-module.so"));
  EXPECT_EQ(crypto::TokenProvider::Open("Broken Provider", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_PROVIDER_DLL_FAIL);
}

TEST_F(TokenProviderTest, NamesMatchWithoutCaseAndKeepTheirStoredSpelling) {
  const auto provider = Open("test TOKEN provider");
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(provider->name(), kProvider);
  EXPECT_EQ(crypto::TokenProvider::RegisteredNames(), std::vector<std::string>{kProvider});
}

TEST_F(TokenProviderTest, CertificatesShowWithoutLoginKeysOnlyAfterIt) {
  const auto provider = Open();
  ASSERT_NE(provider, nullptr);
  std::vector<crypto::TokenCertificate> certs;
  ASSERT_EQ(provider->Certificates(certs), 0u);
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(X509_cmp(certs[0].cert.get(), cert_.get()), 0);
  EXPECT_EQ(certs[0].id, kKeyId);

  uint32_t error = 0;
  EXPECT_EQ(provider->AcquireKey("01", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_BAD_KEYSET);

  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  EXPECT_NE(provider->AcquireKey("01", error), nullptr);
  EXPECT_EQ(provider->AcquireKey("02", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_BAD_KEYSET);
  EXPECT_EQ(provider->AcquireKey("0", error), nullptr);
  EXPECT_EQ(error, crypto::NTE_BAD_KEYSET);
}

TEST_F(TokenProviderTest, EveryLoginChecksThePin) {
  const auto provider = Open();
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(provider->Login("000000"), crypto::SCARD_W_WRONG_CHV);
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  // The same PIN again keeps the login and the key in use.
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  std::vector<uint8_t> signature;
  EXPECT_EQ(key->PrivateEncrypt(std::vector<uint8_t>(35, 1), crypto::RsaPadding::Pkcs1, signature),
            0u);
  // Already logged in, a wrong PIN is still refused, and ends the login.
  EXPECT_EQ(provider->Login("000000"), crypto::SCARD_W_WRONG_CHV);
  EXPECT_EQ(provider->AcquireKey("01", error), nullptr);
}

TEST_F(TokenProviderTest, KeyWorksAgainAfterTheRightPin) {
  const auto provider = Open();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(provider->Login("000000"), crypto::SCARD_W_WRONG_CHV);
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  std::vector<uint8_t> signature;
  EXPECT_EQ(key->PrivateEncrypt(std::vector<uint8_t>(35, 1), crypto::RsaPadding::Pkcs1, signature),
            0u);
}

TEST_F(TokenProviderTest, LoginOutlivesTheProviderObjectThatMadeIt) {
  ASSERT_EQ(Open()->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  EXPECT_NE(Open()->AcquireKey("01", error), nullptr);
  // Another name for the same module shares its session.
  RegisterProvider("Second Name", vqtest::SoftHsmToken::ModulePath());
  EXPECT_NE(Open("Second Name")->AcquireKey("01", error), nullptr);

  crypto::CloseTokenProviders();
  EXPECT_EQ(Open()->AcquireKey("01", error), nullptr);
}

TEST_F(TokenProviderTest, PrivateOperationsRunOnTheTokenKey) {
  const auto provider = Open();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->Size(), 256u);
  EVP_PKEY* publicKey = X509_get0_pubkey(cert_.get());

  const std::vector<uint8_t> digestInfo(35, 0x5A);
  std::vector<uint8_t> signature;
  ASSERT_EQ(key->PrivateEncrypt(digestInfo, crypto::RsaPadding::Pkcs1, signature), 0u);
  EXPECT_EQ(signature.size(), 256u);
  EXPECT_EQ(PublicRecover(publicKey, signature, RSA_PKCS1_PADDING), digestInfo);

  std::vector<uint8_t> block(256, 0x11);
  block[0] = 0x00;  // below the modulus
  ASSERT_EQ(key->PrivateEncrypt(block, crypto::RsaPadding::None, signature), 0u);
  EXPECT_EQ(PublicRecover(publicKey, signature, RSA_NO_PADDING), block);

  // Lengths the mechanisms cannot take never reach the token.
  EXPECT_EQ(key->PrivateEncrypt(std::vector<uint8_t>(255, 1), crypto::RsaPadding::None, signature),
            crypto::NTE_BAD_LEN);
  EXPECT_EQ(key->PrivateEncrypt(std::vector<uint8_t>(246, 1), crypto::RsaPadding::Pkcs1, signature),
            crypto::NTE_BAD_LEN);

  // Decryption of what the public key encrypted.
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(publicKey, nullptr));
  EVP_PKEY_encrypt_init(ctx.get());
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  const std::vector<uint8_t> secret = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> sealed(256);
  size_t sealedLength = sealed.size();
  ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), sealed.data(), &sealedLength, secret.data(), secret.size()),
            1);
  std::vector<uint8_t> opened;
  ASSERT_EQ(key->Decrypt(sealed, crypto::RsaPadding::Pkcs1, opened), 0u);
  EXPECT_EQ(opened, secret);
}

TEST_F(TokenProviderTest, KeyRefusesItsOperationsOnceTheLoginEnds) {
  const auto provider = Open();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(provider->Login("000000"), crypto::SCARD_W_WRONG_CHV);
  std::vector<uint8_t> signature;
  // The token decides how it refuses (SoftHSM2 hides the key again).
  EXPECT_NE(key->PrivateEncrypt(std::vector<uint8_t>(35, 1), crypto::RsaPadding::Pkcs1, signature),
            0u);
  EXPECT_TRUE(signature.empty());
}

TEST_F(TokenProviderTest, ThreadsShareOneKey) {
  const auto provider = Open();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  EVP_PKEY* publicKey = X509_get0_pubkey(cert_.get());
  std::vector<int> good(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::vector<uint8_t> data(20, static_cast<uint8_t>(t * 16 + i));
        std::vector<uint8_t> signature;
        if (key->PrivateEncrypt(data, crypto::RsaPadding::Pkcs1, signature) == 0 &&
            PublicRecover(publicKey, signature, RSA_PKCS1_PADDING) == data)
          ++good[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, std::vector<int>(4, 10));
}

}  // namespace
