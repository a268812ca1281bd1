// The client application started in-process under the headless host with a
// fake tunnel service: every poll is answered with the status and packet
// counters the test sets, and every command is recorded. The UI log goes
// to a file, so balloons and menu changes can be read back.
#pragma once

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client_fixture.h"
#include "common/fake_pipe_server.h"
#include "support/command_pipe.h"
#include "support/wire.h"

namespace vqtest {

class FakeTunnelService {
 public:
  FakeTunnelService() : server_(client::kBrindlewayPipeName) {
    server_.SetScript([](const FakePipeServer::Bytes& request) {
      return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{request.at(0), 0, 0, 0, 0});
    });
    server_.SetCommandScript(VQ_INQUERY, [this](const FakePipeServer::Bytes&) {
      FakePipeServer::Bytes r(kInqueryReplySize, 0);
      r[0] = VQ_INQUERY;
      wire::PutU32(&r[13], received.load());
      wire::PutU32(&r[17], sent.load());
      wire::PutU32(&r[37], static_cast<uint32_t>(status.load()));
      return std::optional<FakePipeServer::Bytes>(r);
    });
  }

  // The answer to one command in place of the plain acceptance.
  void SetCommandScript(uint8_t command, FakePipeServer::Script script) {
    server_.SetCommandScript(command, std::move(script));
  }

  // Every request but the polls, in arrival order.
  std::vector<FakePipeServer::Bytes> Commands() {
    std::vector<FakePipeServer::Bytes> out;
    for (auto& m : server_.Messages())
      if (!m.empty() && m[0] != VQ_INQUERY) out.push_back(m);
    return out;
  }

  std::atomic<int> status{1};
  std::atomic<uint32_t> received{0};
  std::atomic<uint32_t> sent{0};

 private:
  FakePipeServer server_;
};

inline std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Hooks that write down what the window asked of the other parts.
struct WindowCalls {
  std::atomic<int> loginIdle{0};
  std::atomic<int> switchEvent{0};
  std::atomic<int> hostCheckInfo{0};
  std::atomic<int> updateGate{0};
};

inline client::ClientHooks RecordingHooks(HookCounts& counts, WindowCalls& calls) {
  client::ClientHooks hooks = CountingHooks(counts);
  hooks.setLoginDialogIdle = [&calls](client::ClientApp&, bool idle) {
    if (idle) ++calls.loginIdle;
  };
  hooks.setSwitchEvent = [&calls](client::ClientApp&) { ++calls.switchEvent; };
  hooks.showHostCheckErrorInfo = [&calls](client::ClientApp&) { ++calls.hostCheckInfo; };
  hooks.createUpdateGate = [&calls](client::ClientApp&) { ++calls.updateGate; };
  return hooks;
}

// A started client (no command line: the login command runs at start).
struct TrayRun {
  explicit TrayRun(client::ClientApp::Settings settings = {}, client::ClientHooks extra = {})
      : host(clock), app(host, Merge(std::move(extra)), std::move(settings)) {
    host.SetLogFile(uiLog);
    Argv argv({"Marrowlantern"});
    started = app.Start(argv.argc(), argv.argv());
    host.RunUntilIdle();
  }
  ~TrayRun() { app.Shutdown(); }

  client::ClientHooks Merge(client::ClientHooks extra) {
    client::ClientHooks hooks = RecordingHooks(counts, calls);
    hooks.dialogs = std::move(extra.dialogs);
    return hooks;
  }
  client::MainWindow& window() { return *app.Window(); }
  // One timer tick: the poll, the tray, the menu.
  void Tick() { host.Advance(client::kStatusTimerMs); }
  std::vector<std::string> UiLines(const std::string& event) {
    std::vector<std::string> out;
    for (const std::string& line : FileLines(uiLog))
      if (line.find("\"event\":\"" + event + "\"") != std::string::npos) out.push_back(line);
    return out;
  }

  TempRoot root;  // first: the app's files live below it
  FakeTunnelService service;
  std::string uiLog = root.At("/ui.log");
  platform::FakeClock clock;
  platform::ui::HeadlessHost host;
  HookCounts counts;
  WindowCalls calls;
  client::ClientApp app;
  bool started = false;
};

}  // namespace vqtest
