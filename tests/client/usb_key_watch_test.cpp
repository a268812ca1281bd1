// The USB-key watch in-process: the client under the headless host on a
// fake clock, a fake tunnel service on its command pipe, the tunnel
// service's own sender for its reports, and a real SoftHSM2 token as the
// user's USB key, pulled out for real (its folder moved away) while the
// module stays loaded. Device changes are injected as the window's
// WM_DEVICECHANGE.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Brindleway/common/gui_reports.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/usb_key_watch.h"
#include "client/cert/write_cert_settings.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "common/softhsm_certs.h"
#include "common/softhsm_token.h"
#include "common/softhsm_user.h"
#include "connect_fixture.h"
#include "tray_fixture.h"
#include "platform/crypto/token_provider.h"
#include "platform/registry/registry.h"
#include "platform/ui/win32_ui.h"
#include "support/command_pipe.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using Bytes = FakePipeServer::Bytes;
namespace reg = platform::registry;

const std::vector<uint8_t> kKeyId = {0x01};
constexpr char kRemovedText[] = "The specific USB key has been removed or can not be used";
constexpr char kDisconnectLine[] = "Disconnect from the server";

// How the user chose the certificate.
enum class Choice { ByFingerprint, ByDefaultProvider };

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class UsbKeyWatch : public ::testing::Test {
 protected:
  UsbKeyWatch() { token_.Import(kKeyId, cert_.get(), key_.get()); }
  // The watchers end before the token goes.
  ~UsbKeyWatch() override { run_.app.Shutdown(); }

  void SetUp() override {
    Choose(Choice::ByFingerprint);
    run_.Start();
    run_.app.SetLoginMode(2);
  }

  // The certificate choice in the user's settings key, as Select
  // Certificate stores it.
  void Choose(Choice choice) {
    CertSettings settings = SettingsByFingerprint(cert_.get());
    settings.CSPName = USB_KEY_PROVIDER_NAME;
    settings.IsUseDefaultCert = choice == Choice::ByDefaultProvider ? 1 : 0;
    ASSERT_EQ(WriteCertSettings(settings, PRODUCT_SETTINGS_KEY), 0);
  }

  void SetDefaultProvider(const std::string& name) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Open(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
    ASSERT_EQ(key.SetValue("DefaultCSPName", reg::REG_SZ, RegSzBytes(name)), 0u);
  }

  // The tunnel service in this state, as the next status poll reads it.
  void SetStatus(uint32_t state) {
    service_.status = static_cast<int>(state);
    run_.host.Advance(client::kStatusTimerMs);
    ASSERT_EQ(run_.app.GetChannelStatus(), static_cast<int>(state));
  }

  // Event 13 (connected), as the tunnel service reports it.
  void ReportConnected() {
    Bytes event{VQ_EVENT, 0, 0, 0, 0};
    wire::PutU32(&event[1], 13);
    Bytes reply;
    ASSERT_EQ(brindleway::TransactGuiPipe(event, reply, brindleway::kGuiMessageSize, brindleway::kGuiReplyTimeoutMs),
              0u);
    run_.host.RunUntilIdle();
  }

  // Connected with the key: status 4, then event 13.
  void ConnectWithKey() {
    SetStatus(4);
    ReportConnected();
    ASSERT_EQ(run_.app.GetUsbKeyValue(), 1);
  }

  void DeviceChange() { run_.app.Window()->OnDeviceChange(); }

  // Runs the UI thread and the fake clock until every watcher ended; time
  // moves only while a watcher sleeps, 100 ms at a time. atMs, when given,
  // runs once the clock has passed it. The fake time it took.
  int64_t RunWatchers(int64_t atMs = -1, std::function<void()> at = {}) {
    const int64_t start = run_.clock.NowMs();
    const bool ended = Eventually([&] {
      run_.host.RunUntilIdle();
      // The step runs while the watcher sleeps, never beside a probe.
      if (at && run_.clock.NowMs() - start >= atMs && run_.clock.PendingSleepers() > 0) std::exchange(at, nullptr)();
      if (run_.app.Threads().Running() == 0) return true;
      if (run_.clock.PendingSleepers() > 0) run_.host.Advance(100);
      return false;
    });
    EXPECT_TRUE(ended) << "a watcher did not end";
    run_.host.RunUntilIdle();
    return run_.clock.NowMs() - start;
  }

  int Disconnects() {
    int n = 0;
    for (const Bytes& m : service_.Commands()) n += m == Bytes{VQ_CLOSE_CHANNEL};
    return n;
  }

  int RemovedBoxes() {
    int n = 0;
    for (const std::string& text : run_.BoxTexts()) n += text == kRemovedText;
    return n;
  }

  ConnectRun run_;  // first: its VQ_ROOT holds the token and the hive
  TestCa ca_;
  SoftHsmToken token_{USB_KEY_PROVIDER_NAME};
  platform::crypto::EvpPkeyPtr key_ = MakeRsaKey();
  platform::crypto::X509Ptr cert_ = ca_.Issue("Token User", key_.get());
  FakeTunnelService service_;
};

