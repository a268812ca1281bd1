// The progress dialog under the headless host, its downloads against the
// test portal: the order of the files, its lines, its bars, the replace
// step, what runs and registers a file, and how it ends.
#include "updater/progress_dialog.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "updater/constants.h"
#include "updater/updater_strings.h"

namespace thimbleset {
namespace {

using namespace platform::ui;
using vqgw::Portal;
using vqgw::PortalReply;
using vqgw::PortalRequest;
using vqgw::PortalRoute;

// A line without its time, once the time is checked: "hh:mm:ss TEXT".
std::string Untimed(const std::string& line) {
  static const std::regex timed("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9] (.*)$");
  std::smatch m;
  if (!std::regex_match(line, m, timed)) return "untimed: " + line;
  return m[1];
}

class ProgressDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    portal_ = std::make_shared<Portal>();
    vqgw::GatewayOptions options;
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
    host_.SetStrings([this](uint32_t id) { return strings_.Find(id); });
    starter_.execute = [this](const std::string& file, const std::string& parameters) {
      started_.push_back("execute " + file + " " + parameters);
      return 0;
    };
    starter_.registerFile = [this](const std::string& file) {
      started_.push_back("register " + file);
      return 0;
    };
  }
  void TearDown() override {
    queue_.Clear();
    host_.BeginShutdown();
  }

  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(gateway_->Port()) + path;
  }
  DownloadItem& Add(const std::string& name, const std::string& target, const std::string& path,
                    uint32_t length = 0) {
    auto item = std::make_unique<DownloadItem>();
    item->statusReporting = true;
    item->name = name;
    item->targetPath = target;
    item->url = path.empty() ? "" : Url(path);
    item->expectedLength = length;
    DownloadItem& held = *item;
    queue_.Append(std::move(item));
    return held;
  }
  Dialog* Open(uint32_t totalLength) {
    EXPECT_TRUE(RunProgressDialog(host_, queue_, totalLength, starter_, [this](int code) { exitCode_ = code; }));
    host_.RunUntilIdle();
    return host_.FindDialog(IDD_PROGRESS);
  }
  // Time moves in the timer's steps while the workers run.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      host_.Advance(kStartTimerMs);
      host_.RunUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::vector<std::string> Lines(Dialog& d) {
    std::vector<std::string> lines;
    for (int i = 0; i < d.ItemCount(IDC_EVENT_LIST); ++i) lines.push_back(Untimed(d.ItemText(IDC_EVENT_LIST, i)));
    return lines;
  }
  bool Ended(const std::string& lastLine) {
    Dialog* d = host_.FindDialog(IDD_PROGRESS);
    return d && d->ItemCount(IDC_EVENT_LIST) > 0 &&
           Untimed(d->ItemText(IDC_EVENT_LIST, d->ItemCount(IDC_EVENT_LIST) - 1)) == lastLine;
  }
  void CancelWith(int answer) {
    ASSERT_TRUE(host_.Click(IDD_PROGRESS, IDCANCEL));
    host_.RunUntilIdle();
    ASSERT_EQ(host_.PendingBoxes().size(), 1u);
    EXPECT_EQ(host_.PendingBoxes()[0].text.text, "Are you sure to exit?");
    EXPECT_EQ(host_.PendingBoxes()[0].caption, "Thimbleset");
    EXPECT_EQ(host_.PendingBoxes()[0].flags, MB_ICONINFORMATION | MB_YESNO);
    ASSERT_TRUE(host_.Answer("", answer));
    host_.RunUntilIdle();
  }

  vqtest::TempRoot root_;
  LanguageStrings strings_ = LoadUpdaterStrings(1033);
  std::shared_ptr<Portal> portal_;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
  DownloadQueue queue_;
  ReplacedFileStarter starter_;
  std::vector<std::string> started_;
  std::optional<int> exitCode_;
};

