#include "support/registry_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log_reader.h"
#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_value.h"

namespace reg = platform::registry;

namespace {

std::vector<uint8_t> B(std::initializer_list<uint8_t> b) { return b; }

class RegistryHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  // Sets a raw value under the settings key of root.
  void Put(reg::RootKey root, const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(root, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(name, type, data), platform::ERROR_SUCCESS);
  }

  vqtest::TempRoot root_;
};

TEST_F(RegistryHelpersTest, ReadResultsTable) {
  std::string out = "stale";
  uint32_t size = 64;
  EXPECT_EQ(RegReadProductValue("ProductVer", out, size), -1);  // no key yet

  Put(reg::HKEY_LOCAL_MACHINE, "Eleven", reg::REG_SZ, RegSzBytes("abcdefghijk", false));
  Put(reg::HKEY_LOCAL_MACHINE, "Dword", reg::REG_DWORD, RegDwordBytes(1));
  Put(reg::HKEY_LOCAL_MACHINE, "Expand", reg::REG_EXPAND_SZ, RegSzBytes("x", true));
  Put(reg::HKEY_LOCAL_MACHINE, "Long", reg::REG_SZ, RegSzBytes(std::string(256, 'x'), true));

  struct Case {
    const char* name;
    uint32_t capacity;
    int result;
    uint32_t sizeAfter;
    std::string text;
  };
  const Case cases[] = {
      {"Missing", 64, -2, 64, "stale"},
      {"Dword", 64, -2, 64, "stale"},
      {"Expand", 64, -2, 64, "stale"},
      {"Long", 1024, -2, 1024, "stale"},  // more than the 512-byte read buffer
      {"Eleven", 12, -3, 12, "stale"},
      {"Eleven", 13, 0, 12, "abcdefghijk"},
      {"ELEVEN", 200, 0, 12, "abcdefghijk"},
  };
  for (const Case& c : cases) {
    out = "stale";
    size = c.capacity;
    EXPECT_EQ(RegReadProductValue(c.name, out, size), c.result) << c.name << " " << c.capacity;
    EXPECT_EQ(size, c.sizeAfter) << c.name;
    EXPECT_EQ(out, c.text) << c.name;
  }
}

// Stored strings are read by their length: no terminator, an odd byte or
// data after a NUL never leak into the text.
TEST_F(RegistryHelpersTest, StringsAreReadByTheirLength) {
  Put(reg::HKEY_LOCAL_MACHINE, "NoTerminator", reg::REG_SZ, B({'a', 0, 'b', 0}));
  Put(reg::HKEY_LOCAL_MACHINE, "OddByte", reg::REG_SZ, B({'a', 0, 'b'}));
  Put(reg::HKEY_LOCAL_MACHINE, "AfterNul", reg::REG_SZ, B({'a', 0, 0, 0, 'z', 0}));
  Put(reg::HKEY_LOCAL_MACHINE, "Empty", reg::REG_SZ, {});
  const std::pair<const char*, std::string> cases[] = {
      {"NoTerminator", "ab"}, {"OddByte", "a"}, {"AfterNul", "a"}, {"Empty", ""}};
  for (const auto& [name, text] : cases) {
    std::string out;
    uint32_t size = 100;
    ASSERT_EQ(RegReadProductValue(name, out, size), 0) << name;
    EXPECT_EQ(out, text) << name;
    EXPECT_EQ(size, text.size() + 1) << name;
  }
}

TEST(RegistryValueTest, MultiStringsAreParsedByLengthOnly) {
  const std::vector<std::string> two = {"one", "two"};
  EXPECT_EQ(RegMultiSzStrings(RegMultiSzBytes(two)), two);
  // No final terminators at all, and a last string cut short by the data.
  EXPECT_EQ(RegMultiSzStrings(B({'a', 0, 0, 0, 'b', 0})), (std::vector<std::string>{"a", "b"}));
  // What follows the empty string that ends the list is not part of it.
  EXPECT_EQ(RegMultiSzStrings(B({'a', 0, 0, 0, 0, 0, 'x', 0, 0, 0})), (std::vector<std::string>{"a"}));
  EXPECT_EQ(RegMultiSzStrings(B({'a', 0, 'b'})), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(RegMultiSzStrings({}).empty());
  EXPECT_EQ(RegMultiSzBytes({}), B({0, 0}));
  EXPECT_EQ(RegDwordValue(B({1, 0, 0})), std::nullopt);
  EXPECT_EQ(RegDwordValue(RegDwordBytes(0x01020304)), 0x01020304u);
}

TEST_F(RegistryHelpersTest, WriteReadDeleteRoundTrip) {
  ASSERT_EQ(RegWriteProductValue("ThimblesetUrl", "https://gw.example/\xE4\xB8\xAD"), 0);
  reg::Key key;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Read, key),
            platform::ERROR_SUCCESS);
  std::vector<uint8_t> data;
  uint32_t type = 0;
  ASSERT_EQ(key.QueryValue("ThimblesetUrl", &type, &data), platform::ERROR_SUCCESS);
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(data, RegSzBytes("https://gw.example/\xE4\xB8\xAD", false));  // no terminator stored

  std::string out;
  uint32_t size = 100;
  ASSERT_EQ(RegReadProductValue("thimblesetURL", out, size), 0);
  EXPECT_EQ(out, "https://gw.example/\xE4\xB8\xAD");
  EXPECT_EQ(RegWriteProductValue("ThimblesetUrl", "second"), 0);
  size = 100;
  ASSERT_EQ(RegReadProductValue("ThimblesetUrl", out, size), 0);
  EXPECT_EQ(out, "second");

  EXPECT_EQ(RegDeleteProductValue("ThimblesetUrl"), 0);
  EXPECT_EQ(RegDeleteProductValue("ThimblesetUrl"), -1);
  size = 100;
  EXPECT_EQ(RegReadProductValue("ThimblesetUrl", out, size), -2);
}

