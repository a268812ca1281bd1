// The login user name of a USB-key-only login: the chosen certificate's
// display name, cut between characters, and the start of its signature.
#include "client/cert/usb_key_user_name.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>

#include <optional>

#include "client/cert/write_cert_settings.h"
#include "client/cert_token.h"
#include "common/log_reader.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/text_convert.h"

namespace {

using vqtest::CertToken;

// The ANSI code page for one case, back to UTF-8 afterwards.
class AnsiCodePage {
 public:
  explicit AnsiCodePage(const char* name) { EXPECT_TRUE(SetCodePage(CodePage::Ansi, name)); }
  ~AnsiCodePage() { SetCodePage(CodePage::Ansi, "UTF-8"); }
};

void StoreChoice(const CertSettings& settings) { ASSERT_EQ(WriteCertSettings(settings, PRODUCT_SETTINGS_KEY), 0); }

CertSettings UseDefault() {
  CertSettings s;
  s.IsUseDefaultCert = 1;
  return s;
}

TEST(UsbKeyUserNameTest, NameAndSignatureDigitsOfTheChosenCertificate) {
  const std::string a23(23, 'a');
  const std::string b30 = "bbbbbbbbbbccccccccccdddddddddd";
  struct Case {
    const char* what;
    std::string commonName;
    const char* codePage;
    bool byFingerprint;
    std::string name;  // before the digits
  };
  const Case cases[] = {
      {"the default certificate", "Token User", "UTF-8", false, "Token User"},
      {"23 ASCII bytes stay whole", a23, "UTF-8", false, a23},
      {"30 ASCII bytes keep 23", b30, "UTF-8", false, b30.substr(0, 23)},
      // 22 bytes, then a two-byte character over the limit.
      {"a character across byte 23 is left out", std::string(22, 'x') + "é", "UTF-8", false, std::string(22, 'x')},
      // GBK: eleven characters in 22 bytes; UTF-8: seven in 21.
      {"a Chinese name under CP936", "张三丰李四王五赵六钱七孙", "CP936", false, "张三丰李四王五"},
      {"by fingerprint", "Chosen By Print", "UTF-8", true, "Chosen By Print"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CertToken user;
    LogInit(nullptr);
    // The default is the token's only certificate; the fingerprint names
    // one of two.
    X509* expected = user.AddToToken(c.commonName, 1);
    if (c.byFingerprint) user.AddToToken("Somebody Else", 2);
    StoreChoice(c.byFingerprint ? vqtest::EntryFor(expected) : UseDefault());
    const AnsiCodePage codePage(c.codePage);

    std::string out = "untouched";
    ASSERT_EQ(GetUsbKeyUserName(out), 0);
    const std::string digits = vqtest::SignatureDigits(expected);
    EXPECT_EQ(out, c.name + digits);
    EXPECT_GE(digits.size(), 4u);
    EXPECT_LE(out.size(), 31u) << "fits 33 bytes with its terminator";
    EXPECT_NE(vqtest::ReadLogText().find("CommonName = " + c.name), std::string::npos);
  }
}

TEST(UsbKeyUserNameTest, NoCertificateFoundGivesMinusTwo) {
  struct Case {
    const char* what;
    std::function<void(CertToken&)> setUp;
  };
  const Case cases[] = {
      {"fingerprint of a certificate nowhere",
       [](CertToken& user) {
         user.AddToToken("Token User", 1);
         StoreChoice(vqtest::EntryFor(user.AddWithoutKey("Gone", CertToken::Place::Nowhere)));
       }},
      {"fingerprint of a certificate without key",
       [](CertToken& user) {
         user.AddToToken("Token User", 1);
         StoreChoice(vqtest::EntryFor(user.AddWithoutKey("No Key", CertToken::Place::PemInMyFolder)));
       }},
      {"default provider with no certificate", [](CertToken&) { StoreChoice(UseDefault()); }},
      {"no choice stored", [](CertToken& user) { user.AddToToken("Token User", 1); }},
      {"another default provider named",
       [](CertToken& user) {
         user.AddToToken("Token User", 1);
         CertSettings s = UseDefault();
         s.DefaultCSPName = "Other Provider";
         // DefaultCSPName is never written by the client: set by hand.
         platform::registry::Key key;
         ASSERT_EQ(platform::registry::Key::Create(platform::registry::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY,
                                                   platform::registry::Access::Write, key),
                   0u);
         ASSERT_EQ(key.SetValue("DefaultCSPName", platform::registry::REG_SZ, RegSzBytes(s.DefaultCSPName)), 0u);
         StoreChoice(s);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CertToken user;
    c.setUp(user);
    std::string out = "untouched";
    EXPECT_EQ(GetUsbKeyUserName(out), -2);
    EXPECT_EQ(out, "untouched");
  }
}

TEST(UsbKeyUserNameTest, NoProviderRegisteredGivesMinusTwo) {
  vqtest::TempRoot root;
  StoreChoice(UseDefault());
  std::string out;
  EXPECT_EQ(GetUsbKeyUserName(out), -2);
}

TEST(UsbKeyUserNameTest, AKeyThatCannotBeBoundGivesMinusOneWithItsLine) {
  CertToken user;
  LogInit(nullptr);
  // An EC certificate: the RSA method cannot take its key.
  platform::crypto::EvpPkeyPtr ecKey(EVP_EC_gen("P-256"));
  ASSERT_NE(ecKey, nullptr);
  const auto cert = user.ca.Issue("EC User", ecKey.get());
  user.token.Import({7}, cert.get(), nullptr);
  StoreChoice(UseDefault());
  std::string out = "untouched";
  EXPECT_EQ(GetUsbKeyUserName(out), -1);
  EXPECT_EQ(out, "untouched");
  EXPECT_NE(vqtest::ReadLogText().find("Acquire certificate from USB key failed"), std::string::npos);
}

}  // namespace
