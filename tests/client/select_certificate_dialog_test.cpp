// Select Certificate under the headless host: what the dialog shows for
// the stored choice, and what OK, Cancel and Update do to the process's
// settings and the user's hive.
#include "client/ui/select_certificate_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "client/cert/write_cert_settings.h"
#include "client/cert_token.h"
#include "client/ui/cert_choice.h"
#include "platform/paths/paths.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"

namespace {

using namespace platform::ui;
using vqtest::CertToken;

class CertSelectDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certs_ = {user_.AddToToken("User One", 1), user_.AddToToken("User Two", 2), user_.AddToToken("User Three", 3)};
    host_.SetStrings(vqtest::ClientStrings(1033));
  }

  // Opens the dialog through the choice the login and options dialogs make.
  Dialog* Open() {
    result_.reset();
    EXPECT_TRUE(ChooseClientCertificate(host_, nullptr, settings_, [this](int r) { result_ = r; }));
    host_.RunUntilIdle();
    return host_.FindDialog(IDD_SELECT_CERTIFICATE);
  }
  void Do(int id) {
    ASSERT_TRUE(host_.Click(IDD_SELECT_CERTIFICATE, id));
    host_.RunUntilIdle();
  }
  // The list's entry for cert.
  int IndexOf(Dialog& d, X509* cert) {
    const std::string name = vqtest::EntryFor(cert).CertName;
    return d.FindItem(IDC_CERT_LIST, name);
  }

  CertToken user_;
  std::vector<X509*> certs_;
  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
  ClientCertSettings settings_;
  std::optional<int> result_;
};

TEST_F(CertSelectDialogTest, OpensWithTheStoredChoice) {
  X509* removed = user_.AddWithoutKey("Removed", CertToken::Place::Nowhere);
  struct Case {
    const char* what;
    std::optional<CertSettings> stored;
    bool ticked;
    X509* selected;
  };
  CertSettings defaultWithPrint = vqtest::EntryFor(certs_[1]);
  defaultWithPrint.IsUseDefaultCert = 1;
  const Case cases[] = {
      {"use default", defaultWithPrint, true, nullptr},
      {"fingerprint of the second", vqtest::EntryFor(certs_[1]), false, certs_[1]},
      {"fingerprint of a removed certificate", vqtest::EntryFor(removed), false, nullptr},
      {"nothing stored", std::nullopt, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::registry::Key key;
    platform::registry::Key::Open(platform::registry::HKEY_CURRENT_USER, "", platform::registry::Access::Write, key);
    key.DeleteTree(PRODUCT_SETTINGS_KEY);
    if (c.stored) {
      ASSERT_EQ(WriteCertSettings(*c.stored, PRODUCT_SETTINGS_KEY), 0);
    }

    Dialog* d = Open();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Caption(), "Select Certificate");
    ASSERT_EQ(d->ItemCount(IDC_CERT_LIST), 3);
    EXPECT_EQ(d->IsChecked(IDC_USE_DEFAULT_CERT), c.ticked);
    EXPECT_EQ(d->IsEnabled(IDC_CERT_LIST), !c.ticked);
    EXPECT_EQ(d->IsEnabled(IDC_CERT_UPDATE), !c.ticked);
    EXPECT_EQ(d->Selection(IDC_CERT_LIST), c.selected ? IndexOf(*d, c.selected) : -1);
    Do(IDCANCEL);
  }
}

TEST_F(CertSelectDialogTest, TickingGreysTheListAndUpdateAndClearingBringsThemBack) {
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  Do(IDC_USE_DEFAULT_CERT);
  EXPECT_TRUE(d->IsChecked(IDC_USE_DEFAULT_CERT));
  EXPECT_FALSE(d->IsEnabled(IDC_CERT_LIST));
  EXPECT_FALSE(d->IsEnabled(IDC_CERT_UPDATE));
  EXPECT_FALSE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, 0)) << "a grey list takes no input";
  Do(IDC_USE_DEFAULT_CERT);
  EXPECT_TRUE(d->IsEnabled(IDC_CERT_LIST));
  EXPECT_TRUE(d->IsEnabled(IDC_CERT_UPDATE));
  Do(IDCANCEL);
}

TEST_F(CertSelectDialogTest, OkWithASelectionTakesThatEntryAndTheTick) {
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, IndexOf(*d, certs_[2])));
  Do(IDC_USE_DEFAULT_CERT);
  Do(IDOK);
  EXPECT_EQ(result_, 0);
  EXPECT_EQ(host_.FindDialog(IDD_SELECT_CERTIFICATE), nullptr);

  CertSettings expected = vqtest::EntryFor(certs_[2]);
  const CertSettings now = settings_.Get();
  EXPECT_EQ(now.CertName, expected.CertName);
  EXPECT_EQ(now.CSPName, USB_KEY_PROVIDER_NAME);
  EXPECT_EQ(now.CertFingerPrint, expected.CertFingerPrint);
  EXPECT_EQ(now.CertFingerPrintLength, 20u);
  EXPECT_EQ(now.IsUseDefaultCert, 1u);

  CertSettings stored;
  ASSERT_EQ(ReadCertSettings(stored, PRODUCT_SETTINGS_KEY), 0);
  EXPECT_EQ(stored.CertName, expected.CertName);
  EXPECT_EQ(stored.CSPName, USB_KEY_PROVIDER_NAME);
  EXPECT_EQ(stored.CertFingerPrint, expected.CertFingerPrint);
  EXPECT_EQ(stored.IsUseDefaultCert, 1u);
}

