#include "support/cert_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/softhsm_user.h"
#include "common/temp_root.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/token_key.h"
#include "platform/crypto/token_provider.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/utf16.h"

namespace {

namespace reg = platform::registry;

void SetUserValue(const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Write, key),
            0u);
  ASSERT_EQ(key.SetValue(name, type, data), 0u);
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& text) {
  const std::string bytes = Utf16LeBytes(text);
  return {bytes.begin(), bytes.end()};
}

// What the caller had in the record before reading.
CertSettings Prefilled() {
  CertSettings settings;
  settings.CertName = "kept name";
  settings.CSPName = "kept provider";
  settings.DefaultCSPName = "kept default";
  settings.CertFingerPrint[0] = 0xAB;
  settings.CertFingerPrintLength = 1;
  settings.IsUseDefaultCert = 7;
  return settings;
}

void ExpectSame(const CertSettings& a, const CertSettings& b) {
  EXPECT_EQ(a.CertName, b.CertName);
  EXPECT_EQ(a.CSPName, b.CSPName);
  EXPECT_EQ(a.DefaultCSPName, b.DefaultCSPName);
  EXPECT_EQ(a.CertFingerPrint, b.CertFingerPrint);
  EXPECT_EQ(a.CertFingerPrintLength, b.CertFingerPrintLength);
  EXPECT_EQ(a.IsUseDefaultCert, b.IsUseDefaultCert);
}

TEST(ReadCertSettingsTest, MissingKeyGivesMinusTwoAndLeavesTheRecord) {
  vqtest::TempRoot root;
  SetUserValue("Other", reg::REG_SZ, RegSzBytes("x"));  // the hive exists
  CertSettings settings = Prefilled();
  EXPECT_EQ(ReadCertSettings(settings, "Software\\Tarnwickgate\\Missing"), -2);
  ExpectSame(settings, Prefilled());
}

TEST(ReadCertSettingsTest, ValuesOfEachTypeReadWhole) {
  vqtest::TempRoot root;
  // 200 UTF-16 units, one of them outside ASCII.
  const std::string name = "\xe8\xaf\x81" + std::string(199, 'n');
  std::vector<uint8_t> fingerprint(CERT_FINGERPRINT_BYTES);
  for (size_t i = 0; i < fingerprint.size(); ++i) fingerprint[i] = static_cast<uint8_t>(i * 7);
  SetUserValue("CertName", reg::REG_SZ, RegSzBytes(name));
  SetUserValue("CSPName", reg::REG_SZ, RegSzBytes("Some Provider"));
  SetUserValue("DefaultCSPName", reg::REG_SZ, RegSzBytes(USB_KEY_PROVIDER_NAME));
  SetUserValue("CertFingerPrint", reg::REG_BINARY, fingerprint);
  SetUserValue("IsUseDefaultCert", reg::REG_DWORD, RegDwordBytes(1));

  CertSettings settings;
  ASSERT_EQ(ReadCertSettings(settings, PRODUCT_SETTINGS_KEY), 0);
  EXPECT_EQ(settings.CertName, name);
  EXPECT_EQ(settings.CSPName, "Some Provider");
  EXPECT_EQ(settings.DefaultCSPName, USB_KEY_PROVIDER_NAME);
  EXPECT_EQ(settings.CertFingerPrintLength, CERT_FINGERPRINT_BYTES);
  EXPECT_TRUE(std::equal(fingerprint.begin(), fingerprint.end(), settings.CertFingerPrint.begin()));
  EXPECT_EQ(settings.IsUseDefaultCert, 1u);
}

