// One update download against the test portal on the test gateway's port:
// what it sends, where its bytes go, and its code for every way it fails.
#include "updater/download_item.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/test_certs.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"

namespace thimbleset {
namespace {

using vqgw::Portal;
using vqgw::PortalReply;
using vqgw::PortalRequest;
using vqgw::PortalRoute;

// Bytes that show a piece out of place.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return s;
}

// The reports of one worker, as the dialog would get them.
struct Reports {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<uint32_t, uintptr_t>> messages;

  DownloadReport Sink() {
    return [this](uint32_t message, uintptr_t wParam, DownloadItem*) {
      std::lock_guard lock(mutex);
      messages.emplace_back(message, wParam);
      changed.notify_all();
    };
  }
  bool WaitEnd(int ms = 10000) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] {
      return !messages.empty() && messages.back().first == WM_DOWNLOAD_END;
    });
  }
};

class DownloadItemTest : public ::testing::Test {
 protected:
  void SetUp() override { Serve({}); }
  void TearDown() override { platform::http::CookieStore::Process().Clear(); }

  void Serve(vqgw::GatewayOptions options) {
    gateway_.reset();
    portal_ = std::make_shared<Portal>(vqgw::PortalOptions{.sessionUser = "alice", .sessionId = "S1"});
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
    // As the list fetch left them: the portal session of that server.
    auto& cookies = platform::http::CookieStore::Process();
    cookies.Clear();
    cookies.Set(Origin(), "sslvpn_sess_user", "alice");
    cookies.Set(Origin(), "sslvpn_sess_id", "S1");
  }
  std::string Origin() const { return "127.0.0.1:" + std::to_string(gateway_->Port()); }
  std::string Url(const std::string& path, const std::string& scheme = "https") const {
    return scheme + "://" + Origin() + path;
  }
  std::unique_ptr<DownloadItem> Item(const std::string& url, const std::string& target) {
    auto item = std::make_unique<DownloadItem>();
    item->statusReporting = true;
    item->name = target.substr(target.rfind('/') + 1);
    item->targetPath = target;
    item->url = url;
    return item;
  }

  vqtest::TempRoot root_;
  std::shared_ptr<Portal> portal_;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
};

TEST_F(DownloadItemTest, TheWholeFileGoesToUpdateBesideTheTargetInReportedPieces) {
  const std::string body = Pattern(200 * 1024 + 17);
  portal_->AddRoute("/files/qimbo.exe", PortalRoute::Fixed(PortalReply::Body(body)));
  const std::string target = root_.At("/qimbo.exe");
  vqtest::WriteFileBytes(target, "old");
  auto item = Item(Url("/files/qimbo.exe"), target);
  item->expectedLength = static_cast<uint32_t>(body.size());

  Reports reports;
  ASSERT_TRUE(item->Start(reports.Sink()));
  EXPECT_FALSE(item->Start(reports.Sink())) << "started twice";
  ASSERT_TRUE(reports.WaitEnd());
  item->Join();

  EXPECT_EQ(item->Code(), DOWNLOAD_DONE);
  EXPECT_EQ(vqtest::ReadFileBytes(target + ".update"), body);
  EXPECT_EQ(vqtest::ReadFileBytes(target), "old") << "the target is the replace step's";
  EXPECT_EQ(item->Received(), body.size());

  size_t reported = 0;
  for (size_t i = 0; i + 1 < reports.messages.size(); ++i) {
    const auto [message, wParam] = reports.messages[i];
    ASSERT_EQ(message, WM_DOWNLOAD_PROGRESS);
    EXPECT_EQ(wParam >> 16, DOWNLOAD_KIND_UPDATE);
    EXPECT_GT(wParam & 0xFFFF, 0u);
    EXPECT_LE(wParam & 0xFFFF, kMaxPieceBytes);
    reported += wParam & 0xFFFF;
  }
  EXPECT_EQ(reported, body.size());
  EXPECT_EQ(reports.messages.back().second, (uintptr_t{DOWNLOAD_KIND_UPDATE} << 16) | DOWNLOAD_DONE);

  const std::vector<PortalRequest> requests = portal_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].Header("Accept"), "*/*");
  EXPECT_EQ(requests[0].Header("User-Agent"), "Vardenlow Thimbleset");
  // The list's portal cookies reach the files of the same server.
  EXPECT_EQ(requests[0].Cookie("sslvpn_sess_id"), "S1");
  EXPECT_TRUE(requests[0].authenticated);
}