TEST_F(UsbKeyWatch, KeyInPlaceIsProbedFourTimesASecondApartAndNothingHappens) {
  ConnectWithKey();
  DeviceChange();
  const int64_t took = RunWatchers();
  // Three pauses between four probes, none after the last.
  EXPECT_GE(took, 3 * client::kUsbKeyProbePauseMs);
  EXPECT_LT(took, 4 * client::kUsbKeyProbePauseMs);
  EXPECT_EQ(Disconnects(), 0);
  EXPECT_TRUE(run_.BoxTexts().empty());
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 1);
  EXPECT_EQ(Occurrences(ReadLogText(), kDisconnectLine), 0);
}

TEST_F(UsbKeyWatch, PulledKeyDisconnectsShowsTheBoxThenTheLoginDialog) {
  ConnectWithKey();
  token_.Pull();
  DeviceChange();
  RunWatchers();
  EXPECT_EQ(Disconnects(), 1);
  EXPECT_EQ(Occurrences(ReadLogText(), kDisconnectLine), 1);
  EXPECT_EQ(run_.log.Count("idle"), 1);
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 0);
  ASSERT_EQ(RemovedBoxes(), 1);
  const auto& box = run_.host.PendingBoxes().front();
  EXPECT_EQ(box.flags & platform::ui::MB_ICONERROR, platform::ui::MB_ICONERROR);
  EXPECT_EQ(box.flags & platform::ui::MB_TOPMOST, platform::ui::MB_TOPMOST);
  EXPECT_EQ(box.owner, nullptr);
  // The login dialog comes once the box is answered, not before.
  EXPECT_EQ(run_.log.Count("login-dialog"), 0);
  ASSERT_TRUE(run_.host.Answer(kRemovedText, platform::ui::IDOK));
  run_.host.RunUntilIdle();
  EXPECT_EQ(run_.log.Count("login-dialog"), 1);
}

TEST_F(UsbKeyWatch, KeyPulledBetweenProbesIsFoundByTheNextOne) {
  ConnectWithKey();
  DeviceChange();
  const int64_t took = RunWatchers(1500, [this] { token_.Pull(); });
  EXPECT_GE(took, 2 * client::kUsbKeyProbePauseMs);
  EXPECT_LT(took, 3 * client::kUsbKeyProbePauseMs);
  EXPECT_EQ(Disconnects(), 1);
  EXPECT_EQ(RemovedBoxes(), 1);
}

TEST_F(UsbKeyWatch, ThreeChangesAfterOnePullDisconnectOnce) {
  ConnectWithKey();
  token_.Pull();
  for (int i = 0; i < 3; ++i) DeviceChange();
  RunWatchers();
  EXPECT_EQ(Disconnects(), 1);
  EXPECT_EQ(RemovedBoxes(), 1);
  EXPECT_EQ(run_.log.Count("idle"), 1);
  EXPECT_EQ(Occurrences(ReadLogText(), kDisconnectLine), 1);
}

TEST_F(UsbKeyWatch, PullWhileNotConnectedChangesNothing) {
  ConnectWithKey();
  for (uint32_t state : {1u, 2u, 3u}) {
    SCOPED_TRACE(state);
    token_.Pull();
    SetStatus(state);
    // What a connect in progress would have set from an earlier login.
    run_.app.SetUsbKeyValue(1);
    DeviceChange();
    RunWatchers();
    EXPECT_EQ(Disconnects(), 0);
    EXPECT_TRUE(run_.BoxTexts().empty());
    EXPECT_EQ(run_.app.GetUsbKeyValue(), 1);
    token_.PutBack();
    platform::crypto::CloseTokenProviders();
  }
}