// Values stored with unusual lengths: each either fits its field, ending
// where its data ends, or leaves the field as it was.
TEST(ReadCertSettingsTest, ValuesEndWithTheirDataAndOversizedOnesAreLeftOut) {
  struct Case {
    const char* what;
    const char* value;
    uint32_t type;
    std::vector<uint8_t> data;
    std::function<void(const CertSettings&)> check;
  };
  const std::u16string units259(259, u'a');
  const std::u16string units260(260, u'b');
  const std::u16string units261(261, u'c');
  const CertSettings before = Prefilled();
  const std::vector<Case> cases = {
      {"259 units without a terminator", "CertName", reg::REG_SZ, Utf16Bytes(units259),
       [](const CertSettings& s) { EXPECT_EQ(s.CertName, std::string(259, 'a')); }},
      {"260 units without a terminator keep the 259 that fit", "CertName", reg::REG_SZ,
       Utf16Bytes(units260),
       [](const CertSettings& s) { EXPECT_EQ(s.CertName, std::string(259, 'b')); }},
      {"261 units do not fit", "CertName", reg::REG_SZ, Utf16Bytes(units261),
       [&](const CertSettings& s) { EXPECT_EQ(s.CertName, before.CertName); }},
      {"an embedded NUL ends the text", "CSPName", reg::REG_SZ,
       Utf16Bytes(std::u16string(u"abc\0def", 7)),
       [](const CertSettings& s) { EXPECT_EQ(s.CSPName, "abc"); }},
      {"an odd last byte is no unit",
       "DefaultCSPName",
       reg::REG_SZ,
       {'x', 0, 'y'},
       [](const CertSettings& s) { EXPECT_EQ(s.DefaultCSPName, "x"); }},
      {"a fingerprint over 260 bytes changes neither bytes nor length", "CertFingerPrint",
       reg::REG_BINARY, std::vector<uint8_t>(CERT_FINGERPRINT_BYTES + 1, 0x11),
       [&](const CertSettings& s) {
         EXPECT_EQ(s.CertFingerPrintLength, before.CertFingerPrintLength);
         EXPECT_EQ(s.CertFingerPrint, before.CertFingerPrint);
       }},
      {"a number of 2 bytes",
       "IsUseDefaultCert",
       reg::REG_DWORD,
       {1, 0},
       [&](const CertSettings& s) { EXPECT_EQ(s.IsUseDefaultCert, before.IsUseDefaultCert); }},
      {"a number of 8 bytes",
       "IsUseDefaultCert",
       reg::REG_QWORD,
       {1, 0, 0, 0, 0, 0, 0, 0},
       [&](const CertSettings& s) { EXPECT_EQ(s.IsUseDefaultCert, before.IsUseDefaultCert); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vqtest::TempRoot root;
    SetUserValue(c.value, c.type, c.data);
    CertSettings settings = Prefilled();
    ASSERT_EQ(ReadCertSettings(settings, PRODUCT_SETTINGS_KEY), 0);
    c.check(settings);
  }
}

class CertSearchTest : public ::testing::Test {
 protected:
  vqtest::SoftHsmUser user_;
};

TEST_F(CertSearchTest, FingerprintMatchesOnlyWhole) {
  const std::vector<uint8_t> hash = vqtest::Thumbprint(user_.cert.get());
  struct Case {
    const char* what;
    uint32_t length;
    bool found;
  };
  const Case cases[] = {
      {"the 20-byte hash", 20, true},
      {"a 19-byte prefix", 19, false},
      {"21 bytes", 21, false},
      {"a length past the buffer is taken as the buffer", 100000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CertSettings settings = user_.SettingsFor(user_.cert.get());
    settings.CertFingerPrintLength = c.length;
    const auto cert = FindCertBySettings(settings);
    EXPECT_EQ(cert != nullptr, c.found);
    if (cert) {
      EXPECT_EQ(X509_cmp(cert->x509(), user_.cert.get()), 0);
    }
    EXPECT_EQ(HasCertBySettings(settings), c.found ? 1 : 0);
  }
}

TEST_F(CertSearchTest, CertificateWithoutKeyIsSkippedEvenWhenItsHashMatches) {
  const auto otherKey = vqtest::MakeRsaKey();
  const auto keyless = user_.ca.Issue("No Key", otherKey.get());
  platform::crypto::CertStore store;
  ASSERT_EQ(platform::crypto::CertStore::OpenSystem("MY", store), 0u);
  ASSERT_EQ(store.AddCertificate(keyless.get()), 0u);

  const CertSettings settings = user_.SettingsFor(keyless.get());
  EXPECT_EQ(FindCertBySettings(settings), nullptr);
  EXPECT_EQ(HasCertBySettings(settings), 0);
}

TEST_F(CertSearchTest, ProviderNamesMatchWithCase) {
  const auto cert = FindCertByCspName(USB_KEY_PROVIDER_NAME);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(X509_cmp(cert->x509(), user_.cert.get()), 0);
  EXPECT_EQ(HasCertForCspName(USB_KEY_PROVIDER_NAME), 1);

  for (const char* other : {"tarnwickgate cryptographic service provider",
                            "Tarnwickgate Cryptographic Service Provider ", ""}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(FindCertByCspName(other), nullptr);
    EXPECT_EQ(HasCertForCspName(other), 0);
  }
}

// The debug file's lines, decoded (UTF-16LE after a byte-order mark).
std::string UsbKeyLogText() {
  const std::string bytes = vqtest::ReadFileBytes(UsbKeyLogPath());
  if (bytes.size() < 2) return {};
  return Utf16ToUtf8(Utf16FromLeBytes(bytes.substr(2)));
}

TEST_F(CertSearchTest, RightPinSucceedsAndLetsTheKeySign) {
  EXPECT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  EXPECT_NE(UsbKeyLogText().find("Fenn said : CryptSetProvParam OK!"), std::string::npos);

  uint32_t error = 0;
  const auto provider = platform::crypto::TokenProvider::Open(USB_KEY_PROVIDER_NAME, error);
  ASSERT_NE(provider, nullptr);
  const auto key = provider->AcquireKey("01", error);
  ASSERT_NE(key, nullptr);
  std::vector<uint8_t> signature;
  EXPECT_EQ(key->PrivateEncrypt(std::vector<uint8_t>(35, 3), platform::crypto::RsaPadding::Pkcs1,
                                signature),
            0u);
}

TEST_F(CertSearchTest, WrongPinFailsWithTheDebugLine) {
  EXPECT_EQ(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, "999999"), 0);
  EXPECT_NE(UsbKeyLogText().find("Fenn said : CryptSetProvParam Error = 8010006b"),
            std::string::npos)
      << UsbKeyLogText();
}

TEST_F(CertSearchTest, UnknownProviderFailsWithTheDebugLine) {
  EXPECT_EQ(SetUsbKeyPin("Unknown Provider", vqtest::SoftHsmToken::kUserPin), 0);
  EXPECT_NE(UsbKeyLogText().find("Fenn said : CryptAcquireContext Error = 80090019"),
            std::string::npos)
      << UsbKeyLogText();
}

}  // namespace
