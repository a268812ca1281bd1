#include "support/net_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_value.h"

namespace reg = platform::registry;

namespace {

class NetAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  // One class subkey; an empty text leaves that value out.
  static void Adapter(const std::string& subkey, const std::string& componentId, const std::string& guid) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, std::string(kAdapterClassKey) + "\\" + subkey,
                               reg::Access::Write, key),
              platform::ERROR_SUCCESS);
    if (!componentId.empty()) {
      ASSERT_EQ(key.SetValue("ComponentId", reg::REG_SZ, RegSzBytes(componentId)), 0u);
    }
    if (!guid.empty()) {
      ASSERT_EQ(key.SetValue("NetCfgInstanceId", reg::REG_SZ, RegSzBytes(guid)), 0u);
    }
  }

  static void Connection(const std::string& guid, uint32_t type, const std::vector<uint8_t>& name) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE,
                               std::string(kNetworkConnectionsKey) + "\\" + guid + "\\Connection",
                               reg::Access::Write, key),
              platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Name", type, name), platform::ERROR_SUCCESS);
  }

  static void PutBind(const std::vector<uint8_t>& bytes) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, reg::Access::Write, key), 0u);
    ASSERT_EQ(key.SetValue("Bind", reg::REG_MULTI_SZ, bytes), platform::ERROR_SUCCESS);
  }

  static std::vector<uint8_t> GetBind() {
    reg::Key key;
    std::vector<uint8_t> data;
    uint32_t type = 0;
    EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, reg::Access::Read, key), 0u);
    EXPECT_EQ(key.QueryValue("Bind", &type, &data), 0u);
    EXPECT_EQ(type, reg::REG_MULTI_SZ);
    return data;
  }

  vqtest::TempRoot root_;
};

TEST_F(NetAdapterTest, GuidLookupTable) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> adapters;  // subkey, ComponentId, NetCfgInstanceId
    int result;
    std::string guid;
  };
  const std::vector<Case> cases = {
      {"no class key", {}, -1, "unchanged"},
      {"other adapters only", {{"0000", "PCI\\VEN_1", "{A}"}}, -1, "unchanged"},
      {"one", {{"0000", "PCI\\VEN_1", "{A}"}, {"0001", "vqsvc", "{B}"}}, 0, "{B}"},
      {"the last enumerated wins", {{"0001", "vqsvc", "{B}"}, {"0007", "vqsvc", "{C}"}}, 0, "{C}"},
      {"case differs", {{"0000", "VQSVC", "{A}"}, {"0001", "Vqsvc", "{B}"}}, -1, "unchanged"},
      {"missing NetCfgInstanceId is skipped", {{"0001", "vqsvc", "{B}"}, {"0002", "vqsvc", ""}}, 0, "{B}"},
      {"a too long subkey name is skipped",
       {{"0001", "vqsvc", "{B}"}, {std::string(33, 'z'), "vqsvc", "{Z}"}}, 0, "{B}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vqtest::TempRoot root;
    for (const auto& a : c.adapters) Adapter(a[0], a[1], a[2]);
    std::string guid = "unchanged";
    EXPECT_EQ(GetTunAdapterGuid(guid), c.result);
    EXPECT_EQ(guid, c.guid);
  }
}

TEST_F(NetAdapterTest, GuidIsCutToTheCapacity) {
  Adapter("0000", "vqsvc", "{0123456789}");
  std::string guid;
  ASSERT_EQ(GetTunAdapterGuid(guid, 5), 0);
  EXPECT_EQ(guid, "{012");
}

TEST_F(NetAdapterTest, MissingNetCfgInstanceIdIsLogged) {
  Adapter("0003", "vqsvc", "");
  std::string guid;
  EXPECT_EQ(GetTunAdapterGuid(guid), -1);
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("Can not query NetCfgInstanceId: 0003 (2)"), std::string::npos);
}