TEST_F(UsbKeyWatch, OnlyUsbKeyLoginModesStartAWatch) {
  ConnectWithKey();
  token_.Pull();
  // 3: no mode chosen yet.
  for (int mode : {0, 3}) {
    SCOPED_TRACE(mode);
    run_.app.SetLoginMode(mode);
    DeviceChange();
    EXPECT_EQ(run_.app.Threads().Running(), 0u);
  }
  EXPECT_EQ(Disconnects(), 0);
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 1);
  // With the key, once more: now it acts.
  run_.app.SetLoginMode(1);
  DeviceChange();
  RunWatchers();
  EXPECT_EQ(Disconnects(), 1);
}

TEST_F(UsbKeyWatch, LoginByKeyCountsAsKeyPresentUntilTheStatusReturnsToOne) {
  // No device change since the login: only event 13 said the key was in.
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 0);
  ConnectWithKey();
  token_.Pull();
  DeviceChange();
  RunWatchers();
  EXPECT_EQ(Disconnects(), 1);

  // Event 13 of a password login does not count.
  run_.app.SetLoginMode(0);
  SetStatus(1);
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 0);
  SetStatus(4);
  ReportConnected();
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 0);
}

TEST_F(UsbKeyWatch, StatusBackAtOneForgetsTheKey) {
  ConnectWithKey();
  SetStatus(1);
  EXPECT_EQ(run_.app.GetUsbKeyValue(), 0);
  // Connected again without a login event since: a key nobody saw is not
  // taken for the login's key.
  SetStatus(4);
  token_.Pull();
  DeviceChange();
  RunWatchers();
  EXPECT_EQ(Disconnects(), 0);
}

TEST_F(UsbKeyWatch, ChoiceDecidesWhatIsProbed) {
  struct Case {
    const char* what;
    Choice choice;
    const char* defaultProvider;  // nullptr: not stored
    bool pull;
    int disconnects;
  };
  const Case cases[] = {
      {"by fingerprint, key in", Choice::ByFingerprint, nullptr, false, 0},
      {"by fingerprint, key out", Choice::ByFingerprint, nullptr, true, 1},
      {"default provider empty: the USB-key provider, key in", Choice::ByDefaultProvider, "", false, 0},
      {"default provider empty: the USB-key provider, key out", Choice::ByDefaultProvider, "", true, 1},
      {"default provider not stored, key in", Choice::ByDefaultProvider, nullptr, false, 0},
      {"default provider named: that one, which holds nothing", Choice::ByDefaultProvider, "Other Provider", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Choose(c.choice);
    SetDefaultProvider(c.defaultProvider != nullptr ? c.defaultProvider : "");
    if (c.defaultProvider == nullptr) {
      reg::Key key;
      ASSERT_EQ(reg::Key::Open(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
      key.DeleteValue("DefaultCSPName");
    }
    const int before = Disconnects();
    ConnectWithKey();
    if (c.pull) token_.Pull();
    DeviceChange();
    RunWatchers();
    EXPECT_EQ(Disconnects() - before, c.disconnects);
    // The watch read the choice for the whole process too.
    EXPECT_EQ(run_.app.Certificates().Get().IsUseDefaultCert, c.choice == Choice::ByDefaultProvider ? 1u : 0u);
    if (c.pull) {
      token_.PutBack();
      platform::crypto::CloseTokenProviders();
    }
    while (run_.host.Answer("", platform::ui::IDOK)) {
    }
    run_.host.RunUntilIdle();
  }
}

TEST_F(UsbKeyWatch, EightWatchersWhileTheSettingsAreRewrittenKeepTheUserConnected) {
  ConnectWithKey();
  std::atomic<bool> stop{false};
  // The same choice stored again and again, in the hive and for the
  // process, as Select Certificate would.
  std::thread writer([&] {
    CertSettings settings;
    ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
    while (!stop) {
      WriteCertSettings(settings, PRODUCT_SETTINGS_KEY);
      run_.app.Certificates().Set(settings);
    }
  });
  for (int i = 0; i < 8; ++i) DeviceChange();
  RunWatchers();
  stop = true;
  writer.join();
  EXPECT_EQ(Disconnects(), 0);
  EXPECT_TRUE(run_.BoxTexts().empty());
  EXPECT_EQ(Occurrences(ReadLogText(), kDisconnectLine), 0);
}

TEST_F(UsbKeyWatch, ExitEndsSleepingWatchersAtOnce) {
  ConnectWithKey();
  for (int i = 0; i < 3; ++i) DeviceChange();
  ASSERT_TRUE(Eventually([this] { return run_.clock.Sleepers() == 3; }));
  const auto start = std::chrono::steady_clock::now();
  run_.app.Exit();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(run_.app.Threads().Running(), 0u);
  EXPECT_EQ(run_.clock.Sleepers(), 0);
}

}  // namespace