TEST_F(RegistryHelpersTest, UserTwinsUseTheUserHiveAndFailWithMinusOne) {
  const char* sub = "Software\\Tarnwickgate\\Tarnwickgate Marrowlantern";
  std::string out;
  uint32_t size = 100;
  EXPECT_EQ(RegReadUserValue(sub, "CertName", out, size), -1);  // no key
  ASSERT_EQ(RegWriteUserValue(sub, "CertName", "user cert"), 0);
  size = 100;
  ASSERT_EQ(RegReadUserValue(sub, "CertName", out, size), 0);
  EXPECT_EQ(out, "user cert");
  size = 5;
  EXPECT_EQ(RegReadUserValue(sub, "CertName", out, size), -1);  // capacity
  EXPECT_EQ(RegReadUserValue(sub, "Other", out, size), -1);     // value
  size = 100;
  EXPECT_EQ(RegReadProductValue("CertName", out, size), -1);    // not in the machine hive
  EXPECT_EQ(RegDeleteUserValue(sub, "CertName"), 0);
  EXPECT_EQ(RegDeleteUserValue(sub, "CertName"), -1);
}

TEST_F(RegistryHelpersTest, GeneralReaderAndWriterReturnAndLogTheirCodes) {
  const char* sub = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{X}";
  const std::vector<uint8_t> servers = RegSzBytes("10.0.0.1,10.0.0.2", true);
  EXPECT_EQ(RegWriteValue(reg::HKEY_LOCAL_MACHINE, sub, "NameServer", reg::REG_SZ, servers),
            platform::ERROR_FILE_NOT_FOUND);  // the key must exist
  std::vector<uint8_t> data;
  EXPECT_EQ(RegReadValue(reg::HKEY_LOCAL_MACHINE, sub, "NameServer", nullptr, data),
            platform::ERROR_FILE_NOT_FOUND);

  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, sub, reg::Access::Write, key), platform::ERROR_SUCCESS);
  EXPECT_EQ(RegReadValue(reg::HKEY_LOCAL_MACHINE, sub, "NameServer", nullptr, data),
            platform::ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegWriteValue(reg::HKEY_LOCAL_MACHINE, sub, "NameServer", reg::REG_SZ, servers),
            platform::ERROR_SUCCESS);
  uint32_t type = 0;
  ASSERT_EQ(RegReadValue(reg::HKEY_LOCAL_MACHINE, sub, "nameserver", &type, data), platform::ERROR_SUCCESS);
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(data, servers);

  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find(std::string("Error 2 in opening subkey ") + sub), std::string::npos) << log;
  EXPECT_NE(log.find("Error 2 in querying value of NameServer."), std::string::npos) << log;
}

TEST_F(RegistryHelpersTest, OtherUsersCannotChangeTheMachineSettings) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", "/opt/tarnwickgate"), 0);
  ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
  const int result = vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, [] {
    if (RegWriteProductValue("QIMBO_HOME", "/tmp/evil") != -1) return 1;
    if (RegWriteProductValue("NewValue", "x") != -1) return 2;
    if (RegDeleteProductValue("QIMBO_HOME") != -1) return 3;
    std::string out;
    uint32_t size = 100;
    if (RegReadProductValue("QIMBO_HOME", out, size) != 0 || out != "/opt/tarnwickgate") return 4;
    return 0;
  });
  EXPECT_EQ(result, 0);
  std::string out;
  uint32_t size = 100;
  ASSERT_EQ(RegReadProductValue("QIMBO_HOME", out, size), 0);
  EXPECT_EQ(out, "/opt/tarnwickgate");
}

}  // namespace
