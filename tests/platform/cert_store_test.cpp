#include "platform/crypto/cert_store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/win32/win32_error.h"

namespace {

namespace crypto = platform::crypto;

constexpr char kProvider[] = "Test Token Provider";

std::string CrlPem(X509* issuer, EVP_PKEY* issuerKey) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer));
  ASN1_TIME* now = ASN1_TIME_new();
  X509_gmtime_adj(now, 0);
  X509_CRL_set1_lastUpdate(crl, now);
  ASN1_TIME_free(now);
  X509_CRL_sign(crl, issuerKey, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509_CRL(bio, crl);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(length));
  BIO_free(bio);
  X509_CRL_free(crl);
  return pem;
}

std::vector<std::string> CommonNames(const crypto::CertStore& store) {
  std::vector<std::string> names;
  for (const auto& cert : store.certificates()) names.push_back(cert->SimpleDisplayName());
  return names;
}

class CertStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The system trust store is the test's own (empty) file.
    trustFile_ = root_.At("/trust.pem");
    vqtest::WriteFileBytes(trustFile_, "");
    ::setenv("SSL_CERT_FILE", trustFile_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }

  std::string Folder(const char* store) {
    const std::string folder = platform::paths::CertStoreDir(store);
    std::filesystem::create_directories(folder);
    return folder;
  }

  vqtest::TempRoot root_;
  std::string trustFile_;
  vqtest::TestCa ca_;
};

TEST_F(CertStoreTest, FolderFilesGiveCertificatesAndRevocationListsInNameOrder) {
  const auto key = vqtest::MakeRsaKey();
  const auto a = ca_.Issue("alpha", key.get());
  const auto b = ca_.Issue("bravo", key.get());
  const auto c = ca_.Issue("charlie", key.get());
  const std::string my = Folder("MY");
  // Two PEM certificates in one file, one DER file, a file of neither form.
  vqtest::WriteFileBytes(my + "/1.pem", vqtest::CertPem(a.get()) + vqtest::CertPem(b.get()));
  const auto der = vqtest::CertDer(c.get());
  vqtest::WriteFileBytes(my + "/2.cer", std::string(der.begin(), der.end()));
  vqtest::WriteFileBytes(my + "/3.txt", "not a certificate");
  std::filesystem::create_directories(my + "/4.dir");
  const std::string caFolder = Folder("CA");
  vqtest::WriteFileBytes(caFolder + "/ca.pem",
                         vqtest::CertPem(ca_.cert()) + CrlPem(ca_.cert(), ca_.key()));

  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), platform::ERROR_SUCCESS);
  EXPECT_EQ(CommonNames(store), (std::vector<std::string>{"alpha", "bravo", "charlie"}));
  for (const auto& cert : store.certificates()) EXPECT_FALSE(cert->keyProvInfo());
  EXPECT_EQ(std::vector<uint8_t>(store.certificates()[2]->sha1Hash().begin(),
                                 store.certificates()[2]->sha1Hash().end()),
            vqtest::Thumbprint(c.get()));

  crypto::CertStore caStore;
  ASSERT_EQ(crypto::CertStore::OpenSystem("ca", caStore), platform::ERROR_SUCCESS);
  EXPECT_EQ(caStore.name(), "CA");
  EXPECT_EQ(caStore.certificates().size(), 1u);
  EXPECT_EQ(caStore.crls().size(), 1u);
}