TEST_F(ProgressDialogTest, FilesComeOneAfterAnotherAndOkEndsWithEveryFileInPlace) {
  const std::string a(5000, 'a'), b(70000, 'b'), c(123, 'c');
  // When b is asked for, a must be in place already.
  bool aInPlaceForB = false;
  portal_->AddRoute("/a", PortalRoute::Fixed(PortalReply::Body(a), true));
  portal_->AddRoute("/sub/b", PortalRoute{[&](const PortalRequest&) {
                                            aInPlaceForB = vqtest::ReadFileBytes(root_.At("/a")) == a;
                                            return PortalReply::Body(b);
                                          },
                                          true});
  portal_->AddRoute("/c", PortalRoute::Fixed(PortalReply::Body(c), true));
  vqtest::WriteFileBytes(root_.At("/a"), "the old a, longer than nothing");
  Add("a", root_.At("/a"), "/a", static_cast<uint32_t>(a.size()));
  Add("b", root_.At("/new/folder/b"), "/sub/b", static_cast<uint32_t>(b.size()));
  Add("c", root_.At("/c"), "/c");

  // The installer is a: the total bar is full after it and stays so.
  Dialog* d = Open(static_cast<uint32_t>(a.size()));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), "Thimbleset");
  EXPECT_TRUE(d->IsVisible(IDCANCEL));
  EXPECT_FALSE(d->IsVisible(IDOK));
  EXPECT_FALSE(host_.Click(IDD_PROGRESS, IDOK));
  EXPECT_EQ(d->Progress(IDC_PROGRESS_FILE), 0);

  ASSERT_TRUE(RunUntil([&] { return Ended("Update done."); }));
  EXPECT_EQ(Lines(*d), (std::vector<std::string>{
                           "Updating file [a] ...",
                           "Download file [a] done",
                           "Updating file [b] ...",
                           "Download file [b] done",
                           "Updating file [c] ...",
                           "Download file [c] done",
                           "Update done.",
                       }));
  for (int i = 0; i < d->ItemCount(IDC_EVENT_LIST); ++i) EXPECT_EQ(d->ItemData(IDC_EVENT_LIST, i), 0u);
  EXPECT_EQ(d->Selection(IDC_EVENT_LIST), d->ItemCount(IDC_EVENT_LIST) - 1);
  EXPECT_TRUE(aInPlaceForB);
  EXPECT_EQ(d->Progress(IDC_PROGRESS_TOTAL), 100);
  EXPECT_EQ(d->Progress(IDC_PROGRESS_FILE), 100);
  EXPECT_TRUE(d->IsVisible(IDOK));
  EXPECT_FALSE(d->IsVisible(IDCANCEL));
  EXPECT_EQ(queue_.Count(), 0u);

  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/a")), a);
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/new/folder/b")), b);
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/c")), c);
  EXPECT_FALSE(vqtest::PathExists(root_.At("/a.update")));
  EXPECT_TRUE(started_.empty());

  // One request at a time, in list order.
  const std::vector<PortalRequest> requests = portal_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Path(), "/a");
  EXPECT_EQ(requests[1].Path(), "/sub/b");
  EXPECT_EQ(requests[2].Path(), "/c");

  ASSERT_TRUE(host_.Click(IDD_PROGRESS, IDOK));
  host_.RunUntilIdle();
  EXPECT_EQ(exitCode_, EXIT_UPDATED);
}

