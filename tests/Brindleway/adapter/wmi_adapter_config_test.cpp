// The method-call sequence over a fake set of configuration instances; the
// real instances and methods run in tests/netns/wmi_adapter_config_test.cpp.
#include "Brindleway/adapter/wmi_adapter_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Brindleway/common/debug_trace.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

class FakeServices final : public AdapterConfigServices {
 public:
  int32_t ExecQuery(std::vector<AdapterConfigInstance>& out) override {
    ++queries;
    out = instances;
    return queryResult;
  }
  int32_t ExecMethod(const std::string& relPath, const AdapterMethodCall& call,
                     std::optional<uint32_t>& value) override {
    paths.push_back(relPath);
    calls.push_back(call);
    value = returnValue;
    return execResult;
  }

  std::vector<AdapterConfigInstance> instances = {{"{11111111-AAAA}", "Cfg.Index=1"}, {"{22222222-BBBB}", "Cfg.Index=2"}};
  int32_t queryResult = WMI_S_OK;
  int32_t execResult = WMI_S_OK;
  std::optional<uint32_t> returnValue = 0;
  int queries = 0;
  std::vector<std::string> paths;
  std::vector<AdapterMethodCall> calls;
};

using Params = std::vector<std::pair<std::string, std::vector<std::string>>>;

uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

class WmiAdapterConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    g_dwDebugTraceMask = 0x1;
  }
  void TearDown() override {
    g_dwDebugTraceMask = 0;
    LogCleanup();
  }

  vqtest::TempRoot root_;
  FakeServices services_;
};