TEST_F(NetAdapterTest, ConnectionName) {
  const std::string guid = "{11111111-2222-3333-4444-555555555555}";
  std::string name = "unchanged";
  EXPECT_EQ(GetAdapterConnectionName(guid, name), platform::ERROR_FILE_NOT_FOUND);

  Connection(guid, reg::REG_BINARY, {'v', 0, 'q', 0});
  EXPECT_EQ(GetAdapterConnectionName(guid, name), platform::ERROR_INVALID_DATA);
  EXPECT_EQ(name, "unchanged");

  Connection(guid, reg::REG_SZ, RegSzBytes("vqtun0"));
  EXPECT_EQ(GetAdapterConnectionName(guid, name), platform::ERROR_SUCCESS);
  EXPECT_EQ(name, "vqtun0");
  EXPECT_EQ(GetAdapterConnectionName(guid, name, 6), platform::ERROR_MORE_DATA);
  // A GUID that is a path names no connection key.
  EXPECT_EQ(GetAdapterConnectionName(guid + "\\..", name), platform::ERROR_FILE_NOT_FOUND);

  LogCleanup();
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("Can not open registry [2]: "), std::string::npos);
  EXPECT_NE(log.find("Can not query name, or type not matching [13]: "), std::string::npos);
}

TEST_F(NetAdapterTest, IndexOfTheAdapterIsTheIndexOfItsInterface) {
  const std::string guid = "{11111111-2222-3333-4444-555555555555}";
  Adapter("0000", "vqsvc", guid);
  uint32_t index = 99;
  EXPECT_EQ(GetTunAdapterIndex(index), -1);  // no connection name yet
  EXPECT_EQ(index, 99u);

  Connection(guid, reg::REG_SZ, RegSzBytes("lo"));
  ASSERT_EQ(GetTunAdapterIndex(index), 0);
  EXPECT_EQ(index, 1u);  // the loopback interface of every namespace
  EXPECT_EQ(GetAdapterIndexByGuid(guid), 1);
  EXPECT_EQ(GetAdapterIndexByName("lo"), 1);
  EXPECT_EQ(GetAdapterIndexByName("LO"), -1);
  EXPECT_EQ(GetAdapterIndexByName(std::string(300, 'x')), -1);

  Connection(guid, reg::REG_SZ, RegSzBytes("no-such-if"));
  EXPECT_EQ(GetAdapterIndexByGuid(guid), -1);
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("Could not get adapter index for \\DEVICE\\TCPIP_" + guid + "[2]"),
            std::string::npos);
}

TEST_F(NetAdapterTest, BindRoundTripsByteForByte) {
  const std::vector<uint8_t> image = RegMultiSzBytes({"\\Device\\{A}", "\\Device\\{B}"});
  PutBind(image);
  std::string text = "unchanged";
  ASSERT_EQ(ReadTcpipBind(text), platform::ERROR_SUCCESS);
  EXPECT_EQ(text, "\\Device\\{A}\n\\Device\\{B}");
  ASSERT_EQ(SetTcpipLinkageBind(text), platform::ERROR_SUCCESS);
  EXPECT_EQ(GetBind(), image);
}

TEST_F(NetAdapterTest, BindOfOneStringAndMissingBind) {
  std::string text = "unchanged";
  EXPECT_EQ(ReadTcpipBind(text), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(text, "unchanged");

  // A trailing LF leaves an empty string behind: the list still reads as one.
  PutBind(RegMultiSzBytes({"\\Device\\{A}"}));
  ASSERT_EQ(SetTcpipLinkageBind("\\Device\\{Z}\n"), platform::ERROR_SUCCESS);
  ASSERT_EQ(ReadTcpipBind(text), platform::ERROR_SUCCESS);
  EXPECT_EQ(text, "\\Device\\{Z}");
}

TEST(NetAdapterTextTest, MultiSzAndLinesConvert) {
  using namespace std::string_literals;
  EXPECT_EQ(MultiSzToLines(u"a\0bc\0\0"s), u"a\nbc\0\0"s);
  EXPECT_EQ(LinesToMultiSz(u"a\nbc\n"s), u"a\0bc\0"s);
}

}  // namespace