TEST_F(CertStoreTest, MissingFolderIsAnEmptyStoreAndOtherNamesAreUnknown) {
  crypto::CertStore store;
  EXPECT_EQ(crypto::CertStore::OpenSystem("CA", store), platform::ERROR_SUCCESS);
  EXPECT_TRUE(store.certificates().empty());
  EXPECT_EQ(crypto::CertStore::OpenSystem("TRUST", store), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(CertStoreTest, FolderThatCannotBeReadFailsTheOpen) {
  const std::string folder = platform::paths::CertStoreDir("CA");
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  vqtest::WriteFileBytes(folder, "a file where the folder should be");
  crypto::CertStore store;
  EXPECT_NE(crypto::CertStore::OpenSystem("CA", store), platform::ERROR_SUCCESS);
}

TEST_F(CertStoreTest, RootIsTheSystemTrustStoreAndItsOwnFolder) {
  const auto key = vqtest::MakeRsaKey();
  const auto systemRoot = vqtest::IssueCert("system root", key.get(), nullptr, nullptr, true);
  vqtest::WriteFileBytes(trustFile_, vqtest::CertPem(systemRoot.get()));
  vqtest::WriteFileBytes(Folder("ROOT") + "/ca.pem", vqtest::CertPem(ca_.cert()));

  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("ROOT", store), platform::ERROR_SUCCESS);
  EXPECT_EQ(CommonNames(store), (std::vector<std::string>{"system root", "VQ Test CA"}));
}

TEST_F(CertStoreTest, AddedCertificateIsKeptOnceAcrossOpens) {
  const auto key = vqtest::MakeRsaKey();
  const auto cert = ca_.Issue("added", key.get());
  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), platform::ERROR_SUCCESS);
  ASSERT_EQ(store.AddCertificate(cert.get()), platform::ERROR_SUCCESS);
  ASSERT_EQ(store.AddCertificate(cert.get()), platform::ERROR_SUCCESS);
  EXPECT_EQ(CommonNames(store), std::vector<std::string>{"added"});

  crypto::CertStore reopened;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", reopened), platform::ERROR_SUCCESS);
  EXPECT_EQ(CommonNames(reopened), std::vector<std::string>{"added"});
}

TEST_F(CertStoreTest, TokenCertificatesJoinMyWithTheirProviderAndContainer) {
  vqtest::SoftHsmToken token(kProvider);
  const auto key = vqtest::MakeRsaKey();
  const auto onToken = ca_.Issue("on token", key.get());
  token.Import({0x0A, 0x1B}, onToken.get(), key.get());
  const auto inFolder = ca_.Issue("in folder", key.get());
  vqtest::WriteFileBytes(Folder("MY") + "/f.pem", vqtest::CertPem(inFolder.get()));

  crypto::CertStore store;
  ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), platform::ERROR_SUCCESS);
  ASSERT_EQ(CommonNames(store), (std::vector<std::string>{"in folder", "on token"}));
  EXPECT_FALSE(store.certificates()[0]->keyProvInfo());
  const auto& info = store.certificates()[1]->keyProvInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->providerName, kProvider);
  EXPECT_EQ(info->containerName, "0a1b");

  // Other stores never show the token.
  crypto::CertStore caStore;
  ASSERT_EQ(crypto::CertStore::OpenSystem("CA", caStore), platform::ERROR_SUCCESS);
  EXPECT_TRUE(caStore.certificates().empty());
}

}  // namespace

namespace {

// The provider's first certificate is the same for every process: the
// token's own order is not fixed, so the store's is by container.
TEST_F(CertStoreTest, TokenCertificatesComeInContainerOrderWhateverTheTokensOrder) {
  vqtest::SoftHsmToken token(kProvider);
  const auto key = vqtest::MakeRsaKey();
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> written = {
      {{0x03}, "third"}, {{0x01}, "first"}, {{0x02, 0x00}, "after second"}, {{0x02}, "second"}};
  std::vector<platform::crypto::X509Ptr> certs;
  for (const auto& [id, name] : written) {
    certs.push_back(ca_.Issue(name, key.get()));
    token.Import(id, certs.back().get(), key.get());
  }
  for (int opening = 0; opening < 3; ++opening) {
    crypto::CertStore store;
    ASSERT_EQ(crypto::CertStore::OpenSystem("MY", store), platform::ERROR_SUCCESS);
    EXPECT_EQ(CommonNames(store), (std::vector<std::string>{"first", "second", "after second", "third"}));
  }
}

}  // namespace