TEST_F(ProgressDialogTest, AFailedFileHasItsLineAndCodeAndTheUpdateNeverOffersOk) {
  PortalReply cut = PortalReply::Body(std::string(50000, 'x'));
  cut.cutAfter = 1000;
  portal_->AddRoute("/cut", PortalRoute::Fixed(cut, true));
  portal_->AddRoute("/404", PortalRoute::Fixed(PortalReply::Status(404), true));
  portal_->AddRoute("/ok", PortalRoute::Fixed(PortalReply::Body("fine"), true));
  vqtest::WriteFileBytes(root_.At("/plain"), "");
  const struct {
    std::string path;
    std::string target;
    uint32_t code;
  } cases[] = {
      {"", "/empty-url", DOWNLOAD_EMPTY_URL},
      {"/404", "/missing", 404},
      {"/cut", "/cut-short", DOWNLOAD_GET_FAILED},
      {"/ok", "/plain/below", DOWNLOAD_CLOSED},  // no folder can be made there
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.target);
    const bool hasOld = c.code != DOWNLOAD_CLOSED;
    if (hasOld) vqtest::WriteFileBytes(root_.At(c.target), "old");
    exitCode_.reset();
    Add("f", root_.At(c.target), c.path);
    // The next file still comes.
    Add("g", root_.At("/g"), "/ok");
    Dialog* d = Open(0);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(RunUntil([&] { return queue_.Count() == 0; }));
    const std::string failed = "Download file [f] failed (" + std::to_string(c.code) + ")";
    EXPECT_EQ(Lines(*d), (std::vector<std::string>{"Updating file [f] ...", failed, "Updating file [g] ...",
                                                   "Download file [g] done"}));
    EXPECT_EQ(d->ItemData(IDC_EVENT_LIST, 1), c.code);
    EXPECT_FALSE(d->IsVisible(IDOK));
    EXPECT_TRUE(d->IsVisible(IDCANCEL));
    if (hasOld) {
      EXPECT_EQ(vqtest::ReadFileBytes(root_.At(c.target)), "old");
    }
    EXPECT_FALSE(vqtest::PathExists(root_.At(c.target + ".update")));
    CancelWith(IDYES);
    EXPECT_EQ(exitCode_, EXIT_FAILED);
    EXPECT_EQ(host_.FindDialog(IDD_PROGRESS), nullptr);
  }
}

TEST_F(ProgressDialogTest, TheOldFileIsReplacedWholeAndARenameThatFailsKeepsTheUpdate) {
  portal_->AddRoute("/new", PortalRoute::Fixed(PortalReply::Body("new program"), true));
  const std::string program = root_.At("/program");
  vqtest::WriteFileBytes(program, "old program, longer than the new one");
  ::chmod(program.c_str(), 0750);
  // A folder (not empty) where the file should go.
  ::mkdir(root_.At("/taken").c_str(), 0755);
  vqtest::WriteFileBytes(root_.At("/taken/inside"), "");
  Add("program", program, "/new");
  Add("x", root_.At("/taken"), "/new");

  Dialog* d = Open(0);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return queue_.Count() == 0; }));
  EXPECT_EQ(Lines(*d), (std::vector<std::string>{"Updating file [program] ...", "Download file [program] done",
                                                 "Updating file [x] ...", "Rename file [x] failed"}));
  EXPECT_EQ(vqtest::ReadFileBytes(program), "new program");
  struct stat st{};
  ASSERT_EQ(::stat(program.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u) << "the replaced program keeps its bits";
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/taken.update")), "new program");
  EXPECT_TRUE(vqtest::PathExists(root_.At("/taken/inside")));
  EXPECT_FALSE(d->IsVisible(IDOK));
}

TEST_F(ProgressDialogTest, AReplacedFileIsRunThenRegisteredAsTheListSays) {
  portal_->AddRoute("/f", PortalRoute::Fixed(PortalReply::Body("bytes"), true));
  DownloadItem& both = Add("both", root_.At("/both"), "/f");
  both.execute = true;
  both.registerFile = true;
  both.executePar = "/S \"two words\"";
  DownloadItem& run = Add("run", root_.At("/run"), "/f");
  run.execute = true;
  DownloadItem& reg = Add("reg", root_.At("/lib dir/reg.so"), "/f");
  reg.registerFile = true;
  // Not replaced: neither run nor registered.
  DownloadItem& failed = Add("failed", root_.At("/failed"), "/missing");
  failed.execute = true;
  failed.registerFile = true;
  portal_->AddRoute("/missing", PortalRoute::Fixed(PortalReply::Status(404), true));

  ASSERT_NE(Open(0), nullptr);
  ASSERT_TRUE(RunUntil([&] { return queue_.Count() == 0; }));
  EXPECT_EQ(started_, (std::vector<std::string>{
                          "execute " + root_.At("/both") + " /S \"two words\"",
                          "register " + root_.At("/both"),
                          "execute " + root_.At("/run") + " ",
                          "register " + root_.At("/lib dir/reg.so"),
                      }));
}

