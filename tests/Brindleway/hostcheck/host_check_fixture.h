// What the host-check tests share: a service folder in a fresh root, the
// test interpreter as the configured interpreter, the current user as the
// desktop user, a recorder of the error reports, and a CSecurityCheck whose
// own connections go to a test gateway on loopback.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "Brindleway/control/tls_context.h"
#include "Brindleway/hostcheck/security_check.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/host_check_exchange.h"
#include "gateway/tls_gateway.h"
#include "support/registry_helpers.h"

namespace brindleway {

class HostCheckFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStoredServerCertCheck([](X509*) { return 1; });
    ::chmod(root_.path().c_str(), 0755);
    folder_ = root_.At("/service");
    ASSERT_EQ(::mkdir(folder_.c_str(), 0755), 0);
    runs_ = root_.At("/runs");
    ASSERT_EQ(RegWriteProductValue(kScriptInterpreterValue, SCRIPT_TEST_INTERPRETER_PATH), 0);
  }
  void TearDown() override {
    check_.reset();
    // The service's own account of a failed check.
    if (HasFailure()) std::cerr << vqtest::ReadLogText();
    SetStoredServerCertCheck(nullptr);
  }

  // Each own connection of the check meets play's answers.
  void StartGateway(const vqgw::HostCheckPlay& play) {
    vqgw::GatewayOptions options;
    options.script = {vqgw::Action::Respond(play.MakeResponder())};
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(options));
  }

  SecurityCheckEnv Env(platform::Clock* clock = nullptr) {
    SecurityCheckEnv env;
    env.folder = folder_;
    env.reports = &gui_;
    env.requestWaitMs = 3000;
    env.clock = clock;
    env.desktopUser = [] { return std::optional<uid_t>(::geteuid()); };
    env.notifyHostCheckFailed = [this] { ++errorReports_; };
    env.connectEnv = [this] {
      NewConnectEnv connect;
      connect.conn.host = "127.0.0.1";
      connect.conn.port = gateway_ ? gateway_->Port() : 1;
      connect.reports = &gui_;
      return connect;
    };
    env.dispatchEnv = [this] {
      DispatchEnv dispatch;
      dispatch.reports = &gui_;
      return dispatch;
    };
    return env;
  }

  // A script that counts its runs, then does body.
  std::string Script(const std::string& body) const { return "append " + runs_ + " run\n" + body; }
  static vqgw::Bytes File(const std::string& script) { return vqgw::GzipText(script); }
  static vqgw::HostCheckPlayOptions PlayOptions(const vqgw::Bytes& file, int32_t verdict = 0,
                                                size_t pieceBytes = 1000) {
    vqgw::HostCheckPlayOptions options;
    options.scriptFile = file;
    options.verdict = verdict;
    options.pieceBytes = pieceBytes;
    return options;
  }
  // The script as if an earlier check had stored it.
  void Plant(const vqgw::Bytes& file) const {
    vqtest::WriteFileBytes(At(kScriptDataFile), std::string(file.begin(), file.end()));
  }
  std::string At(const char* name) const { return folder_ + "/" + name; }
  int Runs() const {
    std::ifstream in(runs_);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }

  vqtest::TempRoot root_;
  ProtocolVersionScope version_{0x10};
  std::string folder_;
  std::string runs_;
  RecordingGuiReports gui_;
  std::atomic<int> errorReports_{0};
  std::unique_ptr<vqgw::TlsGateway> gateway_;
  std::unique_ptr<CSecurityCheck> check_;
};

}  // namespace brindleway
