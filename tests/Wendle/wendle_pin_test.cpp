// The USB-key logins: the key's availability, the PIN dialog against a
// SoftHSM2 token, and the PIN on both ways to the client.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "Wendle/usb_pin_dialog.h"
#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_fixture.h"
#include "Wendle/wendle_page.h"
#include "Wendle/wendle_pipe.h"
#include "common/fake_pipe_server.h"
#include "common/softhsm_user.h"
#include "support/conn_info_codec.h"
#include "support/registry_helpers.h"

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

constexpr char kRightPin[] =
    "dialog 157 text 1005 \"246810\"\n"
    "dialog 157 click 1\n"
    "dialog 157 end 2\n";

class WendlePinTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.InstallFakeClient(); }

  // Plays the running client; every login is answered with 0.
  vqtest::FakePipeServer& RunningClient() {
    env_.HoldClientLock();
    server_.emplace(WENDLE_PIPE_NAME, [](const Bytes&) { return Bytes{VQ_WEB_LOGIN, 0, 0, 0, 0}; });
    return *server_;
  }
  conn_info LoginSent(size_t index) {
    conn_info info;
    const auto messages = server_->Messages();
    EXPECT_GT(messages.size(), index);
    if (messages.size() > index) {
      EXPECT_TRUE(DecodeConnInfo(messages[index].data() + 1, 588, info));
    }
    return info;
  }

  vqtest::SoftHsmUser user_;
  vqtest::WendleRoot env_{&user_.root};
  std::optional<vqtest::FakePipeServer> server_;
};

TEST_F(WendlePinTest, TheRightPinIsAskedOnceAndGoesWithTheLogin) {
  struct Case {
    int16_t mode;
    const char* option;
    uint32_t flags;
  };
  for (const Case c : {Case{1, "-k", CONN_FLAG_USB_KEY}, Case{2, "-o", CONN_FLAG_USB_KEY | CONN_FLAG_USB_KEY_ONLY}}) {
    SCOPED_TRACE(c.mode);
    // The client does not run: the PIN is on its command line.
    {
      std::filesystem::remove(env_.root().At(std::string(vqtest::kClientHome) + "/bin/run.cwd"));
      vqtest::WendlePage page(env_.UiLogPath() + std::to_string(c.mode), kRightPin);
      page.ctrl().SetClientAuthFlag(c.mode);
      ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
      EXPECT_EQ(page.ctrl().Connect(), 0);
      EXPECT_EQ(env_.ClientArgv(),
                (Strings{"-d", "-h", "10.123.0.1", "-p", "443", "-u", "alice", "-c", "S1", c.option, "246810"}));
      EXPECT_EQ(page.DialogResults(IDD_USB_PIN), std::vector<int>{1});
    }
  }
  auto& server = RunningClient();
  for (const Case c : {Case{1, "-k", CONN_FLAG_USB_KEY}, Case{2, "-o", CONN_FLAG_USB_KEY | CONN_FLAG_USB_KEY_ONLY}}) {
    SCOPED_TRACE(c.mode);
    const size_t before = server.Messages().size();
    vqtest::WendlePage page(env_.UiLogPath() + "run" + std::to_string(c.mode), kRightPin);
    page.ctrl().SetClientAuthFlag(c.mode);
    ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
    EXPECT_EQ(page.ctrl().Connect(), 0);
    EXPECT_EQ(page.ctrl().Connect(), 0);
    EXPECT_EQ(page.DialogsOpened(IDD_USB_PIN), 1);
    for (size_t i = before; i < before + 2; ++i) {
      const conn_info info = LoginSent(i);
      EXPECT_EQ(info.init, c.flags);
      EXPECT_EQ(info.secret2, "246810");
    }
    EXPECT_TRUE(page.Boxes().empty());
  }
}

