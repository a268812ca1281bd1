// Option -d: the adapter's connection key goes with everything below it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Brindleway/service/brindleway.h"
#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"

namespace reg = platform::registry;

namespace {

const std::string kClass =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kGuid = "{11111111-2222-3333-4444-555555555555}";
const std::string kOther = "{99999999-2222-3333-4444-555555555555}";

class RemoveAdapterKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& path : {kClass + "\\" + kGuid + "\\Connection",
                                    kClass + "\\" + kGuid + "\\Extra\\Deeper\\Deepest",
                                    kClass + "\\" + kGuid + "\\Extra\\Second", kClass + "\\" + kOther}) {
      reg::Key key;
      ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, path, reg::Access::Write, key), platform::ERROR_SUCCESS);
      ASSERT_EQ(key.SetValue("Name", reg::REG_BINARY, {{1}}), platform::ERROR_SUCCESS);
    }
  }

  static bool Exists(const std::string& path) {
    reg::Key key;
    return reg::Key::Open(reg::HKEY_LOCAL_MACHINE, path, reg::Access::Read, key) == platform::ERROR_SUCCESS;
  }

  vqtest::TempRoot root_;
};

TEST_F(RemoveAdapterKeyTest, DeletesTheWholeTreeAndNothingElse) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(brindleway::RemoveAdapterConnectionKeyFor(kGuid), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Success!\n");
  EXPECT_FALSE(Exists(kClass + "\\" + kGuid));
  EXPECT_TRUE(Exists(kClass + "\\" + kOther));
}

TEST_F(RemoveAdapterKeyTest, AMissingKeyCountsAsDeleted) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(brindleway::RemoveAdapterConnectionKeyFor("{00000000-0000-0000-0000-000000000000}"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Key not found.\nSuccess!\n");
}

TEST_F(RemoveAdapterKeyTest, AGuidThatNamesNoSingleKeyFails) {
  for (const std::string& guid : {std::string(), std::string("..\\..")}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(brindleway::RemoveAdapterConnectionKeyFor(guid), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failure.\n");
  }
  EXPECT_TRUE(Exists(kClass));
}

TEST_F(RemoveAdapterKeyTest, WithoutAnAdapterNothingHappens) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(brindleway::RemoveAdapterConnectionKey(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(Exists(kClass + "\\" + kGuid));
}

// A subkey that cannot be deleted ends the delete with a failure; it must not
// be enumerated again and again.
TEST_F(RemoveAdapterKeyTest, AnUndeletableSubkeyStopsTheDelete) {
  reg::Key readOnly;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kClass, reg::Access::Read, readOnly),
            platform::ERROR_SUCCESS);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(brindleway::DeleteRegistryTree(readOnly, kGuid));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Exists(kClass + "\\" + kGuid));
}

TEST_F(RemoveAdapterKeyTest, AnotherUserCannotDeleteTheMachineKey) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
  const int result = vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, [] {
    testing::internal::CaptureStdout();
    const int r = brindleway::RemoveAdapterConnectionKeyFor(kGuid);
    const std::string out = testing::internal::GetCapturedStdout();
    return r == -1 && out == "Error opening key.\nFailure.\n" ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(Exists(kClass + "\\" + kGuid + "\\Extra\\Deeper\\Deepest"));
}

}  // namespace
