// The progress dialog as Qt widgets under QT_QPA_PLATFORM=offscreen: its
// controls by id, its icon, no minimising, and its screenshots in English
// and Chinese while a file downloads and once the update is done.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/tls_gateway.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/language_strings.h"
#include "updater/progress_dialog.h"
#include "updater/qt/progress_view.h"

namespace thimbleset {
namespace {

using namespace platform::ui;
using vqgw::PortalReply;
using vqgw::PortalRoute;

LanguageStrings Table(uint16_t language) {
  const std::string path =
      std::string(VQ_TEST_DATA_DIR) + "/../../Code/client/lang/" + std::to_string(language) + "/strings.txt";
  std::optional<LanguageStrings> table = ReadLanguageFile(path, language);
  if (!table) throw std::runtime_error("no table " + path);
  return std::move(*table);
}

class ProgressDialogQtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    portal_ = std::make_shared<vqgw::Portal>();
    PortalReply stall = PortalReply::Body(std::string(100000, 'q'));
    stall.stallAfter = 40000;
    stall.stallMs = 20000;
    portal_->AddRoute("/qimbo.exe", PortalRoute::Fixed(stall, true));
    portal_->AddRoute("/small", PortalRoute::Fixed(PortalReply::Body("tiny"), true));
    Serve();
    host_ = std::make_unique<QtHost>(clock_);
  }
  // The gateway serves one connection at a time: a new one after a stall.
  void Serve() {
    gateway_.reset();
    vqgw::GatewayOptions options;
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
  }
  void TearDown() override {
    queue_.Clear();
    host_.reset();
  }

  void Add(const std::string& name, const std::string& path, uint32_t length) {
    auto item = std::make_unique<DownloadItem>();
    item->name = name;
    item->targetPath = root_.At("/" + name);
    item->url = "https://127.0.0.1:" + std::to_string(gateway_->Port()) + path;
    item->expectedLength = length;
    queue_.Append(std::move(item));
  }
  Dialog* Open(uint16_t language, uint32_t total) {
    strings_.emplace(Table(language));
    host_->SetStrings([this](uint32_t id) { return strings_->Find(id); });
    EXPECT_TRUE(RunProgressDialog(*host_, queue_, total, {}, [this](int code) { exitCode_ = code; }));
    host_->ProcessEvents();
    Dialog* d = host_->FindDialog(IDD_PROGRESS);
    EXPECT_NE(d, nullptr);
    if (d) {
      AdornProgressView(*host_, *d);
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_->View(*d)));
    }
    return d;
  }
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      clock_.Advance(kStartTimerMs);
      host_->ProcessEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    host_->ProcessEvents();
    return true;
  }
  template <typename W>
  W* Widget(Dialog& d, int id) {
    W* w = host_->View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }
  void Shoot(Dialog& d, const std::string& name) {
    const std::string dir = VQ_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name + ".png";
    std::filesystem::remove(path);
    ASSERT_TRUE(host_->Screenshot(d, path));
    EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
  }

  vqtest::TempRoot root_;
  std::shared_ptr<vqgw::Portal> portal_;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  platform::FakeClock clock_;
  std::unique_ptr<QtHost> host_;
  std::optional<LanguageStrings> strings_;
  DownloadQueue queue_;
  std::optional<int> exitCode_;
};

TEST_F(ProgressDialogQtTest, BarsListIconAndNoMinimising) {
  Add("qimbo.exe", "/qimbo.exe", 100000);
  Dialog* d = Open(1033, 100000);
  ASSERT_NE(d, nullptr);
  QtDialogView* view = host_->View(*d);
  auto* file = Widget<QProgressBar>(*d, IDC_PROGRESS_FILE);
  auto* total = Widget<QProgressBar>(*d, IDC_PROGRESS_TOTAL);
  auto* list = Widget<QListWidget>(*d, IDC_EVENT_LIST);
  auto* ok = Widget<QPushButton>(*d, IDOK);
  auto* cancel = Widget<QPushButton>(*d, IDCANCEL);
  ASSERT_TRUE(file && total && list && ok && cancel);
  EXPECT_FALSE(ok->isVisible());
  EXPECT_TRUE(cancel->isVisible());
  EXPECT_FALSE(view->windowIcon().isNull());
  EXPECT_FALSE(view->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));

  ASSERT_TRUE(RunUntil([&] { return file->value() == 40; }));
  EXPECT_EQ(total->value(), 40);
  EXPECT_EQ(list->count(), 1);

  view->showMinimized();
  host_->ProcessEvents();
  QTest::qWait(50);
  host_->ProcessEvents();
  EXPECT_FALSE(view->isMinimized());
  EXPECT_TRUE(view->isVisible());

  // Cancel asks first; Yes ends it.
  QTest::mouseClick(cancel, Qt::LeftButton);
  host_->ProcessEvents();
  ASSERT_EQ(host_->PendingBoxes().size(), 1u);
  host_->AnswerBox(host_->PendingBoxes()[0].serial, IDYES);
  host_->ProcessEvents();
  EXPECT_EQ(exitCode_, EXIT_FAILED);
}

// For a person to look at: a file half way, and the end with OK. Each
// language has a fresh gateway and dialog.
class ProgressDialogQtShots : public ProgressDialogQtTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(ProgressDialogQtShots, WhileDownloadingAndDone) {
  const uint16_t language = GetParam();
  Add("qimbo.exe", "/qimbo.exe", 100000);
  Dialog* d = Open(language, 100000);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return d->Progress(IDC_PROGRESS_FILE) == 40; }));
  Shoot(*d, "thimbleset_progress_downloading_" + std::to_string(language));
  d->EndDialog(IDCANCEL);
  host_->ProcessEvents();
  queue_.Clear();
  Serve();

  Add("libWendle.so", "/small", 4);
  Add("qimbo.txt", "/small", 4);
  d = Open(language, 8);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return d->IsVisible(IDOK); }));
  Shoot(*d, "thimbleset_progress_done_" + std::to_string(language));
  d->EndDialog(IDOK);
  host_->ProcessEvents();
}

INSTANTIATE_TEST_SUITE_P(Languages, ProgressDialogQtShots, ::testing::Values(1033, 2052));

}  // namespace
}  // namespace thimbleset
