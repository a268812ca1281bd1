// The page program end to end: the control registered with vqregsvr,
// created by ProgID in vqpage, starting a fake client program.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "Wendle/wendle_fixture.h"
#include "common/child_process.h"

namespace {

// Runs a program of the build with its standard output in a file; the
// exit status.
int RunTo(const std::string& out, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$VQ_TEST_OUT\""});
  ::setenv("VQ_TEST_OUT", out.c_str(), 1);
  const int rc = vqtest::RunProgram(argv, 60000);
  ::unsetenv("VQ_TEST_OUT");
  return rc;
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

}  // namespace
