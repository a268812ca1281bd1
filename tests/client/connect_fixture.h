// The client in-process for the connect path and the report pipe: a fresh
// VQ_ROOT, the headless host on a fake clock, a fake service manager for
// the readiness checks, hooks that record what the later parts were asked,
// and the hidden window started (-d -q: no connect, no login dialog).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/main_window.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "common/temp_root.h"
#include "client/app/client_constants.h"
#include "platform/pipe/pipe.h"
#include "platform/service/service.h"
#include "platform/sync/clock.h"
#include "platform/ui/headless_host.h"

namespace vqtest {

// What the hooks were asked, in order, from any thread: "idle", "gate",
// "url:<url>", "portal:<title>", ...
class HookLog {
 public:
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  int Count(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : entries_) n += e == entry;
    return n;
  }
  // The entries that start with prefix, without it.
  std::vector<std::string> With(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
    return out;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// The answers the recording hooks give.
struct HookAnswers {
  std::atomic<bool> proxIpKnown{true};
  // -1: no pending profile; 0: detection off; 1: detection "1".
  std::atomic<int> pendingProximity{-1};
  std::atomic<bool> storedPreferList{false};
};

inline client::ClientHooks RecordingHooks(HookLog& log, HookAnswers& answers) {
  client::ClientHooks h;
  auto call = [&log](const char* name) { return [&log, name](client::ClientApp&) { log.Add(name); }; };
  h.setLoginDialogIdle = [&log](client::ClientApp&, bool idle) { log.Add(idle ? "idle" : "busy"); };
  h.hideLoginDialog = call("hide");
  h.savePendingProfile = call("save");
  h.freePendingProfile = call("free");
  h.setUpdateGate = call("gate");
  h.startPreferSwitch = call("switch");
  h.setSwitchEvent = call("switch-event");
  h.connectEndedInClient = call("ended-in-client");
  h.insertChangePasswordItem = call("change-password-item");
  h.reopenLoginDialog = call("login-dialog");
  h.startUpdateThread = [&log](client::ClientApp&, int mode) { log.Add("update:" + std::to_string(mode)); };
  h.openUrl = [&log](client::ClientApp&, const std::string& url) { log.Add("url:" + url); };
  h.insertPortalItem = [&log](client::ClientApp&, const std::string& title) { log.Add("portal:" + title); };
  h.onPasswordResult = [&log](client::ClientApp&, uint32_t code) { log.Add("password:" + std::to_string(code)); };
  h.onSmsEvent = [&log](client::ClientApp&, uint32_t step) { log.Add("sms:" + std::to_string(step)); };
  h.addPreferServer = [&log](client::ClientApp&, uint32_t address, uint32_t port) {
    log.Add("prefer:" + std::to_string(address) + ":" + std::to_string(port));
  };
  h.buildWebPendingProfile = [&log](client::ClientApp&, const client::WebLoginProfile& p) {
    log.Add("profile:" + p.alias + " mode " + std::to_string(p.loginMode) + " pin " + p.pin);
  };
  h.isProxIp = [&answers](client::ClientApp&, uint32_t) { return answers.proxIpKnown.load(); };
  h.pendingProfileDetectsProximity = [&answers](client::ClientApp&) -> std::optional<bool> {
    const int p = answers.pendingProximity;
    if (p < 0) return std::nullopt;
    return p == 1;
  };
  h.storedPreferListHasEntry = [&answers](client::ClientApp&) { return answers.storedPreferList.load(); };
  return h;
}

// The build's own preferred-gateway list and switch in place of the
// recording ones.
inline void UseOwnPreferredSwitch(client::ClientHooks& h) {
  h.isProxIp = {};
  h.addPreferServer = {};
  h.storedPreferListHasEntry = {};
  h.startPreferSwitch = {};
  h.setSwitchEvent = {};
  h.connectEndedInClient = {};
}

// The build's own login dialog and pending profile in place of the
// recording hooks.
inline void UseOwnLoginDialog(client::ClientHooks& h) {
  h.setLoginDialogIdle = {};
  h.hideLoginDialog = {};
  h.savePendingProfile = {};
  h.freePendingProfile = {};
  h.reopenLoginDialog = {};
  h.showLoginDialog = {};
  h.buildWebPendingProfile = {};
  h.pendingProfileDetectsProximity = {};
  h.replacePendingProfile = {};
}

// The service manager's view of the three services the connect asks for:
// their states, how often each was queried and started. A started service
// runs from then on.
class FakeServices {
 public:
  FakeServices() {
    states_["vqsvc"] = platform::service::SERVICE_RUNNING;
    states_["Marrowlantern"] = platform::service::SERVICE_RUNNING;
    states_["winmgmt"] = platform::service::SERVICE_RUNNING;
  }
  void SetState(const std::string& name, uint32_t state) {
    std::lock_guard lock(mutex_);
    states_[name] = state;
  }
  int Queries(const std::string& name) {
    std::lock_guard lock(mutex_);
    return queries_[name];
  }
  int Starts(const std::string& name) {
    std::lock_guard lock(mutex_);
    return starts_[name];
  }
  int Stops(const std::string& name) {
    std::lock_guard lock(mutex_);
    return stops_[name];
  }
  client::ConnectLauncher::Env Env();

 private:
  class Manager;
  std::mutex mutex_;
  std::map<std::string, uint32_t> states_;
  std::map<std::string, int> queries_;
  std::map<std::string, int> starts_;
  std::map<std::string, int> stops_;
};

class FakeServices::Manager final : public platform::service::ServiceManager {
 public:
  explicit Manager(FakeServices& s) : s_(s) {}
  uint32_t CreateService(const platform::service::ServiceConfig&) override { return 0; }
  uint32_t OpenService(const std::string&) override { return 0; }
  uint32_t DeleteService(const std::string&) override { return 0; }
  uint32_t QueryServiceConfig(const std::string&, platform::service::ServiceConfig&) override { return 0; }
  uint32_t ChangeStartType(const std::string&, uint32_t) override { return 0; }
  uint32_t StartService(const std::string& name) override {
    std::lock_guard lock(s_.mutex_);
    ++s_.starts_[name];
    s_.states_[name] = platform::service::SERVICE_RUNNING;
    return 0;
  }
  // A stop is taken at once.
  uint32_t ControlService(const std::string& name, uint32_t control, platform::service::ServiceStatus&) override {
    std::lock_guard lock(s_.mutex_);
    if (control == platform::service::SERVICE_CONTROL_STOP) {
      ++s_.stops_[name];
      s_.states_[name] = platform::service::SERVICE_STOPPED;
    }
    return 0;
  }
  uint32_t QueryServiceStatus(const std::string& name, platform::service::ServiceStatus& out) override {
    std::lock_guard lock(s_.mutex_);
    ++s_.queries_[name];
    out = platform::service::ServiceStatus{};
    out.currentState = s_.states_[name];
    return 0;
  }

 private:
  FakeServices& s_;
};

inline client::ConnectLauncher::Env FakeServices::Env() {
  client::ConnectLauncher::Env env;
  env.openManager = [this](uint32_t&) { return std::make_unique<Manager>(*this); };
  return env;
}

inline Argv WindowOnly() { return Argv({"Marrowlantern", "-d", "-q"}); }

// Lets the connect thread run to its end, moving the fake clock whenever
// it sleeps; the UI thread's work runs meanwhile. False when it did not
// end within 10 s of real time.
inline bool RunConnectThread(platform::ui::HeadlessHost& host, platform::FakeClock& clock, client::ClientApp& app) {
  const bool ended = Eventually([&] {
    host.RunUntilIdle();
    if (app.Launcher().Running() == 0) return true;
    if (clock.Sleepers() > 0) clock.Advance(1000);
    return false;
  });
  host.RunUntilIdle();
  return ended;
}

// The boxes shown so far: their texts.
inline std::vector<std::string> PendingBoxTexts(platform::ui::HeadlessHost& host) {
  host.RunUntilIdle();
  std::vector<std::string> texts;
  for (const auto& box : host.PendingBoxes()) texts.push_back(box.text.text);
  return texts;
}

// The settings of an in-process run: the fake services' manager unless one
// is given, the UI language, and the service link's pauses taken out.
inline client::ClientApp::Settings WithFakeServices(FakeServices& services, client::ClientApp::Settings settings,
                                                     uint16_t language) {
  if (!settings.connect.openManager) settings.connect.openManager = services.Env().openManager;
  settings.language = language;
  settings.link.sleep = [](uint32_t) {};
  settings.link.managerSleep = [](uint32_t) {};
  return settings;
}

struct ConnectRun {
  // adjust: changes a test makes to the recording hooks.
  using Adjust = std::function<void(client::ClientHooks&)>;
  explicit ConnectRun(client::ClientApp::Settings settings = {}, uint16_t uiLanguage = 1033, const Adjust& adjust = {})
      : language(uiLanguage),
        host(clock),
        app(host, Adjusted(RecordingHooks(log, answers), adjust), WithServices(std::move(settings))) {}
  ~ConnectRun() { app.Shutdown(); }

  static client::ClientHooks Adjusted(client::ClientHooks hooks, const Adjust& adjust) {
    if (adjust) adjust(hooks);
    return hooks;
  }

  client::ClientApp::Settings WithServices(client::ClientApp::Settings settings) {
    return WithFakeServices(services, std::move(settings), language);
  }

  // The window up, as a web start without a connect, and the report pipe
  // answering (a report of a type without meaning gets its one byte).
  void Start() {
    Argv argv = WindowOnly();
    ASSERT_TRUE(app.Start(argv.argc(), argv.argv()));
    host.RunUntilIdle();
    ASSERT_TRUE(Eventually([] {
      std::vector<uint8_t> reply;
      return platform::pipe::Transact(client::kMarrowlanternPipeName, {9}, reply, 16, 500, 500) == 0 &&
             reply == std::vector<uint8_t>{9};
    }));
  }

  void SetConn(const std::string& hostName, uint32_t port, const std::string& user = "u",
               const std::string& secret = "c") {
    conn_info c;
    c.host = hostName;
    c.port = port;
    c.auth_type = AUTH_TYPE_PASSWORD;
    c.user = user;
    c.secret1 = secret;
    app.SetConn(c);
  }

  bool RunConnect() { return RunConnectThread(host, clock, app); }
  std::vector<std::string> BoxTexts() { return PendingBoxTexts(host); }

  platform::ui::MenuModel& Menu() { return app.Window()->Menu(); }

  TempRoot root;  // first: the app's files live below it
  uint16_t language;
  FakeServices services;
  HookLog log;
  HookAnswers answers;
  platform::FakeClock clock;
  platform::ui::HeadlessHost host;
  client::ClientApp app;
};

}  // namespace vqtest
