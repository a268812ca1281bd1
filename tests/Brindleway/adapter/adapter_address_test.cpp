// DNS servers, binding order and WINS servers of the tunnel interface, and
// the text replacement the binding order is edited with.
#include "Brindleway/adapter/adapter_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/wins_servers.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/net_adapter.h"
#include "support/registry_value.h"

namespace {

namespace reg = platform::registry;
using brindleway::ReplaceAllText;

constexpr char kGuid[] = "{11111111-2222-3333-4444-555555555555}";

uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

TEST(ReplaceAllTextTest, Table) {
  struct Case {
    std::string text;
    std::string pattern;
    std::string replacement;
    int result;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"a-b-c", "-", "+", 0, "a+b+c"},
      {"aaaa", "aa", "b", 0, "bb"},
      {"abc", "b", "", 0, "ac"},
      {"abc", "x", "y", -1, "abc"},
      {"abc", "", "y", -1, "abc"},  // an empty pattern fails instead of looping
      // The replacement holds the pattern: the search goes on after it.
      {"xax", "a", "aa", 0, "xaax"},
      {"", "a", "b", -1, ""},
      {"\\Device\\{A}\n\\Device\\{B}", "\\Device\\{A}\n", "", 0, "\\Device\\{B}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.pattern);
    std::string text = c.text;
    EXPECT_EQ(ReplaceAllText(text, c.pattern, c.replacement), c.result);
    EXPECT_EQ(text, c.after);
  }
}

TEST(ReplaceAllTextTest, AResultTooLongLeavesTheTextAlone) {
  const size_t limit = brindleway::kReplaceTextUnits;
  std::string text(limit / 2, 'a');
  EXPECT_EQ(ReplaceAllText(text, "a", "bb"), 0);  // exactly the limit
  EXPECT_EQ(text.size(), limit);
  text = std::string(limit / 2, 'a') + "a";
  const std::string before = text;
  EXPECT_EQ(ReplaceAllText(text, "a", "bb"), -2);
  EXPECT_EQ(text, before);
  // Units, not bytes: three-byte characters count one each.
  text = std::string(limit / 2, 'a');
  EXPECT_EQ(ReplaceAllText(text, "a", "\xE2\x82\xAC\xE2\x82\xAC"), 0);
}

class AdapterAddressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, std::string(kAdapterClassKey) + "\\0000", reg::Access::Write,
                               key),
              0u);
    ASSERT_EQ(key.SetValue("ComponentId", reg::REG_SZ, RegSzBytes("vqsvc")), 0u);
    ASSERT_EQ(key.SetValue("NetCfgInstanceId", reg::REG_SZ, RegSzBytes(kGuid)), 0u);
    tun_.connectionName = "vqtun0";
    tun_.adapterGuid = kGuid;
    std::filesystem::create_directories(root_.At("/etc"));
  }
  void TearDown() override { LogCleanup(); }

  static void PutBind(const std::vector<std::string>& strings) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, reg::Access::Write, key), 0u);
    ASSERT_EQ(key.SetValue("Bind", reg::REG_MULTI_SZ, RegMultiSzBytes(strings)), 0u);
  }
  static std::vector<std::string> GetBind() {
    reg::Key key;
    std::vector<uint8_t> data;
    EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, reg::Access::Read, key), 0u);
    EXPECT_EQ(key.QueryValue("Bind", nullptr, &data), 0u);
    return RegMultiSzStrings(data);
  }

  vqtest::TempRoot root_;
  brindleway::TunDevice tun_;
};

TEST_F(AdapterAddressTest, BindingOrder) {
  const std::string g = std::string("\\Device\\") + kGuid;
  const std::string x = "\\Device\\{X}";
  const std::string y = "\\Device\\{Y}";
  using V = std::vector<std::string>;
  struct Case {
    const char* what;
    V before;
    int remove;
    V after;
  };
  for (const Case& c : {Case{"middle to the front", {x, g, y}, 0, {g, x, y}},
                        Case{"last line to the front", {x, g}, 0, {g, x}},
                        Case{"absent, put in front", {x, y}, 0, {g, x, y}},
                        Case{"already first", {g, x}, 0, {g, x}},
                        Case{"taken out of the middle", {x, g, y}, 1, {x, y}},
                        Case{"taken out as the last line", {x, g}, 1, {x}},
                        Case{"twice, both go", {g, x, g}, 1, {x}}}) {
    SCOPED_TRACE(c.what);
    PutBind(c.before);
    EXPECT_EQ(brindleway::ChangeChannelDNSPri(c.remove), 0);
    EXPECT_EQ(GetBind(), c.after);
  }
}

