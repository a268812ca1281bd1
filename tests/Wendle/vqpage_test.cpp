// The page program end to end: the control registered with vqregsvr,
// created by ProgID in vqpage, starting a fake client program.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "Wendle/wendle_fixture.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "platform/sync/instance_lock.h"

namespace {

// Runs a program of the build with its standard output in a file; the
// exit status.
int RunTo(const std::string& out, const std::vector<std::string>& argv) {
  return vqtest::RunProgramTo(out, argv, 60000);
}

TEST(VqpageTest, APageRegistersCreatesAndStartsTheClient) {
  vqtest::WendleRoot env;
  const std::string out = env.root().At("/out.txt");
  ASSERT_EQ(RunTo(out, {VQREGSVR_PATH, WENDLE_LIBRARY_PATH}), 0);
  EXPECT_NE(vqtest::ReadFileBytes(out).find("DllRegisterServer in"), std::string::npos);
  EXPECT_NE(vqtest::ReadFileBytes(out).find("succeeded."), std::string::npos);
  env.InstallFakeClient();

  ::setenv("VQ_UI_LOG", env.UiLogPath().c_str(), 1);
  const int rc = RunTo(out, {VQPAGE_PATH, "-e", "IsClientInstalled()", "-e",
                             "Init(\"10.123.0.1\",\"443\",\"alice\",\"S1\")", "-e", "Connect()", "-e",
                             "GetConnStat()", "-e", "Launch()"});
  ::unsetenv("VQ_UI_LOG");
  EXPECT_EQ(rc, 1);  // Launch is no method
  EXPECT_EQ(vqtest::ReadFileBytes(out),
            "IsClientInstalled() = 1\n"
            "Init(\"10.123.0.1\",\"443\",\"alice\",\"S1\") = 0\n"
            "Connect() = 0\n"
            "GetConnStat() = -1\n"
            "Launch() failed 0x80020006\n");
  EXPECT_EQ(env.ClientArgv(),
            (std::vector<std::string>{"-d", "-h", "10.123.0.1", "-p", "443", "-u", "alice", "-c", "S1"}));

  // Unregistered, the page finds no control.
  ASSERT_EQ(RunTo(out, {VQREGSVR_PATH, "/u", "/s", WENDLE_LIBRARY_PATH}), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(out), "");
  EXPECT_EQ(RunTo(out, {VQPAGE_PATH, "-e", "Connect()"}), 1);
  EXPECT_EQ(vqtest::ReadFileBytes(out), "CreateInstance(\"WENDLE.WendleCtrl.1\") failed 0x80040154\n");
}

TEST(VqpageTest, BoxesNobodyAnswersDoNotHangThePage) {
  vqtest::WendleRoot env;
  const std::string out = env.root().At("/out.txt");
  ASSERT_EQ(RunTo(out, {VQREGSVR_PATH, "/s", WENDLE_LIBRARY_PATH}), 0);
  ::setenv("VQ_UI_LOG", env.UiLogPath().c_str(), 1);
  EXPECT_EQ(RunTo(out, {VQPAGE_PATH, "-e", "Connect()", "-e", "SetClientAuthFlag(1)"}), 0);
  ::unsetenv("VQ_UI_LOG");
  EXPECT_EQ(vqtest::ReadFileBytes(out), "Connect() = -1\nSetClientAuthFlag(1)\n");
  EXPECT_NE(vqtest::ReadFileBytes(env.UiLogPath()).find("The control hasn't been initialized"), std::string::npos);
}

TEST(VqpageTest, ThePageStartsTheClientApplication) {
  vqtest::WendleRoot env;
  env.InstallFakeClient();
  // The client program itself (without a display) in place of the fake.
  const std::string client = env.root().At(std::string(vqtest::kClientHome) + "/bin/Marrowlantern");
  std::filesystem::copy_file(CLIENT_HEADLESS_PATH, client, std::filesystem::copy_options::overwrite_existing);
  const std::string out = env.root().At("/out.txt");
  ASSERT_EQ(RunTo(out, {VQREGSVR_PATH, "/s", WENDLE_LIBRARY_PATH}), 0);
  EXPECT_EQ(RunTo(out, {VQPAGE_PATH, "-e", "Init(\"10.123.0.1\",\"443\",\"alice\",\"S1\")", "-e", "Connect()"}), 0);
  EXPECT_EQ(vqtest::ReadFileBytes(out), "Init(\"10.123.0.1\",\"443\",\"alice\",\"S1\") = 0\nConnect() = 0\n");
  ASSERT_TRUE(vqtest::Eventually([] { return platform::InstanceLock::IsHeld("Global\\VardenlowMarrowlantern"); }))
      << vqtest::ReadLogText();
  // The client takes its lock before it logs its start.
  EXPECT_TRUE(vqtest::Eventually([] { return vqtest::ReadLogText().find("Marrowlantern started") != std::string::npos; }));
  const std::vector<pid_t> pids = vqtest::ProcessesOf(std::filesystem::canonical(client).string());
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_NE(::getppid(), pids[0]);
  ::kill(pids[0], SIGTERM);
  EXPECT_TRUE(vqtest::Eventually([] { return !platform::InstanceLock::IsHeld("Global\\VardenlowMarrowlantern"); }));
}

}  // namespace