TEST_F(ProgressDialogTest, CancelAsksFirstAndYesEndsAStalledDownloadAtOnce) {
  PortalReply stall = PortalReply::Body(std::string(100000, 's'));
  stall.stallAfter = 20000;
  stall.stallMs = 25000;
  portal_->AddRoute("/stall", PortalRoute::Fixed(stall, true));
  Add("stalled", root_.At("/stalled"), "/stall", 100000);
  Add("never", root_.At("/never"), "/stall");
  Dialog* d = Open(100000);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return d->Progress(IDC_PROGRESS_FILE) == 20; }));
  EXPECT_EQ(d->Progress(IDC_PROGRESS_TOTAL), 20);

  // No: the dialog stays and the download with it.
  CancelWith(IDNO);
  EXPECT_EQ(host_.FindDialog(IDD_PROGRESS), d);
  EXPECT_FALSE(exitCode_.has_value());
  EXPECT_EQ(queue_.Count(), 2u);
  EXPECT_TRUE(vqtest::PathExists(root_.At("/stalled.update")));

  CancelWith(IDYES);
  EXPECT_EQ(exitCode_, EXIT_FAILED);
  const auto start = std::chrono::steady_clock::now();
  queue_.Clear();
  EXPECT_LT(vqtest::MsSince(start), 2000);
  EXPECT_FALSE(vqtest::PathExists(root_.At("/stalled.update")));
  EXPECT_EQ(portal_->Requests().size(), 1u);
}

// The cancelled dialog's worker posts its end while the queue is cleared,
// after that dialog ended; the next dialog's first item is then likely to
// take the freed item's place, so the stale end would name it.
TEST_F(ProgressDialogTest, ReportsOfACancelledDialogNeverReachTheNextOne) {
  PortalReply stall = PortalReply::Body(std::string(100000, 's'));
  stall.stallAfter = 20000;
  stall.stallMs = 25000;
  portal_->AddRoute("/stall", PortalRoute::Fixed(stall, true));
  portal_->AddRoute("/small", PortalRoute::Fixed(PortalReply::Body("tiny"), true));
  // The gateway serves one connection at a time: the next dialog's files
  // come from another, made now so nothing is allocated between the clear
  // and the next items.
  vqgw::GatewayOptions options;
  options.portal = portal_;
  auto next = std::make_unique<vqgw::TlsGateway>(std::move(options));
  Add("stalled", root_.At("/stalled"), "/stall", 100000);
  Dialog* d = Open(100000);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return d->Progress(IDC_PROGRESS_FILE) == 20; }));
  CancelWith(IDYES);
  ASSERT_EQ(exitCode_, EXIT_FAILED);
  queue_.Clear();
  gateway_.swap(next);

  exitCode_.reset();
  Add("one", root_.At("/one"), "/small", 4);
  Add("two", root_.At("/two"), "/small", 4);
  d = Open(8);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return queue_.Count() == 0; }));
  EXPECT_EQ(Lines(*d), (std::vector<std::string>{
                           "Updating file [one] ...",
                           "Download file [one] done",
                           "Updating file [two] ...",
                           "Download file [two] done",
                           "Update done.",
                       }));
  ASSERT_TRUE(host_.Click(IDD_PROGRESS, IDOK));
  host_.RunUntilIdle();
  EXPECT_EQ(exitCode_, EXIT_UPDATED);
}

TEST_F(ProgressDialogTest, BarsFollowTheirItemAndStayInsideTheirRange) {
  portal_->AddRoute("/big", PortalRoute::Fixed(PortalReply::Body(std::string(3000, 'b')), true));
  // Longer than its entry said, and than the installer.
  Add("big", root_.At("/big"), "/big", 1000);
  Dialog* d = Open(1500);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(RunUntil([&] { return Ended("Update done."); }));
  EXPECT_EQ(d->Progress(IDC_PROGRESS_FILE), 100);
  EXPECT_EQ(d->Progress(IDC_PROGRESS_TOTAL), 100);
}

}  // namespace
}  // namespace thimbleset