TEST_F(AdapterAddressTest, BindingOrderWithoutBind) {
  EXPECT_EQ(brindleway::ChangeChannelDNSPri(0), -1);
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("Change ChannelDNSPri Error: ChgRegDNSPri()"), std::string::npos);
}

TEST_F(AdapterAddressTest, DnsServersAreRecordedAppliedAndTakenBack) {
  const std::string key = std::string("SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\") + kGuid;
  reg::Key interfaceKey;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, key, reg::Access::Write, interfaceKey), 0u);
  const std::string original = "nameserver 192.0.2.53\n";
  vqtest::WriteFileBytes(platform::net::ResolvConfPath(), original);

  const uint32_t servers[] = {A("10.0.0.1"), A("10.0.0.2")};
  ASSERT_EQ(brindleway::SetDnsServersRegistry(&tun_, servers), 0);
  EXPECT_TRUE(tun_.dnsServersSet);

  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(interfaceKey.QueryValue("NameServer", &type, &data), 0u);
  EXPECT_EQ(type, reg::REG_SZ);
  std::vector<uint8_t> expected = RegSzBytes("10.0.0.1,10.0.0.2", false);
  expected.resize((16 * 2 + 2) * 2, 0);
  EXPECT_EQ(data, expected);

  const std::string applied = vqtest::ReadFileBytes(platform::net::ResolvConfPath());
  EXPECT_LT(applied.find("nameserver 10.0.0.1\n"), applied.find("nameserver 192.0.2.53\n"));

  EXPECT_EQ(brindleway::RestoreDnsServers(&tun_), 0u);
  EXPECT_FALSE(tun_.dnsServersSet);
  EXPECT_EQ(vqtest::ReadFileBytes(platform::net::ResolvConfPath()), original);
  EXPECT_EQ(brindleway::SetDnsServersRegistry(nullptr, servers), -1);
}

TEST_F(AdapterAddressTest, TheCloseTakesTheServersBack) {
  const std::string original = "nameserver 192.0.2.53\n";
  vqtest::WriteFileBytes(platform::net::ResolvConfPath(), original);
  auto tun = std::make_unique<brindleway::TunDevice>();
  tun->connectionName = "vqtun0";
  tun->adapterGuid = kGuid;
  const uint32_t servers[] = {A("10.0.0.1")};
  // No TCP/IP key for the adapter: the record fails, the servers still apply.
  EXPECT_EQ(brindleway::SetDnsServersRegistry(tun.get(), servers), static_cast<int>(platform::ERROR_FILE_NOT_FOUND));
  EXPECT_NE(vqtest::ReadFileBytes(platform::net::ResolvConfPath()), original);
  brindleway::CloseTunDevice(std::move(tun));
  EXPECT_EQ(vqtest::ReadFileBytes(platform::net::ResolvConfPath()), original);
}

TEST_F(AdapterAddressTest, WinsServersAreRecordedNeverFail) {
  EXPECT_EQ(brindleway::AddWinsServer(&tun_, 0), 0);
  EXPECT_TRUE(platform::net::WinsServers("vqtun0").empty());
  EXPECT_EQ(brindleway::AddWinsServer(&tun_, A("10.0.0.7")), 0);
  EXPECT_EQ(brindleway::AddWinsServer(&tun_, A("10.0.0.8")), 0);
  EXPECT_EQ(platform::net::WinsServers("vqtun0"), (std::vector<uint32_t>{A("10.0.0.7"), A("10.0.0.8")}));
  EXPECT_EQ(brindleway::DeleteWinsServers(&tun_), 0);
  EXPECT_TRUE(platform::net::WinsServers("vqtun0").empty());
  EXPECT_EQ(brindleway::AddWinsServer(nullptr, A("10.0.0.7")), -1);
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("WINS server 10.0.0.7 recorded for vqtun0"), std::string::npos);
}

}  // namespace
