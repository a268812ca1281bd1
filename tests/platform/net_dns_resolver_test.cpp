#include "platform/net/dns_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/temp_root.h"
#include "platform/paths/paths.h"

namespace {

namespace net = platform::net;

uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

class ResolvConfTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(root_.At("/etc")); }

  std::string File() const { return root_.At("/etc/resolv.conf"); }
  std::unique_ptr<net::DnsResolver> Resolver() const {
    return net::MakeResolvConfResolver(File(), net::ResolvConfBackupPath());
  }

  vqtest::TempRoot root_;
};

TEST_F(ResolvConfTest, ApplyThenRevertIsByteIdentical) {
  // No newline at the end, odd spacing, a mode of its own.
  const std::string original = "# local\nsearch example.net\nnameserver 192.0.2.53\noptions  edns0";
  vqtest::WriteFileBytes(File(), original);
  ASSERT_EQ(::chmod(File().c_str(), 0640), 0);

  auto resolver = Resolver();
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.0.0.1"), A("10.0.0.2")}), 0u);
  const std::string applied = vqtest::ReadFileBytes(File());
  // Ours first, in order; the rest of the file kept behind them.
  const size_t first = applied.find("nameserver 10.0.0.1\n");
  const size_t second = applied.find("nameserver 10.0.0.2\n");
  const size_t theirs = applied.find("nameserver 192.0.2.53\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(second, theirs);
  EXPECT_NE(applied.find("search example.net\n"), std::string::npos);

  // A second set replaces the first; it does not pile up.
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.0.0.3")}), 0u);
  const std::string again = vqtest::ReadFileBytes(File());
  EXPECT_EQ(again.find("10.0.0.1"), std::string::npos);
  EXPECT_NE(again.find("nameserver 10.0.0.3\n"), std::string::npos);

  ASSERT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(File()), original);
  struct stat st{};
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(net::ResolvConfBackupPath()));
  // Nothing more to take back.
  EXPECT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(File()), original);
}

TEST_F(ResolvConfTest, ABackupLeftByAnEarlierRunIsTheOriginal) {
  const std::string original = "nameserver 192.0.2.53\n";
  vqtest::WriteFileBytes(File(), original);
  ASSERT_EQ(Resolver()->SetDnsServers("vqtun0", {A("10.0.0.1")}), 0u);
  // That run ended without taking its servers back; the next one sets again.
  ASSERT_EQ(Resolver()->SetDnsServers("vqtun0", {A("10.0.0.2")}), 0u);
  ASSERT_EQ(Resolver()->RevertDnsServers("vqtun0"), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(File()), original);
}

TEST_F(ResolvConfTest, ALinkComesBackAsTheLink) {
  vqtest::WriteFileBytes(root_.At("/etc/stub.conf"), "nameserver 127.0.0.53\n");
  ASSERT_EQ(::symlink("stub.conf", File().c_str()), 0);
  auto resolver = Resolver();
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.0.0.1")}), 0u);
  EXPECT_FALSE(std::filesystem::is_symlink(File()));
  EXPECT_NE(vqtest::ReadFileBytes(File()).find("nameserver 127.0.0.53\n"), std::string::npos);
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/etc/stub.conf")), "nameserver 127.0.0.53\n");  // untouched
  ASSERT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  ASSERT_TRUE(std::filesystem::is_symlink(File()));
  EXPECT_EQ(std::filesystem::read_symlink(File()), "stub.conf");
}

TEST_F(ResolvConfTest, NoFileBeforeNoFileAfter) {
  auto resolver = Resolver();
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.0.0.1")}), 0u);
  EXPECT_TRUE(std::filesystem::exists(File()));
  ASSERT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(ResolvConfTest, AFileSomebodyElseWroteMeanwhileStays) {
  vqtest::WriteFileBytes(File(), "nameserver 192.0.2.53\n");
  auto resolver = Resolver();
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.0.0.1")}), 0u);
  vqtest::WriteFileBytes(File(), "nameserver 198.51.100.1\n");  // a DHCP client renewed its lease
  ASSERT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(File()), "nameserver 198.51.100.1\n");
  EXPECT_FALSE(std::filesystem::exists(net::ResolvConfBackupPath()));
}

TEST_F(ResolvConfTest, TheBackendFollowsTheRoot) {
  EXPECT_EQ(net::ResolvConfPath(), File());
  EXPECT_EQ(net::ResolvConfBackupPath().rfind(platform::paths::RunDir(), 0), 0u);
  EXPECT_STREQ(net::OpenDnsResolver()->Name(), "resolv.conf");
  std::filesystem::create_directories(root_.At("/run/systemd/resolve"));
  vqtest::WriteFileBytes(root_.At("/run/systemd/resolve/io.systemd.Resolve"), "");
  EXPECT_STREQ(net::OpenDnsResolver()->Name(), "systemd-resolved");
}

