// The script runner with the test interpreter: exit codes, the time limit
// and the cancel with the whole process group killed, the exact argv and
// the minimal environment, and the switch to another user (root only).
#include "platform/process/script_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "common/eventually.h"
#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/process/user_context.h"
#include "platform/sync/event.h"

namespace platform::process {
namespace {

// Gone, or a zombie nobody reaps (an orphan in a container without init).
bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

class ScriptRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.At("/work");
    ::mkdir(dir_.c_str(), 0755);
    // Another user must reach the folder and the interpreter.
    ::chmod(root_.path().c_str(), 0755);
    me_.uid = ::geteuid();
    me_.gid = ::getegid();
    me_.name = "me";
    me_.home = root_.At("/home");
  }

  ScriptCommand Command(const std::string& script) {
    vqtest::WriteFileBytes(dir_ + "/script.vbs", script);
    return ScriptCommand{SCRIPT_TEST_INTERPRETER_PATH, {"script.vbs", "result.data", "log.txt", "//e:vbs"}, dir_};
  }
  std::string Result() { return vqtest::ReadFileBytes(dir_ + "/result.data"); }

  vqtest::TempRoot root_;
  std::string dir_;
  UserContext me_;
};

TEST_F(ScriptRunnerTest, ExitCodesAndTheTimeLimit) {
  struct Case {
    const char* name;
    std::string script;
    int limitMs;
    ScriptEnd end;
    int exitCode;
  };
  const Case cases[] = {
      {"exit 0", "result ok\nexit 0\n", 10000, ScriptEnd::Exited, 0},
      {"end of script", "result ok\n", 10000, ScriptEnd::Exited, 0},
      {"exit 3", "exit 3\n", 10000, ScriptEnd::Exited, 3},
      {"over time", "sleep 20000\n", 300, ScriptEnd::TimedOut, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto started = std::chrono::steady_clock::now();
    const ScriptOutcome outcome = RunScriptAs(Command(c.script), me_, c.limitMs, nullptr);
    EXPECT_EQ(outcome.end, c.end);
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    ASSERT_GT(outcome.pid, 0);
    EXPECT_TRUE(ProcessGone(outcome.pid));
    EXPECT_LT(vqtest::MsSince(started), 10000);
  }
}

TEST_F(ScriptRunnerTest, TimeOutAndCancelKillTheWholeProcessGroup) {
  for (const bool viaCancel : {false, true}) {
    SCOPED_TRACE(viaCancel ? "cancel" : "time-out");
    std::remove((dir_ + "/result.data").c_str());
    Event cancel(Event::Reset::Manual);
    std::thread setter;
    // The end comes once the grandchild exists (a loaded machine may take a
    // while to start it), so that there is a group to kill.
    if (viaCancel) {
      setter = std::thread([this, &cancel] {
        vqtest::Eventually([this] { return Result().rfind("child=", 0) == 0; });
        cancel.Set();
      });
    }
    const ScriptOutcome outcome =
        RunScriptAs(Command("spawn-sleep 30000\nsleep 30000\n"), me_, viaCancel ? -1 : 3000, &cancel);
    if (setter.joinable()) setter.join();
    EXPECT_EQ(outcome.end, viaCancel ? ScriptEnd::Cancelled : ScriptEnd::TimedOut);
    EXPECT_TRUE(ProcessGone(outcome.pid));
    const std::string result = Result();
    ASSERT_EQ(result.rfind("child=", 0), 0u) << result;
    const pid_t child = std::stoi(result.substr(6));
    EXPECT_TRUE(vqtest::Eventually([&] { return ProcessGone(child); }));
  }
}

TEST_F(ScriptRunnerTest, ExactArgumentsOwnGroupAndAMinimalEnvironment) {
  ::setenv("VQ_SECRET_OF_THE_SERVICE", "x", 1);
  const ScriptOutcome outcome = RunScriptAs(Command("argv\nenv\nidentity\ncwd\n"), me_, 10000, nullptr);
  ::unsetenv("VQ_SECRET_OF_THE_SERVICE");
  ASSERT_EQ(outcome.end, ScriptEnd::Exited);
  EXPECT_EQ(outcome.exitCode, 0);
  std::istringstream lines(Result());
  std::string argv, env, identity, cwd;
  std::getline(lines, argv);
  std::getline(lines, env);
  std::getline(lines, identity);
  std::getline(lines, cwd);
  EXPECT_EQ(argv, "script.vbs|result.data|log.txt|//e:vbs|");
  EXPECT_EQ(env, "HOME,LOGNAME,PATH,USER");
  EXPECT_NE(identity.find("pgid-self=1"), std::string::npos) << identity;
  EXPECT_EQ(cwd, dir_);
}

TEST_F(ScriptRunnerTest, RunsAsTheTargetUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  const std::optional<UserContext> nobody = LookupUser(vqtest::kNobodyUid);
  ASSERT_TRUE(nobody.has_value());
  // The folder is root's; only the result file is the user's to write.
  vqtest::WriteFileBytes(dir_ + "/result.data", "");
  ASSERT_EQ(::chown((dir_ + "/result.data").c_str(), nobody->uid, nobody->gid), 0);
  const ScriptOutcome outcome = RunScriptAs(Command("identity\nargv\n"), *nobody, 10000, nullptr);
  ASSERT_EQ(outcome.end, ScriptEnd::Exited) << outcome.failure;
  EXPECT_EQ(outcome.exitCode, 0);
  const std::string id = std::to_string(vqtest::kNobodyUid);
  const std::string gid = std::to_string(nobody->gid);
  EXPECT_EQ(Result(), "uid=" + id + " euid=" + id + " gid=" + gid + " egid=" + gid + " groups=" + gid +
                          " pgid-self=1\nscript.vbs|result.data|log.txt|//e:vbs|\n");
}

TEST_F(ScriptRunnerTest, WhatCannotStartIsReported) {
  ScriptCommand missing = Command("exit 0\n");
  missing.program = dir_ + "/no-such-interpreter";
  EXPECT_EQ(RunScriptAs(missing, me_, 1000, nullptr).end, ScriptEnd::NotStarted);

  ScriptCommand noFolder = Command("exit 0\n");
  noFolder.workDir = dir_ + "/absent";
  const ScriptOutcome outcome = RunScriptAs(noFolder, me_, 1000, nullptr);
  EXPECT_EQ(outcome.end, ScriptEnd::NotStarted);
  EXPECT_EQ(outcome.failure.rfind("chdir", 0), 0u) << outcome.failure;
  EXPECT_TRUE(ProcessGone(outcome.pid));
}

TEST(ResolveProgram, BareNamesComeFromTheFixedPath) {
  EXPECT_EQ(ResolveProgram("sh"), ::access("/usr/local/bin/sh", X_OK) == 0 ? "/usr/local/bin/sh"
                                  : ::access("/usr/bin/sh", X_OK) == 0   ? "/usr/bin/sh"
                                                                          : "/bin/sh");
  EXPECT_EQ(ResolveProgram("/bin/sh"), "/bin/sh");
  EXPECT_EQ(ResolveProgram("no-such-program-anywhere"), "");
  EXPECT_EQ(ResolveProgram(""), "");
}

}  // namespace
}  // namespace platform::process