TEST_F(WmiAdapterConfigTest, EachMethodGoesToTheMatchingInstanceWithItsParameters) {
  EXPECT_EQ(SetIpAddress(services_, "{22222222-BBBB}", A("10.9.0.2"), A("255.255.255.0")), WMI_S_OK);
  EXPECT_EQ(SetWins(services_, "{22222222-BBBB}", A("10.0.0.1"), A("10.0.0.2")), WMI_S_OK);
  const uint32_t dns[] = {A("10.0.0.53"), A("8.8.8.8"), A("9.9.9.9")};
  EXPECT_EQ(WmiSetDnsServerSearchOrder(services_, "{11111111-AAAA}", dns), WMI_S_OK);

  ASSERT_EQ(services_.calls.size(), 3u);
  EXPECT_EQ(services_.paths, (std::vector<std::string>{"Cfg.Index=2", "Cfg.Index=2", "Cfg.Index=1"}));
  EXPECT_EQ(services_.calls[0].method, "EnableStatic");
  EXPECT_EQ(services_.calls[0].params, (Params{{"IPAddress", {"10.9.0.2"}}, {"SubNetMask", {"255.255.255.0"}}}));
  EXPECT_EQ(services_.calls[1].method, "SetWINSServer");
  EXPECT_EQ(services_.calls[1].params,
            (Params{{"WINSPrimaryServer", {"10.0.0.1"}}, {"WINSSecondaryServer", {"10.0.0.2"}}}));
  EXPECT_EQ(services_.calls[2].method, "SetDNSServerSearchOrder");
  // Every server, in order.
  EXPECT_EQ(services_.calls[2].params, (Params{{"DNSServerSearchOrder", {"10.0.0.53", "8.8.8.8", "9.9.9.9"}}}));

  const std::string log = vqtest::ReadLogText();
  for (const char* line : {"Running SetIpAddress()...", "Set tunnel address 10.9.0.2/255.255.255.0",
                           "Found adapter {22222222-BBBB}", "Found Adapter Instance", "Running SetWins ()...",
                           "SetWINSServer succeeded", "DNS server: 8.8.8.8", "SetDNSServerSearchOrder succeeded"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_F(WmiAdapterConfigTest, UnknownGuidIsNotFoundAndCallsNothing) {
  // SettingID is compared exactly: other case is another adapter.
  for (const char* guid : {"{33333333-CCCC}", "{22222222-bbbb}", "{22222222-BBBB"}) {
    EXPECT_EQ(SetIpAddress(services_, guid, A("10.9.0.2"), A("255.255.255.0")), WBEM_E_NOT_FOUND) << guid;
    EXPECT_EQ(SetWins(services_, guid, A("10.0.0.1"), 0), WBEM_E_NOT_FOUND) << guid;
  }
  services_.instances.clear();
  EXPECT_EQ(WmiSetDnsServerSearchOrder(services_, "{11111111-AAAA}", {}), WBEM_E_NOT_FOUND);
  EXPECT_TRUE(services_.calls.empty());
  EXPECT_EQ(WBEM_E_NOT_FOUND, static_cast<int32_t>(0x80041002));
}

TEST_F(WmiAdapterConfigTest, ResultsOfTheMethodAndItsFailures) {
  struct Case {
    int32_t execResult;
    std::optional<uint32_t> returnValue;
    int32_t expected;
    const char* logLine;
  };
  const Case cases[] = {
      {WMI_S_OK, 70, 70, nullptr},  // a nonzero ReturnValue is the result
      {WMI_S_OK, 1, 1, nullptr},
      {WBEM_E_FAILED, 0, WBEM_E_FAILED, "ExecMethod failed"},
      {WMI_S_OK, std::nullopt, WBEM_E_NOT_FOUND, "WARNING: Could not determine return value for EnableStatic"},
  };
  for (const Case& c : cases) {
    services_.execResult = c.execResult;
    services_.returnValue = c.returnValue;
    EXPECT_EQ(SetIpAddress(services_, "{11111111-AAAA}", A("10.9.0.2"), A("255.255.255.0")), c.expected);
    if (c.logLine) {
      EXPECT_NE(vqtest::ReadLogText().find(c.logLine), std::string::npos) << c.logLine;
    }
  }
  services_.execResult = WMI_S_OK;
  services_.returnValue = 96;
  const uint32_t dns[] = {A("10.0.0.53")};
  EXPECT_EQ(WmiSetDnsServerSearchOrder(services_, "{11111111-AAAA}", dns), 96);
  EXPECT_EQ(WmiSetWinsServer(services_, "{11111111-AAAA}", "10.0.0.1", "0.0.0.0"), 96);
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("SetDNSServerSearchOrder failed"), std::string::npos);
  EXPECT_NE(log.find("SetWINSServer failed"), std::string::npos);
}

TEST_F(WmiAdapterConfigTest, FinderArgumentsAndQueryFailure) {
  std::string path;
  EXPECT_EQ(FindAdapterConfigPath("", &services_, &path), WMI_E_INVALIDARG);
  EXPECT_EQ(FindAdapterConfigPath("{11111111-AAAA}", nullptr, &path), WMI_E_INVALIDARG);
  EXPECT_EQ(FindAdapterConfigPath("{11111111-AAAA}", &services_, nullptr), WMI_E_INVALIDARG);
  std::string already = "set";
  EXPECT_EQ(FindAdapterConfigPath("{11111111-AAAA}", &services_, &already), WMI_E_INVALIDARG);
  EXPECT_EQ(already, "set");
  EXPECT_EQ(services_.queries, 0);

  ASSERT_EQ(FindAdapterConfigPath("{11111111-AAAA}", &services_, &path), WMI_S_OK);
  EXPECT_EQ(path, "Cfg.Index=1");

  services_.queryResult = WBEM_E_FAILED;
  EXPECT_EQ(SetIpAddress(services_, "{11111111-AAAA}", A("10.9.0.2"), A("255.255.255.0")), WBEM_E_FAILED);
  EXPECT_NE(vqtest::ReadLogText().find("ExecQuery() error"), std::string::npos);
  EXPECT_TRUE(services_.calls.empty());
}

}  // namespace
}  // namespace brindleway
