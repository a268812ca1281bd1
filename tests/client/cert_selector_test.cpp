// The certificate list: what the store holds with a key, in store order.
#include "client/cert/cert_selector.h"

#include <gtest/gtest.h>

#include "client/cert_token.h"
#include "platform/crypto/cert_store.h"

namespace {

using vqtest::CertToken;

TEST(CertSelectEnumTest, ListsTheKeyedCertificatesInStoreOrderWithProviderAndFingerprint) {
  CertToken user;
  X509* keyed[] = {user.AddToToken("User One", 1), user.AddToToken("User Two", 2), user.AddToToken("User Three", 3)};
  user.AddWithoutKey("Folder DER", CertToken::Place::DerInMyFolder);
  user.AddWithoutKey("Folder PEM", CertToken::Place::PemInMyFolder);

  // The store's own order of the token's certificates.
  platform::crypto::CertStore store;
  ASSERT_EQ(platform::crypto::CertStore::OpenSystem("MY", store), 0u);
  ASSERT_EQ(store.certificates().size(), 5u) << "both folder files and the three token certificates";
  std::vector<X509*> order;
  for (const auto& cert : store.certificates()) {
    for (X509* k : keyed)
      if (X509_cmp(cert->x509(), k) == 0) order.push_back(k);
  }
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order, (std::vector<X509*>{keyed[0], keyed[1], keyed[2]})) << "by container";

  CertSelector selector;
  selector.entries.resize(7);  // what a previous fill left
  selector.chosen = 4;
  ASSERT_EQ(EnumStoreCertificates(selector, "MY"), 0);
  ASSERT_EQ(selector.entries.size(), 3u);
  EXPECT_FALSE(selector.chosen);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const CertSettings expected = vqtest::EntryFor(order[i]);
    const CertSettings& entry = selector.entries[i];
    EXPECT_EQ(entry.CertName, expected.CertName);
    EXPECT_EQ(entry.CSPName, USB_KEY_PROVIDER_NAME);
    EXPECT_EQ(entry.CertFingerPrintLength, 20u);
    EXPECT_EQ(entry.CertFingerPrint, expected.CertFingerPrint);
    EXPECT_EQ(entry.IsUseDefaultCert, 0u);
    EXPECT_TRUE(entry.DefaultCSPName.empty());
  }
}

TEST(CertSelectEnumTest, AStoreThatCannotBeOpenedLeavesTheListEmpty) {
  CertToken user;
  user.AddToToken("User One", 1);
  CertSelector selector;
  selector.entries.resize(2);
  EXPECT_EQ(EnumStoreCertificates(selector, "NOSUCHSTORE"), -2);
  EXPECT_TRUE(selector.entries.empty());
}

}  // namespace
