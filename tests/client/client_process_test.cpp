// The client program as a process: the hand-over of a second copy, the
// command line's secrets out of /proc, SIGTERM. PROGRAM is the headless
// host here and the Qt one (offscreen) in the gui tests.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "client/app/client_constants.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/foreign_pipe_server.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/sync/instance_lock.h"

#ifndef CLIENT_PROGRAM_PATH
#error "CLIENT_PROGRAM_PATH names the program under test"
#endif

namespace {

using namespace vqtest;

// A copy that hands over or is told to end ends by itself; one that waited
// (the first copy never ends by itself here) would run into this bound. It
// is far above what a start takes on a loaded machine under a sanitizer, so
// it never measures speed.
constexpr int kProgramMs = 30000;
constexpr std::chrono::seconds kStartLimit{60};

std::string Cmdline(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Started() { return ReadLogText().find("Marrowlantern started") != std::string::npos; }

class ClientProcess : public ::testing::TestWithParam<platform::InstanceLock::Role> {};

TEST_P(ClientProcess, SecondCopyHandsOverAndExits) {
  TempRoot root;
  platform::InstanceLock first;
  ASSERT_EQ(first.Acquire(client::kInstanceMutexName, GetParam()), 0u);
  FakePipeServer wendle(client::kWendlePipeName, [](const FakePipeServer::Bytes&) {
    return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{});
  });
  EXPECT_EQ(RunProgram({CLIENT_PROGRAM_PATH}, kProgramMs), 0);
  ASSERT_TRUE(wendle.WaitMessages(1));
  EXPECT_EQ(wendle.Messages(), std::vector<FakePipeServer::Bytes>{{client::VQ_START}});
  EXPECT_FALSE(Started());
}

INSTANTIATE_TEST_SUITE_P(Roles, ClientProcess,
                         ::testing::Values(platform::InstanceLock::Role::Console,
                                           platform::InstanceLock::Role::Service),
                         [](const auto& info) {
                           return info.param == platform::InstanceLock::Role::Service ? "Service" : "Console";
                         });

// Until the login dialog is part of the build, the Connect command logs its
// absent hook; then the dialog opens (one of the login templates).
bool LoginDialogAsked(const std::string& uiLog) {
  if (ReadLogText().find("ReopenLoginDialog") != std::string::npos) return true;
  std::istringstream ui(ReadFileBytes(uiLog));
  for (std::string line; std::getline(ui, line);) {
    if (line.find("\"event\":\"dialog_open\"") == std::string::npos) continue;
    for (int templ : client::kLoginDialogTemplates) {
      if (line.find("\"template\":" + std::to_string(templ) + ",") != std::string::npos) return true;
    }
  }
  return false;
}

// Two real programs: the second copy hands over to the first and ends; the
// first, disconnected, runs Connect.
TEST(ClientProgram, SecondCopyBringsTheFirstsLoginForward) {
  TempRoot root;
  const std::string uiLog = root.At("/ui.log");
  ::setenv("VQ_UI_LOG", uiLog.c_str(), 1);
  ChildProcess first({CLIENT_PROGRAM_PATH, "-d", "-q", "-h", "gw", "-p", "443", "-u", "u", "-c", "c"});
  ::unsetenv("VQ_UI_LOG");
  ASSERT_TRUE(Eventually(Started, kStartLimit)) << ReadLogText();
  ASSERT_TRUE(Eventually([] { return PipeServed(client::kWendlePipeName); }));
  EXPECT_FALSE(LoginDialogAsked(uiLog));

  EXPECT_EQ(RunProgram({CLIENT_PROGRAM_PATH}, kProgramMs), 0);
  EXPECT_TRUE(Eventually([&] {
    return ReadLogText().find("VQ_START OK") != std::string::npos && LoginDialogAsked(uiLog);
  }, kStartLimit)) << ReadLogText();

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(kProgramMs), 0);
}

TEST(ClientProgram, RunsUntilSigtermAndFreesItsLock) {
  TempRoot root;
  ChildProcess first({CLIENT_PROGRAM_PATH, "-d", "-q", "-h", "gw", "-p", "443", "-u", "u", "-c", "c"});
  ASSERT_TRUE(Eventually(Started, kStartLimit)) << ReadLogText();
  EXPECT_TRUE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));

  // A second copy and one with options but no -d end at once.
  EXPECT_EQ(RunProgram({CLIENT_PROGRAM_PATH}, kProgramMs), 0);
  EXPECT_EQ(RunProgram({CLIENT_PROGRAM_PATH, "-h", "gw"}, kProgramMs), 0);

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(kProgramMs), 0);
  EXPECT_FALSE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));
}

// The desktop's log-off: SIGTERM closes the channel and clears the
// service's auto-logon before the program ends.
TEST(ClientProgram, SigtermLogsOffClosingTheChannel) {
  TempRoot root;
  FakePipeServer service(client::kBrindlewayPipeName, [](const FakePipeServer::Bytes& request) {
    return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{request.at(0), 0, 0, 0, 0});
  });
  const std::string uiLog = root.At("/ui.log");
  ::setenv("VQ_UI_LOG", uiLog.c_str(), 1);
  ChildProcess client({CLIENT_PROGRAM_PATH});
  ::unsetenv("VQ_UI_LOG");
  ASSERT_TRUE(Eventually(Started, kStartLimit)) << ReadLogText();
  const std::string trayLine = "\"event\":\"tray\"";
  const std::string tip = "\"tip\":\"Tarnwickgate Marrowlantern - Disconnected\"";
  EXPECT_TRUE(Eventually([&] {
    const std::string log = ReadFileBytes(uiLog);
    return log.find(trayLine) != std::string::npos && log.find("\"icon\":102") != std::string::npos &&
           log.find(tip) != std::string::npos;
  }, kStartLimit)) << ReadFileBytes(uiLog);

  client.Signal(SIGTERM);
  EXPECT_EQ(client.Wait(kProgramMs), 0);
  std::vector<FakePipeServer::Bytes> commands;
  for (const FakePipeServer::Bytes& m : service.Messages())
    if (!m.empty() && m[0] != 3) commands.push_back(m);
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], (FakePipeServer::Bytes{2}));
  EXPECT_EQ(commands[1], (FakePipeServer::Bytes{4, 0, 0}));
  EXPECT_NE(ReadLogText().find("ENDSESSION_LOGOFF"), std::string::npos);
}

TEST(ClientProgram, OptionsWithoutWebStartEndAtOnceWithoutTheLock) {
  TempRoot root;
  EXPECT_EQ(RunProgram({CLIENT_PROGRAM_PATH, "-h", "gw"}, kProgramMs), 0);
  EXPECT_FALSE(platform::InstanceLock::IsHeld(client::kInstanceMutexName));
  EXPECT_FALSE(Started());
}

TEST(ClientProgram, PasswordIsNotInItsCommandLine) {
  TempRoot root;
  ChildProcess client({CLIENT_PROGRAM_PATH, "-d", "-q", "-h", "gw", "-u", "u", "-s", "secret", "-osecretpin"});
  ASSERT_TRUE(Eventually(Started, kStartLimit)) << ReadLogText();
  const std::string cmdline = Cmdline(client.pid());
  EXPECT_NE(cmdline.find("gw"), std::string::npos);
  EXPECT_EQ(cmdline.find("secret"), std::string::npos) << cmdline;
  client.Signal(SIGINT);
  EXPECT_EQ(client.Wait(kProgramMs), 0);
}

}  // namespace
