// The process snapshot: which name each process is known by, and when the
// snapshot as a whole fails.
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
  const char* expected;
};

class ProcessSnapshotNameTest : public ::testing::TestWithParam<NameCase> {
 protected:
  vqtest::TempRoot root_;
};

TEST_P(ProcessSnapshotNameTest, NamesTheProcessByItsExecutable) {
  vqtest::FakeProcRoot fake(root_.At("/proc"));
  fake.Add(42, GetParam().process);
  const auto snapshot = proc::TakeProcessSnapshot(fake.dir());
  ASSERT_TRUE(snapshot.has_value());
  ASSERT_EQ(snapshot->size(), 1u);
  EXPECT_EQ((*snapshot)[0].pid, 42);
  EXPECT_EQ((*snapshot)[0].exeFile, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ProcessSnapshotNameTest,
    ::testing::Values(
        // The exe link wins over a rewritten argv[0] and the cut kernel name.
        NameCase{"ExeLinkFirst", {"/usr/lib/av/scanner-daemon-service", "worker: idle", "scanner-daemon-"},
                 "scanner-daemon-service"},
        NameCase{"DeletedSuffixDropped", {"/tmp/updated-agent.bin (deleted)", "x", "updated-agent.b"},
                 "updated-agent.bin"},
        // Without the link (another user's process), argv[0]'s base name,
        // not the 15-character kernel name.
        NameCase{"Argv0WhenNoExeLink", {std::nullopt, "/opt/av/realtime-protection-host", "realtime-protec"},
                 "realtime-protection-host"},
        NameCase{"Argv0WithoutFolder", {std::nullopt, "agentd", "agentd"}, "agentd"},
        // Kernel threads have neither.
        NameCase{"CommLast", {std::nullopt, "", "kworker/0:1"}, "kworker/0:1"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

TEST(ProcessSnapshotTest, SkipsOtherEntriesAndSortsByPid) {
  vqtest::TempRoot root;
  vqtest::FakeProcRoot fake(root.At("/proc"));
  fake.AddNamed(300, "c.exe");
  fake.AddNamed(7, "a.exe");
  fake.AddNamed(20, "b.exe");
  std::filesystem::create_directories(fake.dir() + "/sys");
  std::filesystem::create_directories(fake.dir() + "/12x");
  std::filesystem::create_directories(fake.dir() + "/55");  // ended while listed
  std::filesystem::create_directory_symlink("7", fake.dir() + "/self");
  const auto snapshot = proc::TakeProcessSnapshot(fake.dir());
  ASSERT_TRUE(snapshot.has_value());
  ASSERT_EQ(snapshot->size(), 3u);
  EXPECT_EQ((*snapshot)[0].exeFile, "a.exe");
  EXPECT_EQ((*snapshot)[1].exeFile, "b.exe");
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
  bool found = false;
  for (const auto& p : *snapshot) found = found || (p.pid == ::getpid() && p.exeFile == self);
  EXPECT_TRUE(found) << self;
}

}  // namespace
