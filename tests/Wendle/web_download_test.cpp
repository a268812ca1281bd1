// The web download module against the test portal on the test gateway's
// port: statuses, redirects, refused names and cookies, the gateway's
// certificate (and the one the tunnel service stored), the USB key's
// client certificate, cancel, and the escaping of cookie texts.
#include "Wendle/web_download.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/file_size_limit.h"
#include "common/softhsm_user.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/test_certs.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"
#include "platform/registry/registry.h"
#include "support/cert_settings.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/server_cert_file.h"
#include "support/text_convert.h"
#include "support/utf16.h"

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
using vqgw::Portal;
using vqgw::PortalReply;
using vqgw::PortalRequest;
using vqgw::PortalRoute;

constexpr char kUser[] = "alice";
constexpr char kSession[] = "S3ss10n";

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

PortalRoute Reply(PortalReply reply, bool open = false) {
  return PortalRoute{[reply](const PortalRequest&) { return reply; }, open};
}

// The files in folder.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

class WebDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::http::CookieStore::Process().Clear();
    fs::create_directories(folder_);
  }
  void Serve(vqgw::GatewayOptions options = {}) {
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
  }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(gateway_->Port()) + path;
  }
  int Get(const std::string& path, const std::string& user = kUser, const std::string& session = kSession,
          const char* pin = nullptr) {
    return GetWebFileWithCookie(Url(path), user, session, file_, pin);
  }

  vqtest::TempRoot root_;
  std::string folder_ = root_.At("/downloads");
  std::string file_ = folder_ + "/qimbo.bin";
  std::shared_ptr<Portal> portal_ =
      std::make_shared<Portal>(vqgw::PortalOptions{.sessionUser = kUser, .sessionId = kSession});
  std::unique_ptr<vqgw::TlsGateway> gateway_;
};

