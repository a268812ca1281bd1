#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/temp_root.h"
#include "platform/service/service.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

namespace {

// Stands in for systemctl: records every command line; "is-active" prints
// the next scripted state, everything else exits with `exitCode`.
struct FakeSystemctl {
  std::vector<std::string> commands;
  std::deque<std::string> states;
  int exitCode = 0;

  svc::CommandRunner Runner() {
    return [this](const std::vector<std::string>& argv, std::string* output) {
      std::string line;
      for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
      commands.push_back(line);
      if (argv.size() > 1 && argv[1] == "is-active") {
        const std::string state = states.empty() ? "inactive" : states.front();
        if (!states.empty()) states.pop_front();
        if (output) *output = state + "\n";
        return state == "active" ? 0 : 3;
      }
      return exitCode;
    };
  }
};

class SystemdManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unitDir_ = root_.At("/units");
    manager_ = svc::MakeSystemdServiceManager(svc::MakeRegistryServiceEntryStore(), fake_.Runner(), unitDir_);
  }

  static svc::ServiceConfig Config(uint32_t startType = svc::SERVICE_AUTO_START) {
    svc::ServiceConfig c;
    c.name = "Marrowlantern";
    c.displayName = "Tarnwickgate 100%";
    c.binaryPathName = "\"/opt/Tarnwick Gate/bin/Brindleway\" -s control";
    c.startType = startType;
    return c;
  }

  std::string UnitFile() const { return vqtest::ReadFileBytes(unitDir_ + "/marrowlantern.service"); }

  vqtest::TempRoot root_;
  FakeSystemctl fake_;
  std::string unitDir_;
  std::unique_ptr<svc::ServiceManager> manager_;
};