// The machine's backend under systemd-resolved runs the real resolvectl
// program: a stand-in on PATH records each run's arguments.
TEST_F(ResolvConfTest, UnderResolvedTheProgramGetsServersDomainAndDefaultRoute) {
  std::filesystem::create_directories(root_.At("/run/systemd/resolve"));
  vqtest::WriteFileBytes(root_.At("/run/systemd/resolve/io.systemd.Resolve"), "");
  const std::string bin = root_.At("/bin");
  const std::string record = root_.At("/resolvectl.calls");
  std::filesystem::create_directories(bin);
  vqtest::WriteFileBytes(bin + "/resolvectl", "#!/bin/sh\necho \"$*\" >> '" + record + "'\n");
  ASSERT_EQ(::chmod((bin + "/resolvectl").c_str(), 0755), 0);
  const char* oldPath = ::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  ::setenv("PATH", (bin + ":" + savedPath).c_str(), 1);

  auto resolver = net::OpenDnsResolver();
  EXPECT_EQ(resolver->SetDnsServers("vqtun0", {A("10.8.0.53")}), 0u);
  EXPECT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  ::setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(vqtest::ReadFileBytes(record),
            "dns vqtun0 10.8.0.53\ndomain vqtun0 ~.\ndefault-route vqtun0 yes\nrevert vqtun0\n");
  // The resolv.conf file is not touched under systemd-resolved.
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST(ResolvectlTest, ArgumentVectors) {
  std::vector<std::vector<std::string>> calls;
  int status = 0;
  auto resolver = net::MakeResolvectlResolver([&](const std::vector<std::string>& argv) {
    calls.push_back(argv);
    return status;
  });
  // A name with shell characters is one argument, never a command line.
  const std::string name = "tun\"; rm -rf /";
  EXPECT_EQ(resolver->SetDnsServers(name, {A("10.0.0.1"), A("10.0.0.2")}), 0u);
  EXPECT_EQ(resolver->RevertDnsServers(name), 0u);
  EXPECT_EQ(resolver->FlushCache(), 0u);
  using V = std::vector<std::string>;
  ASSERT_EQ(calls.size(), 5u);
  // The tunnel's servers are asked first for every name.
  EXPECT_EQ(calls[0], (V{"resolvectl", "dns", name, "10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(calls[1], (V{"resolvectl", "domain", name, "~."}));
  EXPECT_EQ(calls[2], (V{"resolvectl", "default-route", name, "yes"}));
  // One revert takes back servers, domain and default route.
  EXPECT_EQ(calls[3], (V{"resolvectl", "revert", name}));
  EXPECT_EQ(calls[4], (V{"resolvectl", "flush-caches"}));
  status = 1;
  calls.clear();
  EXPECT_NE(resolver->SetDnsServers(name, {A("10.0.0.1")}), 0u);
  EXPECT_EQ(calls.size(), 1u);  // nothing more once the servers were refused
  status = -1;  // not installed
  EXPECT_NE(resolver->FlushCache(), 0u);
}

TEST_F(ResolvConfTest, ServersOfAnInterfaceAreReadBackUntilReverted) {
  vqtest::WriteFileBytes(File(), "nameserver 192.0.2.53\n");
  auto resolver = Resolver();
  std::vector<uint32_t> servers{A("1.1.1.1")};
  EXPECT_EQ(resolver->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_TRUE(servers.empty()) << "nothing set yet";
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.8.0.53"), A("10.8.0.54")}), 0u);
  // Another resolver object (the client application's) reads the same.
  EXPECT_EQ(Resolver()->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_EQ(servers, (std::vector<uint32_t>{A("10.8.0.53"), A("10.8.0.54")}));
  EXPECT_EQ(Resolver()->GetDnsServers("vqtun1", servers), 0u);
  EXPECT_TRUE(servers.empty()) << "the record is per interface";
  ASSERT_EQ(resolver->SetDnsServers("vqtun0", {A("10.8.0.55")}), 0u);
  EXPECT_EQ(Resolver()->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_EQ(servers, (std::vector<uint32_t>{A("10.8.0.55")}));
  ASSERT_EQ(resolver->RevertDnsServers("vqtun0"), 0u);
  EXPECT_EQ(Resolver()->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_TRUE(servers.empty());
  EXPECT_EQ(vqtest::ReadFileBytes(File()), "nameserver 192.0.2.53\n");
  // A name that is no interface name never becomes a path.
  EXPECT_NE(resolver->GetDnsServers("../../etc/passwd", servers), 0u);
  EXPECT_TRUE(servers.empty());
}

TEST(ResolvectlTest, ServersOfALink) {
  struct Case {
    const char* output;
    std::vector<const char*> servers;
  };
  const Case cases[] = {
      {"Link 5 (vqtun0): 10.8.0.53 10.8.0.54\n", {"10.8.0.53", "10.8.0.54"}},
      {"Link 5 (vqtun0):\n", {}},
      {"", {}},
      {"Link 5 (vqtun0): 10.8.0.53:53 fe80::1 10.8.0.54%5 10.8.0.55#dns.example\n",
       {"10.8.0.53", "10.8.0.54", "10.8.0.55"}},
      {"Link 12 (a b): 192.0.2.1\n", {"192.0.2.1"}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> want;
    for (const char* s : c.servers) want.push_back(A(s));
    EXPECT_EQ(net::ParseResolvectlDns(c.output), want) << c.output;
  }

  std::vector<std::string> seen;
  int status = 0;
  auto resolver = net::MakeResolvectlResolver(
      net::ResolverQueryRunner([&](const std::vector<std::string>& argv, std::string* output) {
        seen = argv;
        if (output) *output = "Link 5 (vqtun0): 10.8.0.53\n";
        return status;
      }));
  std::vector<uint32_t> servers;
  EXPECT_EQ(resolver->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_EQ(seen, (std::vector<std::string>{"resolvectl", "dns", "vqtun0"}));
  EXPECT_EQ(servers, (std::vector<uint32_t>{A("10.8.0.53")}));
  status = 1;
  EXPECT_NE(resolver->GetDnsServers("vqtun0", servers), 0u);
  EXPECT_TRUE(servers.empty());
}

}  // namespace
