// "update" as a program (thimbleset-headless, its dialog answered from
// VQ_UI_SCRIPT) against the test portal: the files it puts in place, the
// program it runs and the library it registers, and what a cut file leaves.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/eventually.h"
#include "common/temp_root.h"
#include "gateway/portal.h"
#include "gateway/tls_gateway.h"
#include "platform/paths/paths.h"
#include "support/url_credential.h"
#include "updater/constants.h"

namespace thimbleset {
namespace {

using vqgw::Portal;
using vqgw::PortalReply;
using vqgw::PortalRequest;

std::string Entry(const std::string& name, const std::string& url, const std::string& extra) {
  return "<File><FileName>" + name + "</FileName><FileVersion>1.0.10.0000</FileVersion><Length>" + "4096" +
         "</Length><URL>" + url + "</URL>" + extra + "</File>";
}

class UpdaterUpdateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_ = vqtest::ReadFileBytes(RECORDING_INSTALLER_PATH);
    library_ = vqtest::ReadFileBytes(REGISTER_PROBE_PATH);
    ASSERT_FALSE(installer_.empty());
    ASSERT_FALSE(library_.empty());
    ::mkdir(root_.At("/portal").c_str(), 0755);
    ::mkdir(root_.At("/portal/files").c_str(), 0755);
    vqtest::WriteFileBytes(root_.At("/portal/files/qimbo.exe"), installer_);
    vqtest::WriteFileBytes(root_.At("/portal/files/libprobe.so"), library_);
    vqtest::WriteFileBytes(root_.At("/portal/files/readme.txt"), "read me\n");
    vqtest::WriteFileBytes(
        root_.At("/portal/qimbo.xml"),
        "<UpdateList>" +
            Entry("qimbo.exe", "files/qimbo.exe",
                  "<Execute>YES</Execute><ExecutePar>/S \"C:\\Program Files\\x\" --quiet</ExecutePar>") +
            Entry("libprobe.so", "files/libprobe.so", "<LocalPath>lib dir</LocalPath><Register>yes</Register>") +
            Entry("readme.txt", "files/readme.txt", "<LocalPath>docs\\en</LocalPath>") + "</UpdateList>");
    vqtest::WriteFileBytes(root_.At("/ok.script"), "dialog 102 wait 1\ndialog 102 click 1\n");
    // Before any thread of the gateway runs.
    ::setenv("VQ_TEST_INSTALLER_RECORD", root_.At("/installer.record").c_str(), 1);
    ::setenv("VQ_TEST_REGISTER_RECORD", root_.At("/register.record").c_str(), 1);
    ::setenv("VQ_UI_SCRIPT", root_.At("/ok.script").c_str(), 1);
    temp_ = platform::paths::UserTempDir();
    ASSERT_FALSE(temp_.empty());

    portal_ = std::make_shared<Portal>(
        vqgw::PortalOptions{.sessionUser = "alice", .sessionId = "S1", .folder = root_.At("/portal")});
    vqgw::GatewayOptions options;
    options.portal = portal_;
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
  }
  void TearDown() override {
    gateway_.reset();
    ::unsetenv("VQ_TEST_INSTALLER_RECORD");
    ::unsetenv("VQ_TEST_REGISTER_RECORD");
    ::unsetenv("VQ_UI_SCRIPT");
  }
  // In the user's temporary folder, as the client starts it.
  std::vector<std::string> Command() const {
    const std::string url = "https://" + EncodeUrlCredential("alice") + ":" + EncodeUrlCredential("S1") +
                            "@127.0.0.1:" + std::to_string(gateway_->Port()) + "/qimbo.xml";
    return {"/usr/bin/env", "-C", temp_, THIMBLESET_HEADLESS_PATH, "update", url, "qimbo.exe", "1.0.1.0000", "cookie"};
  }

  vqtest::TempRoot root_;
  std::string installer_, library_, temp_;
  std::shared_ptr<Portal> portal_;
  std::unique_ptr<vqgw::TlsGateway> gateway_;
};

TEST_F(UpdaterUpdateProcessTest, EveryFileInPlaceTheInstallerRunAndTheLibraryRegistered) {
  EXPECT_EQ(vqtest::RunProgram(Command(), 60000), EXIT_UPDATED);
  EXPECT_EQ(vqtest::ReadFileBytes(temp_ + "/qimbo.exe"), installer_);
  EXPECT_EQ(vqtest::ReadFileBytes(temp_ + "/lib dir/libprobe.so"), library_);
  EXPECT_EQ(vqtest::ReadFileBytes(temp_ + "/docs/en/readme.txt"), "read me\n");
  EXPECT_FALSE(vqtest::PathExists(temp_ + "/qimbo.exe.update"));

  // ExecutePar as separate arguments, no shell in between.
  ASSERT_TRUE(vqtest::Eventually([&] { return vqtest::PathExists(root_.At("/installer.record")); }));
  const std::string record = vqtest::ReadFileBytes(root_.At("/installer.record"));
  EXPECT_EQ(record.substr(0, record.find("session=")),
            "arg=" + temp_ + "/qimbo.exe\narg=/S\narg=C:\\Program Files\\x\narg=--quiet\n");
  // vqregsvr loaded the library from its new place, blank and all.
  ASSERT_TRUE(vqtest::Eventually([&] { return vqtest::PathExists(root_.At("/register.record")); }));
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/register.record")), temp_ + "/lib dir/libprobe.so");

  std::vector<std::string> paths;
  for (const PortalRequest& r : portal_->Requests()) paths.push_back(r.Path());
  EXPECT_EQ(paths, (std::vector<std::string>{"/qimbo.xml", "/files/qimbo.exe", "/files/libprobe.so",
                                             "/files/readme.txt"}));
}

TEST_F(UpdaterUpdateProcessTest, ACutFileReplacesNothingAndTheRunEndsWith4) {
  PortalReply cut = PortalReply::Body(installer_);
  cut.cutAfter = installer_.size() / 2;
  portal_->AddRoute("/files/qimbo.exe", vqgw::PortalRoute::Fixed(cut));
  vqtest::WriteFileBytes(temp_ + "/qimbo.exe", "the installed one");

  vqtest::ChildProcess updater(Command());
  // The other files come; OK never does, so the user leaves (here: a stop).
  // Under a sanitizer the whole download takes some twenty seconds.
  ASSERT_TRUE(vqtest::Eventually([&] { return portal_->Requests().size() == 4; }, std::chrono::seconds(60)));
  ASSERT_TRUE(vqtest::Eventually([&] { return vqtest::PathExists(temp_ + "/docs/en/readme.txt"); },
                                 std::chrono::seconds(60)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  updater.Signal(SIGTERM);
  EXPECT_EQ(updater.Wait(10000), EXIT_FAILED);
  EXPECT_EQ(vqtest::ReadFileBytes(temp_ + "/qimbo.exe"), "the installed one");
  EXPECT_FALSE(vqtest::PathExists(temp_ + "/qimbo.exe.update"));
  EXPECT_FALSE(vqtest::PathExists(root_.At("/installer.record")));
}

}  // namespace
}  // namespace thimbleset