TEST_F(WebDownloadTest, StatusesRedirectsAndBodies) {
  const std::string big = Pattern(2 * 1024 * 1024);
  vqgw::PortalHttpListener plain(portal_);
  const std::string plainBig = "http://127.0.0.1:" + std::to_string(plain.Port()) + "/open-big";
  portal_->AddRoute("/big", Reply(PortalReply::Body(big)));
  portal_->AddRoute("/big-chunked", Reply(PortalReply::Body(big, PortalReply::Framing::Chunked)));
  portal_->AddRoute("/open-big", Reply(PortalReply::Body(big), true));
  portal_->AddRoute("/to-big", Reply(PortalReply::Redirect(302, "")));  // Location set below
  portal_->AddRoute("/to-missing", Reply(PortalReply::Redirect(302, "/missing\r")));
  portal_->AddRoute("/to-relative", Reply(PortalReply::Redirect(301, "big")));
  portal_->AddRoute("/to-plain", Reply(PortalReply::Redirect(303, plainBig)));
  portal_->AddRoute("/twice", Reply(PortalReply::Redirect(302, "/to-missing")));
  portal_->AddRoute("/nowhere", Reply(PortalReply::Status(302)));
  portal_->AddRoute("/error", Reply(PortalReply::Status(500)));
  PortalReply cut = PortalReply::Body(big);
  cut.cutAfter = 100000;
  portal_->AddRoute("/cut", Reply(cut));
  PortalReply cutChunked = PortalReply::Body(big, PortalReply::Framing::Chunked);
  cutChunked.cutAfter = 100000;
  portal_->AddRoute("/cut-chunked", Reply(cutChunked));
  Serve();
  portal_->AddRoute("/to-big", Reply(PortalReply::Redirect(302, Url("/big"))));

  const struct {
    const char* path;
    const char* user;
    int result;
    bool written;
    size_t requests;
  } cases[] = {
      {"/big", kUser, 0, true, 1},
      {"/big-chunked", kUser, 0, true, 1},
      {"/big", "mallory", 401, false, 1},
      {"/missing", kUser, 404, false, 1},
      {"/to-big", kUser, 0, true, 2},
      {"/to-missing", kUser, 404, false, 2},
      {"/to-relative", kUser, 0, true, 2},
      {"/to-plain", kUser, 0, true, 2},
      {"/twice", kUser, 302, false, 2},
      {"/nowhere", kUser, -1, false, 1},
      {"/error", kUser, 500, false, 1},
      {"/cut", kUser, -1, false, 1},
      {"/cut-chunked", kUser, -1, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::error_code ignored;
    fs::remove(file_, ignored);
    const size_t before = portal_->Requests().size();
    EXPECT_EQ(Get(c.path, c.user), c.result);
    EXPECT_EQ(portal_->Requests().size() - before, c.requests);
    if (c.written) {
      EXPECT_TRUE(vqtest::ReadFileBytes(file_) == big);
    } else {
      EXPECT_FALSE(fs::exists(file_));
    }
    // No temporary file is left behind.
    const std::vector<std::string> left = Entries(folder_);
    EXPECT_EQ(left.size(), c.written ? 1u : 0u);
  }
}

TEST_F(WebDownloadTest, AWriteThatFailsLeavesTheOldFileAndNoTemporaryOne) {
  portal_->AddRoute("/big", Reply(PortalReply::Body(Pattern(2 * 1024 * 1024))));
  Serve();
  vqtest::WriteFileBytes(file_, "the old file");
  {
    // The disk fills up half way.
    vqtest::FileSizeLimit limit(1024 * 1024);
    EXPECT_EQ(Get("/big"), -1);
  }
  EXPECT_EQ(vqtest::ReadFileBytes(file_), "the old file");
  EXPECT_EQ(Entries(folder_), std::vector<std::string>{"qimbo.bin"});
}

TEST_F(WebDownloadTest, TheFirstRequestCarriesThePortalSessionAndTheRedirectOnlyAcceptAndSameServerCookies) {
  vqgw::PortalHttpListener plain(portal_);
  portal_->AddRoute("/file", Reply(PortalReply::Body("bytes")));
  portal_->AddRoute("/open", Reply(PortalReply::Body("bytes"), true));
  Serve();
  portal_->AddRoute("/here", Reply(PortalReply::Redirect(302, Url("/file"))));
  portal_->AddRoute("/away",
                    Reply(PortalReply::Redirect(302, "http://127.0.0.1:" + std::to_string(plain.Port()) + "/open")));
  ASSERT_EQ(Get("/here"), 0);
  ASSERT_EQ(Get("/away"), 0);

  const auto seen = portal_->Requests();
  ASSERT_EQ(seen.size(), 4u);
  const PortalRequest& first = seen[0];
  EXPECT_EQ(first.method, "GET");
  EXPECT_EQ(first.target, "/here");
  EXPECT_EQ(first.Header("Accept"), "*/*");
  EXPECT_EQ(first.Header("User-Agent"), "Vardenlow Marrowlantern/1.0");
  EXPECT_EQ(first.Header("Cookie"), std::string("sslvpn_sess_user=") + kUser + "; sslvpn_sess_id=" + kSession);
  const PortalRequest& redirected = seen[1];
  EXPECT_EQ(redirected.target, "/file");
  EXPECT_EQ(redirected.connection, first.connection);
  EXPECT_EQ(redirected.Header("Accept"), "*/*");
  EXPECT_FALSE(redirected.HasHeader("User-Agent"));
  EXPECT_EQ(redirected.Cookie("sslvpn_sess_user"), kUser);
  EXPECT_EQ(redirected.Cookie("sslvpn_sess_id"), kSession);
  const PortalRequest& elsewhere = seen[3];
  EXPECT_FALSE(elsewhere.tls);
  EXPECT_FALSE(elsewhere.HasHeader("Cookie"));
}

TEST_F(WebDownloadTest, ExecutableNamesAndHeaderBreakingCookiesAreRefusedBeforeAnyRequest) {
  portal_->AddRoute("/file", Reply(PortalReply::Body("bytes")));
  Serve();
  for (const char* ext : {"exe", "com", "dll", "bat", "sys", "inf"}) {
    SCOPED_TRACE(ext);
    EXPECT_EQ(GetWebFileWithCookie(Url("/file"), kUser, kSession, folder_ + "/x." + ext, nullptr), -1);
  }
  for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3), std::string("a;b")}) {
    EXPECT_EQ(Get("/file", bad, kSession), -1);
    EXPECT_EQ(Get("/file", kUser, bad), -1);
  }
  EXPECT_TRUE(portal_->Requests().empty());
  EXPECT_TRUE(Entries(folder_).empty());
  EXPECT_EQ(GetWebFileWithCookie(Url("/file"), kUser, kSession, folder_ + "/x.EXE", nullptr), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(folder_ + "/x.EXE"), "bytes");
}

