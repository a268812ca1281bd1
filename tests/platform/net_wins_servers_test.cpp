// The WINS record of an interface: written by one process, read by another
// through the run folder.
#include "platform/net/wins_servers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/temp_root.h"
#include "platform/paths/paths.h"

namespace {

namespace net = platform::net;

uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

TEST(NetWinsServers, RecordedInTheRunFolderPerInterface) {
  vqtest::TempRoot root;
  EXPECT_TRUE(net::WinsServers("vqtun0").empty());
  net::RecordWinsServer("vqtun0", A("10.8.0.54"));
  net::RecordWinsServer("vqtun0", A("10.8.0.55"));
  net::RecordWinsServer("vqtun1", A("10.9.0.54"));
  EXPECT_EQ(net::WinsServers("vqtun0"), (std::vector<uint32_t>{A("10.8.0.54"), A("10.8.0.55")}));
  EXPECT_EQ(net::WinsServers("vqtun1"), (std::vector<uint32_t>{A("10.9.0.54")}));
  const std::string path = net::WinsRecordPath("vqtun0");
  EXPECT_EQ(path, platform::paths::RunDir() + "/wins/vqtun0");
  EXPECT_EQ(vqtest::ReadFileBytes(path), "10.8.0.54\n10.8.0.55\n");
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "readable by the user's client application";
  net::ClearWinsServers("vqtun0");
  EXPECT_TRUE(net::WinsServers("vqtun0").empty());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(net::WinsServers("vqtun1").size(), 1u);
  net::ClearWinsServers("vqtun0");  // nothing left: fine
}

TEST(NetWinsServers, ANameThatIsNoInterfaceNameIsNoPath) {
  vqtest::TempRoot root;
  for (const char* name : {"", ".", "..", "../x", "a/b", "sixteen-chars-xx"}) {
    EXPECT_EQ(net::WinsRecordPath(name), "") << name;
    net::RecordWinsServer(name, A("10.0.0.1"));
    EXPECT_TRUE(net::WinsServers(name).empty()) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(platform::paths::RunDir() + "/x"));
}

}  // namespace
