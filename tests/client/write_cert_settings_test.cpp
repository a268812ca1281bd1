// The certificate choice in the user's hive, read back by the readers the
// tunnel service uses.
#include "client/cert/write_cert_settings.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "client/cert_token.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"

namespace {

namespace reg = platform::registry;

CertSettings FullChoice() {
  CertSettings s;
  s.CertName = "测试用户 Token";
  s.CSPName = USB_KEY_PROVIDER_NAME;
  for (uint8_t i = 0; i < 20; ++i) s.CertFingerPrint[i] = static_cast<uint8_t>(0xF0 + i);
  s.CertFingerPrintLength = 20;
  s.IsUseDefaultCert = 0x01020304;
  return s;
}

TEST(CertSelectWriteSettingsTest, CreatesTheMissingKeyAndReadsBackByteExact) {
  vqtest::TempRoot root;
  CertSettings written = FullChoice();
  written.DefaultCSPName = "never written";
  ASSERT_EQ(WriteCertSettings(written, PRODUCT_SETTINGS_KEY), 0);

  CertSettings read;
  ASSERT_EQ(ReadCertSettings(read, PRODUCT_SETTINGS_KEY), 0);
  EXPECT_EQ(read.CertName, written.CertName);
  EXPECT_EQ(read.CSPName, written.CSPName);
  EXPECT_EQ(read.CertFingerPrint, written.CertFingerPrint);
  EXPECT_EQ(read.CertFingerPrintLength, 20u);
  EXPECT_EQ(read.IsUseDefaultCert, 0x01020304u);
  EXPECT_TRUE(read.DefaultCSPName.empty());

  const auto values = vqtest::StoredCertValues();
  EXPECT_EQ(values.at("CertName").type, reg::REG_SZ);
  EXPECT_EQ(values.at("CertName").data, RegSzBytes(written.CertName));
  EXPECT_EQ(values.at("CertFingerPrint").type, reg::REG_BINARY);
  EXPECT_EQ(values.at("CertFingerPrint").data,
            std::vector<uint8_t>(written.CertFingerPrint.begin(), written.CertFingerPrint.begin() + 20));
  EXPECT_EQ(values.at("IsUseDefaultCert").type, reg::REG_DWORD);
  EXPECT_EQ(values.at("IsUseDefaultCert").data, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(values.count("DefaultCSPName"), 0u);
}

TEST(CertSelectWriteSettingsTest, EmptyTextsAndAnEmptyFingerprintAreNotWritten) {
  vqtest::TempRoot root;
  CertSettings onlyTick;
  onlyTick.IsUseDefaultCert = 1;
  // A fresh key gets the tick alone.
  ASSERT_EQ(WriteCertSettings(onlyTick, PRODUCT_SETTINGS_KEY), 0);
  auto values = vqtest::StoredCertValues();
  EXPECT_EQ(values.size(), 1u);
  EXPECT_EQ(values.at("IsUseDefaultCert").data, RegDwordBytes(1));

  // Over an earlier choice, the earlier values stay.
  ASSERT_EQ(WriteCertSettings(FullChoice(), PRODUCT_SETTINGS_KEY), 0);
  const auto before = vqtest::StoredCertValues();
  ASSERT_EQ(WriteCertSettings(onlyTick, PRODUCT_SETTINGS_KEY), 0);
  values = vqtest::StoredCertValues();
  EXPECT_EQ(values.at("CertName"), before.at("CertName"));
  EXPECT_EQ(values.at("CSPName"), before.at("CSPName"));
  EXPECT_EQ(values.at("CertFingerPrint"), before.at("CertFingerPrint"));
  EXPECT_EQ(values.at("IsUseDefaultCert").data, RegDwordBytes(1));
}

TEST(CertSelectWriteSettingsTest, AFingerprintLengthPastTheFieldWritesTheFieldOnly) {
  vqtest::TempRoot root;
  CertSettings s = FullChoice();
  s.CertFingerPrintLength = 100000;
  ASSERT_EQ(WriteCertSettings(s, PRODUCT_SETTINGS_KEY), 0);
  EXPECT_EQ(vqtest::StoredCertValues().at("CertFingerPrint").data.size(), CERT_FINGERPRINT_BYTES);
}

TEST(CertSelectWriteSettingsTest, AHiveThatCannotBeOpenedGivesMinusTwo) {
  vqtest::TempRoot root;
  // The user's hive is a folder: nothing can open it.
  std::filesystem::create_directories(platform::paths::HkcuHive());
  EXPECT_EQ(WriteCertSettings(FullChoice(), PRODUCT_SETTINGS_KEY), -2);
}

}  // namespace
