#include "support/tcpip_restore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/registry_value.h"

namespace {

namespace reg = platform::registry;

constexpr char kInterfaces[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{TEST}";

class TcpipRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VQ_REGEDIT", VQREGEDIT_PATH, 1);
    std::filesystem::create_directories(std::filesystem::path(TcpipRestoreFilePath()).parent_path());
  }
  void TearDown() override { ::unsetenv("VQ_REGEDIT"); }

  static uint32_t Put(const std::string& text) {
    reg::Key key;
    if (uint32_t err = reg::Key::Create(reg::HKEY_LOCAL_MACHINE, kInterfaces, reg::Access::Write, key)) return err;
    return key.SetValue("NameServer", reg::REG_SZ, RegSzBytes(text));
  }
  static std::string Get() {
    reg::Key key;
    std::vector<uint8_t> data;
    if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kInterfaces, reg::Access::Read, key) != 0 ||
        key.QueryValue("NameServer", nullptr, &data) != 0) {
      return "<none>";
    }
    return RegSzText(data);
  }

  vqtest::TempRoot root_;
};

TEST_F(TcpipRestoreTest, ExportThenImportBringsTheSettingsBack) {
  EXPECT_EQ(TcpipRestoreFilePath(), root_.At("/opt/Vardenlow/Vardenlow Marrowlantern/Restore.reg"));
  ASSERT_EQ(Put("10.0.0.53"), platform::ERROR_SUCCESS);
  ASSERT_NE(RestoreTcpipInterfaces(0), 0);
  EXPECT_TRUE(std::filesystem::exists(TcpipRestoreFilePath()));

  ASSERT_EQ(Put("192.0.2.1"), platform::ERROR_SUCCESS);
  ASSERT_NE(RestoreTcpipInterfaces(1), 0);
  EXPECT_EQ(Get(), "10.0.0.53");
}

TEST_F(TcpipRestoreTest, FailuresGiveZero) {
  // Nothing exported yet.
  EXPECT_EQ(RestoreTcpipInterfaces(1), 0);
  ::setenv("VQ_REGEDIT", root_.At("/no-such-tool").c_str(), 1);
  EXPECT_EQ(RestoreTcpipInterfaces(0), 0);
}

}  // namespace