TEST_F(SystemdManagerTest, CreateWritesANotifyUnitAndEnablesAnAutomaticService) {
  ASSERT_EQ(manager_->CreateService(Config()), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands, (std::vector<std::string>{"systemctl daemon-reload",
                                                      "systemctl enable marrowlantern.service"}));
  const std::string unit = UnitFile();
  for (const char* line : {"Description=Tarnwickgate 100%%\n", "Type=notify\n",
                           "ExecStart=\"/opt/Tarnwick Gate/bin/Brindleway\" \"-s\" \"control\"\n",
                           "Environment=\"VQ_SERVICE_NAME=Marrowlantern\"\n", "KillSignal=SIGTERM\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line << "\nin:\n" << unit;

  svc::ServiceConfig stored;
  ASSERT_EQ(manager_->QueryServiceConfig("MARROWLANTERN", stored), platform::ERROR_SUCCESS);
  EXPECT_EQ(stored.binaryPathName, Config().binaryPathName);
  EXPECT_EQ(manager_->CreateService(Config()), platform::ERROR_SERVICE_EXISTS);
}

TEST_F(SystemdManagerTest, ADemandStartServiceIsNotEnabled) {
  ASSERT_EQ(manager_->CreateService(Config(svc::SERVICE_DEMAND_START)), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands, (std::vector<std::string>{"systemctl daemon-reload"}));
}

TEST_F(SystemdManagerTest, LinesThatWouldAddUnitSettingsAreRefused) {
  svc::ServiceConfig c = Config();
  c.displayName = "Nice\nExecStartPre=/bin/evil";
  EXPECT_EQ(manager_->CreateService(c), platform::ERROR_INVALID_PARAMETER);
  c = Config();
  c.binaryPathName = "/bin/x\n[Service]";
  EXPECT_EQ(manager_->CreateService(c), platform::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(fake_.commands.empty());
  EXPECT_EQ(UnitFile(), "");
}

TEST_F(SystemdManagerTest, AFailedCreateLeavesNothingBehind) {
  fake_.exitCode = 1;
  EXPECT_EQ(manager_->CreateService(Config()), platform::ERROR_GEN_FAILURE);
  EXPECT_EQ(UnitFile(), "");
  EXPECT_EQ(manager_->OpenService("Marrowlantern"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SystemdManagerTest, StatesMapOntoServiceStates) {
  ASSERT_EQ(manager_->CreateService(Config()), platform::ERROR_SUCCESS);
  const std::pair<const char*, uint32_t> cases[] = {
      {"active", svc::SERVICE_RUNNING},          {"reloading", svc::SERVICE_RUNNING},
      {"activating", svc::SERVICE_START_PENDING}, {"deactivating", svc::SERVICE_STOP_PENDING},
      {"inactive", svc::SERVICE_STOPPED},         {"failed", svc::SERVICE_STOPPED},
  };
  for (const auto& [text, state] : cases) {
    SCOPED_TRACE(text);
    fake_.states = {text};
    svc::ServiceStatus status;
    ASSERT_EQ(manager_->QueryServiceStatus("Marrowlantern", status), platform::ERROR_SUCCESS);
    EXPECT_EQ(status.currentState, state);
  }
  EXPECT_EQ(fake_.commands.back(), "systemctl is-active marrowlantern.service");
}

TEST_F(SystemdManagerTest, StartAndStopSendTheirCommandOnlyWhenItMakesSense) {
  ASSERT_EQ(manager_->CreateService(Config()), platform::ERROR_SUCCESS);
  fake_.commands.clear();

  fake_.states = {"inactive"};
  EXPECT_EQ(manager_->StartService("Marrowlantern"), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands.back(), "systemctl start --no-block marrowlantern.service");
  fake_.states = {"active"};
  EXPECT_EQ(manager_->StartService("Marrowlantern"), platform::ERROR_SERVICE_ALREADY_RUNNING);

  svc::ServiceStatus status;
  fake_.states = {"active"};
  EXPECT_EQ(manager_->ControlService("Marrowlantern", svc::SERVICE_CONTROL_STOP, status), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands.back(), "systemctl stop --no-block marrowlantern.service");
  fake_.states = {"inactive"};
  EXPECT_EQ(manager_->ControlService("Marrowlantern", svc::SERVICE_CONTROL_STOP, status),
            platform::ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(fake_.commands, (std::vector<std::string>{
                                "systemctl is-active marrowlantern.service",
                                "systemctl start --no-block marrowlantern.service",
                                "systemctl is-active marrowlantern.service",
                                "systemctl is-active marrowlantern.service",
                                "systemctl stop --no-block marrowlantern.service",
                                "systemctl is-active marrowlantern.service",
                            }));

  ASSERT_EQ(manager_->ChangeStartType("Marrowlantern", svc::SERVICE_DISABLED), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands.back(), "systemctl disable marrowlantern.service");
  fake_.states = {"inactive"};
  EXPECT_EQ(manager_->StartService("Marrowlantern"), platform::ERROR_SERVICE_DISABLED);
}

TEST_F(SystemdManagerTest, DeleteDisablesAndRemovesTheUnit) {
  ASSERT_EQ(manager_->CreateService(Config()), platform::ERROR_SUCCESS);
  fake_.commands.clear();
  ASSERT_EQ(manager_->DeleteService("marrowlantern"), platform::ERROR_SUCCESS);
  EXPECT_EQ(fake_.commands, (std::vector<std::string>{"systemctl disable marrowlantern.service",
                                                      "systemctl daemon-reload"}));
  EXPECT_EQ(UnitFile(), "");
  EXPECT_EQ(manager_->OpenService("Marrowlantern"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

// The runner itself: argv reaches the program untouched, output is captured.
TEST(RunCommandTest, RunsWithoutAShellAndCapturesOutput) {
  std::string out;
  EXPECT_EQ(svc::RunCommand({"printf", "%s|", "a b", "$HOME;x"}, &out), 0);
  EXPECT_EQ(out, "a b|$HOME;x|");
  EXPECT_EQ(svc::RunCommand({"sh", "-c", "exit 3"}, nullptr), 3);
  EXPECT_EQ(svc::RunCommand({"/no/such/program"}, &out), -1);
  EXPECT_EQ(svc::RunCommand({}, &out), -1);
}

}  // namespace
