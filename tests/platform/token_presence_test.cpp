// A USB key pulled out while its module stays loaded: every "MY" opening
// asks the module whether the token is still there, forgets a pulled one
// (certificates, login) and keeps everything of a token that stayed.
#include <gtest/gtest.h>

#include <vector>

#include "common/softhsm_user.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/token_key.h"
#include "platform/crypto/token_provider.h"
#include "support/cert_settings.h"

namespace {

namespace crypto = platform::crypto;

class TokenPresenceTest : public ::testing::Test {
 protected:
  std::shared_ptr<crypto::TokenProvider> Provider() {
    uint32_t error = 0;
    auto provider = crypto::TokenProvider::Open(USB_KEY_PROVIDER_NAME, error);
    EXPECT_NE(provider, nullptr);
    return provider;
  }

  // The user's certificate is in a "MY" snapshot taken now.
  bool MyShowsTheKey() {
    crypto::CertStore store;
    EXPECT_EQ(crypto::CertStore::OpenSystem("MY", store), 0u);
    for (const auto& cert : store.certificates()) {
      if (X509_cmp(cert->x509(), user_.cert.get()) == 0) return true;
    }
    return false;
  }

  static uint32_t Sign(const crypto::TokenKey& key) {
    std::vector<uint8_t> signature;
    return key.PrivateEncrypt(std::vector<uint8_t>(35, 7), crypto::RsaPadding::Pkcs1, signature);
  }

  vqtest::SoftHsmUser user_;
};

TEST_F(TokenPresenceTest, PulledKeyLeavesTheNextMyStore) {
  // Loaded, its slots and certificate list read and cached.
  ASSERT_TRUE(MyShowsTheKey());
  ASSERT_EQ(HasCertForCspName(USB_KEY_PROVIDER_NAME), 1);
  ASSERT_EQ(HasCertBySettings(user_.SettingsFor(user_.cert.get())), 1);

  user_.token.Pull();
  EXPECT_FALSE(MyShowsTheKey());
  EXPECT_EQ(HasCertForCspName(USB_KEY_PROVIDER_NAME), 0);
  EXPECT_EQ(HasCertBySettings(user_.SettingsFor(user_.cert.get())), 0);
  std::vector<crypto::TokenCertificate> certs;
  EXPECT_NE(Provider()->Certificates(certs), 0u);
  EXPECT_TRUE(certs.empty());
}

TEST_F(TokenPresenceTest, KeyThatStaysKeepsItsLoginThroughTheCheck) {
  const auto provider = Provider();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto heldKey = provider->AcquireKey("01", error);
  ASSERT_NE(heldKey, nullptr);

  for (int opening = 0; opening < 3; ++opening) ASSERT_TRUE(MyShowsTheKey());
  // Private keys show only to a login in force: no PIN was given again.
  const auto keyAfter = provider->AcquireKey("01", error);
  ASSERT_NE(keyAfter, nullptr);
  EXPECT_EQ(Sign(*keyAfter), 0u);
  EXPECT_EQ(Sign(*heldKey), 0u);
}

TEST_F(TokenPresenceTest, KeyHeldWhenTheTokenGoesFailsItsOperations) {
  const auto provider = Provider();
  ASSERT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
  uint32_t error = 0;
  const auto heldKey = provider->AcquireKey("01", error);
  ASSERT_NE(heldKey, nullptr);

  user_.token.Pull();
  ASSERT_FALSE(MyShowsTheKey());
  // The key's handle outlives what the module knew of the token: it is
  // refused, never used on freed slot data.
  EXPECT_NE(Sign(*heldKey), 0u);
  EXPECT_EQ(provider->AcquireKey("01", error), nullptr);
  EXPECT_NE(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
}

TEST_F(TokenPresenceTest, KeyPutBackShowsAgainAfterAReload) {
  ASSERT_TRUE(MyShowsTheKey());
  user_.token.Pull();
  ASSERT_FALSE(MyShowsTheKey());
  user_.token.PutBack();
  crypto::CloseTokenProviders();
  EXPECT_TRUE(MyShowsTheKey());
  const auto provider = Provider();
  EXPECT_EQ(provider->Login(vqtest::SoftHsmToken::kUserPin), 0u);
}

}  // namespace
