// The PIN dialog as Qt widgets: its texts in both languages, typing a PIN
// and pressing OK against a SoftHSM2 token, and its pictures.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Wendle/usb_pin_dialog.h"
#include "common/softhsm_user.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace platform::ui;

template <typename W>
W* Control(QtHost& host, Dialog& d, int id) {
  QtDialogView* view = host.View(d);
  return view ? view->findChild<W*>(QString::number(id)) : nullptr;
}

class UsbPinQtTest : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("LC_ALL"); }
  vqtest::SoftHsmUser user_;
  std::unique_ptr<QtHost> host_ = std::make_unique<QtHost>();
};

TEST_F(UsbPinQtTest, TextsInBothLanguagesAndScreenshots) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  struct Case {
    const char* locale;
    int language;
    const char* caption;
    const char* label;
    const char* ok;
  };
  for (const Case c : {Case{"en_US.UTF-8", 1033, "USB Key PIN", "Please input USB key PIN:", "OK"},
                       Case{"zh_CN.UTF-8", 2052, "USB Key口令", "请输入USB key口令：", "确定"}}) {
    SCOPED_TRACE(c.language);
    ::setenv("LC_ALL", c.locale, 1);
    auto pin = std::make_shared<std::string>();
    Dialog* d = host_->OpenDialog(UsbPinTemplate(), nullptr, std::make_unique<UsbPinLogic>(pin), Modality::Modeless);
    ASSERT_NE(d, nullptr);
    host_->ProcessEvents();
    EXPECT_EQ(d->Caption(), c.caption);
    auto* label = Control<QLabel>(*host_, *d, IDC_PIN_LABEL);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().toStdString(), c.label);
    auto* ok = Control<QPushButton>(*host_, *d, IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text().toStdString(), c.ok);
    EXPECT_EQ(d->Focus(), IDC_PIN_EDIT);
    const std::string path = dir + "/usb_pin_dialog_" + std::to_string(c.language) + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host_->Screenshot(*d, path));
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
    d->EndDialog(IDCANCEL);
    host_->ProcessEvents();
  }
}

TEST_F(UsbPinQtTest, TypedPinAndOk) {
  auto pin = std::make_shared<std::string>();
  int result = -1;
  Dialog* d = host_->OpenDialog(UsbPinTemplate(), nullptr, std::make_unique<UsbPinLogic>(pin), Modality::Modeless,
                                [&](Dialog&, int r) { result = r; });
  host_->ProcessEvents();
  auto* edit = Control<QLineEdit>(*host_, *d, IDC_PIN_EDIT);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
  QTest::keyClicks(edit, "246810");
  QTest::mouseClick(Control<QPushButton>(*host_, *d, IDOK), Qt::LeftButton);
  host_->ProcessEvents();
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(*pin, "246810");
}

}  // namespace