TEST_F(WendlePinTest, AWrongPinKeepsTheDialogOpen) {
  auto& server = RunningClient();
  vqtest::WendlePage page(env_.UiLogPath(),
                          "dialog 157 text 1005 \"999999\"\n"
                          "dialog 157 click 1\n"
                          "box \"USB key PIN is incorrect\" IDOK\n"
                          "dialog 157 text 1005 \"246810\"\n"
                          "dialog 157 click 1\n");
  page.ctrl().SetClientAuthFlag(1);
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  EXPECT_EQ(page.ctrl().Connect(), 0);
  EXPECT_EQ(page.Boxes(), Strings{"USB key PIN is incorrect"});
  EXPECT_EQ(page.DialogsOpened(IDD_USB_PIN), 1);
  EXPECT_EQ(page.DialogResults(IDD_USB_PIN), std::vector<int>{1});
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(LoginSent(0).secret2, "246810");
}

TEST_F(WendlePinTest, CancelSendsNothing) {
  auto& server = RunningClient();
  vqtest::WendlePage page(env_.UiLogPath(), "dialog 157 text 1005 \"246810\"\ndialog 157 click 2\n");
  page.ctrl().SetClientAuthFlag(2);
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.DialogResults(IDD_USB_PIN), std::vector<int>{2});
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_TRUE(page.Boxes().empty());
}

TEST_F(WendlePinTest, AMissingKeyIsReportedAndThePinAskedAgainAfterIt) {
  auto& server = RunningClient();
  vqtest::WendlePage page(env_.UiLogPath(), std::string(kRightPin) + kRightPin);
  page.ctrl().SetClientAuthFlag(1);
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  EXPECT_EQ(page.ctrl().Connect(), 0);

  // The settings now name a provider that holds no certificate.
  ASSERT_EQ(RegWriteUserValue(PRODUCT_SETTINGS_KEY, "DefaultCSPName", "Missing Provider"), 0);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.Boxes(), Strings{"USB key is not available"});
  EXPECT_EQ(server.Messages().size(), 1u);

  ASSERT_EQ(RegDeleteUserValue(PRODUCT_SETTINGS_KEY, "DefaultCSPName"), 0);
  EXPECT_EQ(page.ctrl().Connect(), 0);
  EXPECT_EQ(page.DialogsOpened(IDD_USB_PIN), 2);
  EXPECT_EQ(server.Messages().size(), 2u);
}

TEST_F(WendlePinTest, TheChosenCertificateDecidesWithoutTheDefault) {
  auto& server = RunningClient();
  vqtest::WendlePage page(env_.UiLogPath(), kRightPin);
  page.ctrl().SetClientAuthFlag(1);
  ASSERT_EQ(page.ctrl().Init("10.123.0.1", "443", "alice", "S1"), 0);
  platform::registry::Key key;
  ASSERT_EQ(platform::registry::Key::Create(platform::registry::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY,
                                            platform::registry::Access::Write, key),
            0u);
  ASSERT_EQ(key.SetValue("IsUseDefaultCert", platform::registry::REG_DWORD, std::vector<uint8_t>{0, 0, 0, 0}), 0u);
  // A fingerprint of no certificate: the key counts as missing.
  ASSERT_EQ(key.SetValue("CertFingerPrint", platform::registry::REG_BINARY, std::vector<uint8_t>(20, 0xEE)), 0u);
  EXPECT_EQ(page.ctrl().Connect(), -1);
  EXPECT_EQ(page.Boxes(), Strings{"USB key is not available"});

  const std::vector<uint8_t> hash = vqtest::Thumbprint(user_.cert.get());
  ASSERT_EQ(key.SetValue("CertFingerPrint", platform::registry::REG_BINARY, hash), 0u);
  ASSERT_EQ(RegWriteUserValue(PRODUCT_SETTINGS_KEY, "CSPName", USB_KEY_PROVIDER_NAME), 0);
  EXPECT_EQ(page.ctrl().Connect(), 0);
  EXPECT_EQ(LoginSent(0).secret2, "246810");
  EXPECT_EQ(server.Messages().size(), 1u);
}

}  // namespace