TEST_F(WebDownloadTest, TheGatewaysOwnCertificatePassesABrokenOneDoesNot) {
  portal_->AddRoute("/file", Reply(PortalReply::Body("bytes")));
  const struct {
    const char* name;
    vqgw::CertKind kind;
    const char* commonName;
    int result;
  } cases[] = {
      {"wrong name", vqgw::CertKind::Valid, "somewhere.else", 0},
      {"expired", vqgw::CertKind::Expired, "127.0.0.1", 0},
      {"not yet valid", vqgw::CertKind::NotYetValid, "127.0.0.1", 0},
      {"unknown authority", vqgw::CertKind::Valid, "127.0.0.1", 0},
      {"broken signature", vqgw::CertKind::BrokenSignature, "127.0.0.1", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove(file_, ignored);
    Serve(vqgw::GatewayOptions{.cert = vqgw::MakeTestCert(c.kind, c.commonName)});
    EXPECT_EQ(Get("/file"), c.result);
    EXPECT_EQ(fs::exists(file_), c.result == 0);
  }
}

TEST_F(WebDownloadTest, AGatewayWhoseCertificateTheTunnelServiceStoredMustShowThatOne) {
  portal_->AddRoute("/file", Reply(PortalReply::Body("bytes")));
  const std::string install = "/opt/tarnwickgate";
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
  ASSERT_EQ(key.SetValue("QIMBO_HOME", reg::REG_SZ, RegSzBytes(install)), 0u);
  const std::string certFolder = InstalledServerCertFolder();
  ASSERT_TRUE(fs::create_directories(certFolder));
  const auto stored = vqgw::MakeTestCert(vqgw::CertKind::Valid);
  const std::vector<uint8_t> der = stored->Der();
  ASSERT_EQ(StoreServerCert(der.data(), der.size(), ServerCertPath(certFolder, inet_addr("127.0.0.1"))), 1);

  Serve(vqgw::GatewayOptions{.cert = stored});
  EXPECT_EQ(Get("/file"), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(file_), "bytes");
  fs::remove(file_);

  Serve(vqgw::GatewayOptions{.cert = vqgw::MakeTestCert(vqgw::CertKind::Valid)});
  EXPECT_EQ(Get("/file"), -1);
  EXPECT_TRUE(Entries(folder_).empty());
  ASSERT_TRUE(gateway_->WaitFinished(0));
  EXPECT_FALSE(gateway_->Connections()[0].http);
  EXPECT_EQ(portal_->Requests().size(), 1u);
}

TEST_F(WebDownloadTest, ACancelEndsAStalledDownloadWithinASecond) {
  PortalReply stall = PortalReply::Body("late");
  stall.stallMs = 20000;
  portal_->AddRoute("/stall", Reply(stall));
  Serve();
  platform::Event cancel(platform::Event::Reset::Manual);
  // Cancelled once the portal stalls in its answer: from then on it must
  // end within a second or so.
  std::chrono::steady_clock::time_point cancelledAt{};
  std::thread canceller([&] {
    portal_->WaitRequests(1);
    cancelledAt = std::chrono::steady_clock::now();
    cancel.Set();
  });
  EXPECT_EQ(GetWebFileWithCookie(Url("/stall"), kUser, kSession, file_, nullptr, WebDownloadOptions{.cancel = &cancel}),
            -1);
  const auto ended = std::chrono::steady_clock::now();
  canceller.join();
  EXPECT_LT(ended - cancelledAt, std::chrono::seconds(2));
  EXPECT_TRUE(Entries(folder_).empty());
}

TEST(WebDownloadEscape, EscapeUrlText) {
  const struct {
    const char* in;
    size_t outSize;
    const char* out;
  } cases[] = {
      {"Az09.", 64, "Az09."},
      {"a b-c_d@e", 64, "a%20b%2dc%5fd%40e"},
      {"\xe4\xb8\xad", 64, "%e4%b8%ad"},
      {"\x7f\x80\xff", 64, "%7f%80%ff"},
      {"abcdef", 8, "abc"},      // stops when fewer than 6 bytes remain
      {"%%%", 10, "%25%25"},     // 10, 7 remain; the third would leave 4
      {"abc", 5, ""},
      {"", 64, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out(c.outSize, 'X');
    EscapeUrlText(out.data(), c.in, out.size());
    EXPECT_STREQ(out.c_str(), c.out);
  }
  char one = 'X';
  EscapeUrlText(&one, "abc", 1);
  EXPECT_EQ(one, '\0');
}

// The USB key's client certificate when the gateway requires one.
class WebDownloadClientCertTest : public ::testing::Test {
 protected:
  void StoreChoice(uint32_t useDefault, const std::vector<uint8_t>& fingerprint) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
    ASSERT_EQ(key.SetValue("IsUseDefaultCert", reg::REG_DWORD, RegDwordBytes(useDefault)), 0u);
    ASSERT_EQ(key.SetValue("CertFingerPrint", reg::REG_BINARY, fingerprint), 0u);
    // The provider that holds the chosen certificate's key takes the PIN.
    ASSERT_EQ(key.SetValue("CSPName", reg::REG_SZ, RegSzBytes(USB_KEY_PROVIDER_NAME)), 0u);
  }
  void SetUp() override {
    platform::http::CookieStore::Process().Clear();
    portal_->AddRoute("/qimbo.exe", PortalRoute{[](const PortalRequest&) { return PortalReply::Body("installer"); }});
    vqgw::GatewayOptions options;
    options.clientCa = vqgw::ShareX509Cert(user_.ca.cert());
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(options);
  }
  int Get(const char* pin) {
    return GetWebFileWithCookie("https://127.0.0.1:" + std::to_string(gateway_->Port()) + "/qimbo.exe", kUser,
                                kSession, file_, pin);
  }
  std::string DebugText() const {
    const std::string bytes = vqtest::ReadFileBytes(WebDownloadLogPath());
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    return Utf16ToUtf8(units);
  }

  vqtest::SoftHsmUser user_;
  std::string file_ = user_.root.At("/qimbo.bin");
  std::shared_ptr<Portal> portal_ =
      std::make_shared<Portal>(vqgw::PortalOptions{.sessionUser = kUser, .sessionId = kSession});
  std::unique_ptr<vqgw::TlsGateway> gateway_;
};

TEST_F(WebDownloadClientCertTest, ThePortalSeesTheTokensCertificate) {
  for (const bool byFingerprint : {false, true}) {
    SCOPED_TRACE(byFingerprint ? "by fingerprint" : "the provider's default");
    StoreChoice(byFingerprint ? 0 : 1, byFingerprint ? vqtest::Thumbprint(user_.cert.get()) : std::vector<uint8_t>{});
    const size_t before = portal_->Requests().size();
    ASSERT_EQ(Get(vqtest::SoftHsmToken::kUserPin), 0);
    EXPECT_EQ(vqtest::ReadFileBytes(file_), "installer");
    ASSERT_EQ(portal_->Requests().size(), before + 1);
    EXPECT_EQ(portal_->Requests().back().clientCertDer, vqtest::CertDer(user_.cert.get()));
  }
  EXPECT_NE(DebugText().find("Set USB key PIN successed in GetWebFileWithCookie......\n"), std::string::npos);
}

TEST_F(WebDownloadClientCertTest, AWrongPinOrNoCertificateFails) {
  StoreChoice(1, {});
  EXPECT_EQ(Get("000000"), -1);
  EXPECT_NE(DebugText().find("Set USB key PIN failed in GetWebFileWithCookie......\n"), std::string::npos);
  const vqtest::TestCa other("Other CA");
  const auto otherKey = vqtest::MakeRsaKey();
  const auto otherCert = other.Issue("Somebody Else", otherKey.get());
  StoreChoice(0, vqtest::Thumbprint(otherCert.get()));
  EXPECT_EQ(Get(vqtest::SoftHsmToken::kUserPin), -1);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(portal_->Requests().empty());
}

}  // namespace