TEST_F(DownloadItemTest, AnEmptyFileIsStillMadeAndMissingFoldersGet0755) {
  portal_->AddRoute("/empty", PortalRoute::Fixed(PortalReply::Body("")));
  const mode_t old = ::umask(022);
  auto item = Item(Url("/empty"), root_.At("/new/deeper/empty.txt"));
  EXPECT_EQ(item->Download(), DOWNLOAD_DONE);
  ::umask(old);
  EXPECT_TRUE(vqtest::PathExists(root_.At("/new/deeper/empty.txt.update")));
  struct stat st{};
  ASSERT_EQ(::stat(root_.At("/new/deeper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(DownloadItemTest, EachFailureHasItsCodeAndTextAndLeavesNoUpdateFile) {
  const std::string body = Pattern(64 * 1024);
  portal_->AddRoute("/404", PortalRoute::Fixed(PortalReply::Status(404)));
  portal_->AddRoute("/500", PortalRoute::Fixed(PortalReply::Status(500)));
  portal_->AddRoute("/503", PortalRoute::Fixed(PortalReply::Status(503)));
  portal_->AddRoute("/401", PortalRoute::Fixed(PortalReply::Status(401)));
  PortalReply cut = PortalReply::Body(body);
  cut.cutAfter = 10000;
  portal_->AddRoute("/cut", PortalRoute::Fixed(cut));
  PortalReply cutChunked = PortalReply::Body(body, PortalReply::Framing::Chunked);
  cutChunked.cutAfter = 20000;
  portal_->AddRoute("/cut-chunked", PortalRoute::Fixed(cutChunked));
  portal_->AddRoute("/to-http", PortalRoute::Fixed(PortalReply::Redirect(302, Url("/404", "http"))));
  portal_->AddRoute("/no-location", PortalRoute::Fixed(PortalReply::Redirect(302, "")));
  for (int i = 0; i < 6; ++i)
    portal_->AddRoute("/hop" + std::to_string(i),
                      PortalRoute::Fixed(PortalReply::Redirect(302, "/hop" + std::to_string(i + 1))));
  portal_->AddRoute("/hop6", PortalRoute::Fixed(PortalReply::Body("far")));

  const struct {
    std::string url;
    int code;
    std::string text;
  } cases[] = {
      {"", DOWNLOAD_EMPTY_URL, "Empty URL"},
      {"ftp://127.0.0.1/x", DOWNLOAD_BAD_URL, "Unknown Internet service type"},
      {"https://", DOWNLOAD_BAD_URL, "Unknown Internet service type"},
      {Url("/404"), 404, "URL not found"},
      {Url("/500"), 500, "Unknown server error"},
      {Url("/503"), 503, "Server capacity reached"},
      {Url("/401"), 401, "Unknown error"},
      {Url("/cut"), DOWNLOAD_GET_FAILED, "Get file failed"},
      {Url("/cut-chunked"), DOWNLOAD_GET_FAILED, "Get file failed"},
      // Another scheme, or more than five redirects: the layer refuses.
      {Url("/to-http"), DOWNLOAD_SERVICE_DENY, "Service deny"},
      {Url("/no-location"), DOWNLOAD_SERVICE_DENY, "Service deny"},
      {Url("/hop0"), DOWNLOAD_SERVICE_DENY, "Service deny"},
      // Nobody listens.
      {"https://127.0.0.1:1/x", DOWNLOAD_SERVICE_DENY, "Service deny"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const std::string target = root_.At("/file.bin");
    vqtest::WriteFileBytes(target, "old");
    auto item = Item(c.url, target);
    Reports reports;
    ASSERT_TRUE(item->Start(reports.Sink()));
    // A failed download still reports its end, so the dialog goes on.
    ASSERT_TRUE(reports.WaitEnd());
    item->Join();
    EXPECT_EQ(item->Code(), c.code);
    EXPECT_EQ(item->ErrorText(), c.text);
    EXPECT_EQ(reports.messages.back().second & 0xFFFF, static_cast<uintptr_t>(c.code));
    EXPECT_FALSE(vqtest::PathExists(target + ".update"));
    EXPECT_EQ(vqtest::ReadFileBytes(target), "old");
  }
}

TEST_F(DownloadItemTest, FiveRedirectsOnOneSchemeAreFollowed) {
  for (int i = 0; i < 5; ++i)
    portal_->AddRoute("/r" + std::to_string(i),
                      PortalRoute::Fixed(PortalReply::Redirect(i % 2 ? 301 : 307, "/r" + std::to_string(i + 1))));
  portal_->AddRoute("/r5", PortalRoute::Fixed(PortalReply::Body("there")));
  auto item = Item(Url("/r0"), root_.At("/x"));
  EXPECT_EQ(item->Download(), DOWNLOAD_DONE);
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/x.update")), "there");
  EXPECT_EQ(portal_->Requests().size(), 6u);
}

TEST_F(DownloadItemTest, ALocalFileThatCannotBeMadeIsClose) {
  portal_->AddRoute("/f", PortalRoute::Fixed(PortalReply::Body("data")));
  // The folder's place is taken by a file.
  vqtest::WriteFileBytes(root_.At("/plain"), "");
  auto item = Item(Url("/f"), root_.At("/plain/f"));
  EXPECT_EQ(item->Download(), DOWNLOAD_CLOSED);
  EXPECT_EQ(item->ErrorText(), "Close");
  // The ".update" name is a folder.
  ::mkdir(root_.At("/g.update").c_str(), 0755);
  auto second = Item(Url("/f"), root_.At("/g"));
  EXPECT_EQ(second->Download(), DOWNLOAD_CLOSED);
}

TEST_F(DownloadItemTest, CertificatesOfAnUnknownAuthorityOrAnotherNamePassButNotBadOnes) {
  const struct {
    vqgw::CertKind kind;
    std::string name;
    int code;
  } cases[] = {
      {vqgw::CertKind::Valid, "somewhere.else", DOWNLOAD_DONE},
      {vqgw::CertKind::Expired, "gateway.test", DOWNLOAD_SERVICE_DENY},
      {vqgw::CertKind::NotYetValid, "gateway.test", DOWNLOAD_SERVICE_DENY},
      {vqgw::CertKind::BrokenSignature, "gateway.test", DOWNLOAD_SERVICE_DENY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(static_cast<int>(c.kind)));
    vqgw::GatewayOptions options;
    options.cert = vqgw::MakeTestCert(c.kind, c.name);
    Serve(std::move(options));
    portal_->AddRoute("/f", PortalRoute::Fixed(PortalReply::Body("data")));
    auto item = Item(Url("/f"), root_.At("/cert"));
    EXPECT_EQ(item->Download(), c.code);
    ::unlink(root_.At("/cert.update").c_str());
  }
}

TEST_F(DownloadItemTest, DestroyingAStalledDownloadEndsItAtOnceAndRemovesThePart) {
  const std::string body = Pattern(100 * 1024);
  PortalReply stall = PortalReply::Body(body);
  stall.stallAfter = 30000;
  stall.stallMs = 25000;
  portal_->AddRoute("/stall", PortalRoute::Fixed(stall));
  const std::string target = root_.At("/stalled.bin");
  auto item = Item(Url("/stall"), target);
  Reports reports;
  ASSERT_TRUE(item->Start(reports.Sink()));
  ASSERT_TRUE(vqtest::Eventually([&] { return item->Received() >= 30000; }));
  EXPECT_TRUE(vqtest::PathExists(target + ".update"));

  const auto start = std::chrono::steady_clock::now();
  item.reset();
  EXPECT_LT(vqtest::MsSince(start), 2000);
  EXPECT_FALSE(vqtest::PathExists(target + ".update"));
  ASSERT_FALSE(reports.messages.empty());
  EXPECT_EQ(reports.messages.back().first, WM_DOWNLOAD_END);
  EXPECT_EQ(reports.messages.back().second & 0xFFFF, static_cast<uintptr_t>(DOWNLOAD_CLOSED));
}

TEST(EnsureFolderTest, MakesWhatIsMissingAndRefusesAFile) {
  vqtest::TempRoot root;
  EXPECT_TRUE(EnsureFolder(root.path()));
  EXPECT_TRUE(EnsureFolder(root.At("/a/b/c")));
  vqtest::WriteFileBytes(root.At("/file"), "");
  EXPECT_FALSE(EnsureFolder(root.At("/file")));
  EXPECT_FALSE(EnsureFolder(root.At("/file/below")));
}

}  // namespace
}  // namespace thimbleset
