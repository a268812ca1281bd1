// The process snapshot: which names each process is known by, whose it is,
// and when the snapshot as a whole fails.
#include "platform/process/process_snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/fake_proc_root.h"
#include "common/temp_root.h"

namespace proc = platform::process;

namespace {

struct NameCase {
  const char* label;
  vqtest::FakeProcess process;
  const char* exeFile;
  const char* program;
};

class ProcessSnapshotNameTest : public ::testing::TestWithParam<NameCase> {
 protected:
  vqtest::TempRoot root_;
};

TEST_P(ProcessSnapshotNameTest, NamesTheProcessByItsExecutableAndByArgv0) {
  vqtest::FakeProcRoot fake(root_.At("/proc"));
  fake.Add(42, GetParam().process);
  const auto snapshot = proc::TakeProcessSnapshot(fake.dir());
  ASSERT_TRUE(snapshot.has_value());
  ASSERT_EQ(snapshot->size(), 1u);
  EXPECT_EQ((*snapshot)[0].pid, 42);
  EXPECT_EQ((*snapshot)[0].exeFile, GetParam().exeFile);
  EXPECT_EQ((*snapshot)[0].program, GetParam().program);
  EXPECT_EQ((*snapshot)[0].comm, GetParam().process.comm.value_or(""));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ProcessSnapshotNameTest,
    ::testing::Values(
        // The exe link wins over a rewritten argv[0] and the cut kernel name;
        // the program keeps the name it was started under.
        NameCase{"ExeLinkFirst",
                 {"/usr/lib/av/scanner-daemon-service", "worker: idle", "scanner-daemon-", std::nullopt},
                 "scanner-daemon-service", "worker: idle"},
        NameCase{"DeletedSuffixDropped", {"/tmp/updated-agent.bin (deleted)", "x", "updated-agent.b", std::nullopt},
                 "updated-agent.bin", "x"},
        // An interpreted program: its exe is the interpreter, argv[0] names it.
        NameCase{"InterpreterExe",
                 {"/usr/bin/python3.11", "/usr/libexec/budgie-desktop-shell", "budgie-desktop-", std::nullopt},
                 "python3.11", "budgie-desktop-shell"},
        // Without the link (another user's process), argv[0]'s base name,
        // not the 15-character kernel name.
        NameCase{"Argv0WhenNoExeLink",
                 {std::nullopt, "/opt/av/realtime-protection-host", "realtime-protec", std::nullopt},
                 "realtime-protection-host", "realtime-protection-host"},
        NameCase{"Argv0WithoutFolder", {std::nullopt, "agentd", "agentd", std::nullopt}, "agentd", "agentd"},
        // Kernel threads have neither; an empty argv[0] counts as none.
        NameCase{"CommLast", {std::nullopt, std::nullopt, "kworker/0:1", std::nullopt}, "kworker/0:1", "kworker/0:1"},
        NameCase{"EmptyArgv0", {std::nullopt, "", "kthreadd", std::nullopt}, "kthreadd", "kthreadd"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

TEST(ProcessSnapshotTest, SkipsOtherEntriesSortsByPidAndReadsOwners) {
  vqtest::TempRoot root;
  vqtest::FakeProcRoot fake(root.At("/proc"));
  fake.AddNamed(300, "c.exe");
  fake.AddNamed(7, "a.exe");
  fake.Add(20, {std::nullopt, "/bin/bash", "bash", 1000});
  std::filesystem::create_directories(fake.dir() + "/sys");
  std::filesystem::create_directories(fake.dir() + "/12x");
  std::filesystem::create_directories(fake.dir() + "/55");  // ended while listed
  std::filesystem::create_directory_symlink("7", fake.dir() + "/self");
  const auto snapshot = proc::TakeProcessSnapshot(fake.dir());
  ASSERT_TRUE(snapshot.has_value());
  ASSERT_EQ(snapshot->size(), 3u);
  EXPECT_EQ((*snapshot)[0].exeFile, "a.exe");
  EXPECT_EQ((*snapshot)[0].uid, std::nullopt);  // no status: owner unknown, still listed
  EXPECT_EQ((*snapshot)[1].pid, 20);
  EXPECT_EQ((*snapshot)[1].exeFile, "bash");
  EXPECT_EQ((*snapshot)[1].uid, 1000u);  // the real uid, not the effective one
  EXPECT_EQ((*snapshot)[2].exeFile, "c.exe");
  EXPECT_EQ((*snapshot)[2].pid, 300);
}

TEST(ProcessSnapshotTest, FailsWhenTheRootCannotBeListed) {
  vqtest::TempRoot root;
  EXPECT_FALSE(proc::TakeProcessSnapshot(root.At("/missing")).has_value());
  vqtest::WriteFileBytes(root.At("/plain-file"), "x");
  EXPECT_FALSE(proc::TakeProcessSnapshot(root.At("/plain-file")).has_value());
}

TEST(ProcessSnapshotTest, RealProcHoldsThisProcess) {
  const auto snapshot = proc::TakeProcessSnapshot();
  ASSERT_TRUE(snapshot.has_value());
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const proc::ProcessImage* me = nullptr;
  for (const auto& p : *snapshot)
    if (p.pid == ::getpid()) me = &p;
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(me->exeFile, self);
  EXPECT_EQ(me->program, self);  // started by its own path
  EXPECT_EQ(me->comm, self.substr(0, 15));
  EXPECT_EQ(me->uid, ::getuid());
}

}  // namespace
