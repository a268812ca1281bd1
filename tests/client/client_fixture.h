// A ClientApp run in-process under the headless host, in a fresh VQ_ROOT,
// with hooks that count what the start asked of the later parts.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "client/app/client_app.h"
#include "common/temp_root.h"
#include "platform/sync/clock.h"
#include "platform/ui/headless_host.h"

namespace vqtest {

struct HookCounts {
  std::atomic<int> connect{0};
  std::atomic<int> loginDialog{0};
};

// The argument strings of one command line, writable as a process's own are.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args) : args_(std::move(args)) {
    for (std::string& a : args_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return pointers_.data(); }
  const std::string& operator[](size_t i) const { return args_[i]; }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

inline client::ClientHooks CountingHooks(HookCounts& counts) {
  client::ClientHooks hooks;
  hooks.connectToServerWithUsbKey = [&counts](client::ClientApp&) {
    ++counts.connect;
    return 0;
  };
  hooks.reopenLoginDialog = [&counts](client::ClientApp&) { ++counts.loginDialog; };
  return hooks;
}

struct ClientRun {
  explicit ClientRun(client::ClientApp::Settings settings = {})
      : host(clock), app(host, CountingHooks(counts), std::move(settings)) {}
  ~ClientRun() { app.Shutdown(); }

  TempRoot root;  // first: the app's files live below it
  platform::FakeClock clock;
  platform::ui::HeadlessHost host;
  HookCounts counts;
  client::ClientApp app;
};

}  // namespace vqtest
