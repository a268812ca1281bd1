// The installer's download and start: into the user's private temporary
// folder under its own name, started with "/WebInstall"; failures show
// their box and leave nothing behind.
#include "Wendle/web_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"
#include "platform/paths/paths.h"
#include "platform/ui/headless_host.h"

namespace {

namespace fs = std::filesystem;

class WebFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::http::CookieStore::Process().Clear();
    ::setenv("VQ_TEST_INSTALLER_RECORD", record_.c_str(), 1);
    ::setenv("VQ_ELEVATE", "", 1);
    portal_->AddRoute("/qimbo.exe", vqgw::PortalRoute{[this](const vqgw::PortalRequest&) {
                        return vqgw::PortalReply::Body(vqtest::ReadFileBytes(RECORDING_INSTALLER_PATH));
                      }});
  }
  void TearDown() override {
    ::unsetenv("VQ_TEST_INSTALLER_RECORD");
    ::unsetenv("VQ_ELEVATE");
  }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(gateway_.Port()) + path;
  }
  std::string Folder() const {
    return platform::paths::TempDir() + "/tarnwickgate-" + std::to_string(::geteuid());
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : host_.PendingBoxes()) texts.push_back(box.text.text);
    return texts;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (!fs::exists(Folder())) return names;
    for (const auto& entry : fs::directory_iterator(Folder())) names.push_back(entry.path().filename().string());
    return names;
  }

  vqtest::TempRoot root_;
  std::string record_ = root_.At("/installer-record.txt");
  std::shared_ptr<vqgw::Portal> portal_ =
      std::make_shared<vqgw::Portal>(vqgw::PortalOptions{.sessionUser = "alice", .sessionId = "S1"});
  vqgw::TlsGateway gateway_{vqgw::GatewayOptions{.portal = portal_}};
  platform::ui::HeadlessHost host_;
};

TEST_F(WebFileTest, TheInstallerRunsWithWebInstallFromThePrivateFolderReplacingAnOldOne) {
  ASSERT_FALSE(platform::paths::UserTempDir().empty());
  vqtest::WriteFileBytes(Folder() + "/qimbo.exe", "an old installer");
  ASSERT_EQ(GetWebFile(host_, Url("/qimbo.exe"), "alice", "S1", "qimbo.exe", nullptr), 0);
  EXPECT_TRUE(Boxes().empty());
  const std::string installer = Folder() + "/qimbo.exe";
  EXPECT_EQ(vqtest::ReadFileBytes(installer), vqtest::ReadFileBytes(RECORDING_INSTALLER_PATH));
  ASSERT_TRUE(vqtest::Eventually([&] { return fs::exists(record_); }));
  const std::string record = vqtest::ReadFileBytes(record_);
  EXPECT_EQ(record.substr(0, record.find("session")), "arg=" + installer + "\narg=/WebInstall\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"qimbo.exe"});
  struct stat st{};
  ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(WebFileTest, AFailedDownloadShowsItsBoxAndLeavesNoTemporaryFile) {
  EXPECT_EQ(GetWebFile(host_, Url("/missing.exe"), "alice", "S1", "qimbo.exe", nullptr), -1);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"GetWebFile failed\n"});
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WebFileTest, AFolderThatIsNotTheUsersOwnIsRefused) {
  const std::string folder = Folder();
  fs::create_directories(platform::paths::TempDir());
  const struct {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"open to others", [&] { ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0); ::chmod(folder.c_str(), 0755); }},
      {"a link", [&] {
         fs::create_directories(root_.At("/elsewhere"));
         ::chmod(root_.At("/elsewhere").c_str(), 0700);
         fs::create_symlink(root_.At("/elsewhere"), folder);
       }},
      {"another owner", [&] {
         ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
         }
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another owner" && ::geteuid() != 0) continue;
    fs::remove_all(folder);
    c.make();
    EXPECT_TRUE(platform::paths::UserTempDir().empty());
    EXPECT_EQ(GetWebFile(host_, Url("/qimbo.exe"), "alice", "S1", "qimbo.exe", nullptr), -1);
    EXPECT_FALSE(fs::exists(record_));
    EXPECT_TRUE(portal_->Requests().empty());
  }
  fs::remove_all(folder);
  EXPECT_EQ(GetWebFile(host_, Url("/qimbo.exe"), "alice", "S1", "../qimbo.exe", nullptr), -1);
  EXPECT_TRUE(portal_->Requests().empty());
}

}  // namespace