TEST_F(CertSelectDialogTest, OkWithoutASelectionZeroesTheSettingsButTheHiveKeepsTheEarlierCertificate) {
  // An earlier choice of a certificate that is gone now: nothing is selected.
  const CertSettings earlier = vqtest::EntryFor(user_.AddWithoutKey("Removed", CertToken::Place::Nowhere));
  ASSERT_EQ(WriteCertSettings(earlier, PRODUCT_SETTINGS_KEY), 0);
  settings_.Set(earlier);
  const auto before = vqtest::StoredCertValues();

  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->Selection(IDC_CERT_LIST), -1);
  Do(IDC_USE_DEFAULT_CERT);
  Do(IDOK);
  EXPECT_EQ(result_, 0);

  const CertSettings now = settings_.Get();
  EXPECT_TRUE(now.CertName.empty());
  EXPECT_TRUE(now.CSPName.empty());
  EXPECT_EQ(now.CertFingerPrintLength, 0u);
  EXPECT_EQ(now.CertFingerPrint, decltype(now.CertFingerPrint){});
  EXPECT_EQ(now.IsUseDefaultCert, 1u);

  const auto after = vqtest::StoredCertValues();
  EXPECT_EQ(after.at("CertName"), before.at("CertName"));
  EXPECT_EQ(after.at("CSPName"), before.at("CSPName"));
  EXPECT_EQ(after.at("CertFingerPrint"), before.at("CertFingerPrint"));
  EXPECT_EQ(after.at("IsUseDefaultCert").data, RegDwordBytes(1));
}

TEST_F(CertSelectDialogTest, CancelGivesMinusTwoAndChangesNothing) {
  const CertSettings earlier = vqtest::EntryFor(certs_[0]);
  ASSERT_EQ(WriteCertSettings(earlier, PRODUCT_SETTINGS_KEY), 0);
  settings_.Set(earlier);
  const auto before = vqtest::StoredCertValues();

  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, IndexOf(*d, certs_[2])));
  Do(IDC_USE_DEFAULT_CERT);
  Do(IDCANCEL);
  EXPECT_EQ(result_, -2);
  EXPECT_EQ(settings_.Get().CertName, earlier.CertName);
  EXPECT_EQ(settings_.Get().IsUseDefaultCert, 0u);
  EXPECT_EQ(vqtest::StoredCertValues(), before);

  // Esc is Cancel too.
  Open();
  ASSERT_TRUE(host_.Close(IDD_SELECT_CERTIFICATE));
  host_.RunUntilIdle();
  EXPECT_EQ(result_, -2);
}

TEST_F(CertSelectDialogTest, UpdateShowsACertificateImportedMeanwhile) {
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->ItemCount(IDC_CERT_LIST), 3);
  ASSERT_TRUE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, 1));
  X509* fourth = user_.AddToToken("User Four", 4);
  Do(IDC_CERT_UPDATE);
  ASSERT_EQ(d->ItemCount(IDC_CERT_LIST), 4);
  EXPECT_EQ(d->Selection(IDC_CERT_LIST), -1) << "a new list, nothing chosen yet";

  ASSERT_TRUE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, IndexOf(*d, fourth)));
  Do(IDOK);
  EXPECT_EQ(settings_.Get().CertFingerPrint, vqtest::EntryFor(fourth).CertFingerPrint);
}

TEST_F(CertSelectDialogTest, AFailedStoreIsShownInABox) {
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(host_.Select(IDD_SELECT_CERTIFICATE, IDC_CERT_LIST, IndexOf(*d, certs_[0])));
  // The user's hive cannot be opened any more.
  const std::string hive = platform::paths::HkcuHive();
  std::filesystem::remove(hive);
  std::filesystem::create_directories(hive);
  Do(IDOK);
  EXPECT_EQ(result_, -2);
  ASSERT_EQ(host_.PendingBoxes().size(), 1u);
  EXPECT_EQ(host_.PendingBoxes()[0].text.text, "The certificate choice could not be saved (error -2).");
  EXPECT_EQ(host_.PendingBoxes()[0].text.stringId, IDS_CERT_SETTINGS_NOT_SAVED);
  EXPECT_EQ(host_.PendingBoxes()[0].caption, "Select Certificate");
  EXPECT_EQ(settings_.Get().CertFingerPrint, vqtest::EntryFor(certs_[0]).CertFingerPrint) << "the choice is kept in memory";
  EXPECT_TRUE(host_.Answer("", IDOK));
}

}  // namespace
