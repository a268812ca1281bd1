// Select Certificate as Qt widgets under QT_QPA_PLATFORM=offscreen, driven
// with QTest, and its screenshots in English and Chinese.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <memory>
#include <optional>

#include "client/cert_token.h"
#include "client/ui/cert_choice.h"
#include "client/ui/select_certificate_dialog.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace platform::ui;
using vqtest::CertToken;

class CertSelectQtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    user_.AddToToken("Alice Example (Finance)", 1);
    user_.AddToToken("Bob Example", 2);
    user_.AddToToken("王小明", 3);
    host_ = std::make_unique<QtHost>(clock_, user_.root.At("/res"));
  }
  void TearDown() override { host_.reset(); }

  Dialog* Open(uint16_t language) {
    host_->SetStrings(vqtest::ClientStrings(language));
    EXPECT_TRUE(ChooseClientCertificate(*host_, nullptr, settings_, [this](int r) { result_ = r; }));
    host_->ProcessEvents();
    Dialog* d = host_->FindDialog(IDD_SELECT_CERTIFICATE);
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_->View(*d)));
    }
    return d;
  }
  template <typename W>
  W* Widget(Dialog& d, int id) {
    W* w = host_->View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }

  CertToken user_;
  platform::FakeClock clock_;
  std::unique_ptr<QtHost> host_;
  ClientCertSettings settings_;
  std::optional<int> result_;
};

TEST_F(CertSelectQtTest, TickingUseDefaultGreysTheListAndUpdate) {
  Dialog* d = Open(1033);
  ASSERT_NE(d, nullptr);
  auto* list = Widget<QListWidget>(*d, IDC_CERT_LIST);
  auto* update = Widget<QPushButton>(*d, IDC_CERT_UPDATE);
  auto* tick = Widget<QCheckBox>(*d, IDC_USE_DEFAULT_CERT);
  ASSERT_TRUE(list && update && tick);
  EXPECT_EQ(list->count(), 3);
  EXPECT_TRUE(list->isEnabled());

  QTest::mouseClick(tick, Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_TRUE(tick->isChecked());
  EXPECT_FALSE(list->isEnabled());
  EXPECT_FALSE(update->isEnabled());
  EXPECT_FALSE(d->IsEnabled(IDC_CERT_LIST));

  QTest::mouseClick(tick, Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_TRUE(list->isEnabled());
  EXPECT_TRUE(update->isEnabled());

  QTest::mouseClick(Widget<QPushButton>(*d, IDCANCEL), Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_EQ(result_, -2);
}

// For a person to look at: the dialog with three certificates, the second
// selected, in both languages.
TEST_F(CertSelectQtTest, ScreenshotsWithThreeCertificates) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  for (uint16_t language : {1033, 2052}) {
    Dialog* d = Open(language);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->ItemCount(IDC_CERT_LIST), 3);
    d->SetSelection(IDC_CERT_LIST, 1);
    host_->ProcessEvents();
    const std::string path = dir + "/select_certificate_" + std::to_string(language) + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host_->Screenshot(*d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
    d->EndDialog(IDCANCEL);
    host_->ProcessEvents();
  }
}

}  // namespace
