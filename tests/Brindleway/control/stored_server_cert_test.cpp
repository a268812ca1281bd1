// The gateway certificate's trust on first use against the test gateway:
// chain trust from the ROOT and CA stores, the stored file per gateway
// address with its product version, the web portal's new-certificate flag,
// the leaf-only rule for chains, certificates too long for the block,
// damaged files, and the validity reports of each connection.
#include "Brindleway/control/stored_server_cert.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/tls_context.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "platform/paths/paths.h"
#include "support/file_crypt.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/utf16.h"

#include "Brindleway/recording_gui_reports.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using Block = std::array<uint8_t, SERVER_CERT_BLOCK_BYTES>;
using vqgw::CertKind;
using vqgw::GatewayOptions;
using vqgw::TestCertPtr;
using vqgw::TlsGateway;

constexpr char kInstallFolder[] = "/opt/tarnwickgate";

uint32_t Address(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

bool Logged(const std::string& text) { return vqtest::ReadLogText().find(text) != std::string::npos; }

std::string VersionBytes(const std::string& version) {
  std::string bytes = Utf16LeBytes(Utf8ToUtf16(version));
  bytes.resize(SERVER_CERT_VERSION_BYTES, '\0');
  return bytes;
}

// Everything one test case needs on disk: its own root, the install folder
// and product version in the registry, and nothing in ROOT or CA.
class CertWorld {
 public:
  explicit CertWorld(const std::string& productVer = "6.1.0") {
    LogInit(nullptr);
    EXPECT_EQ(RegWriteProductValue("QIMBO_HOME", kInstallFolder), 0);
    SetProductVer(productVer);
  }

  static void SetProductVer(const std::string& version) { EXPECT_EQ(RegWriteProductValue("ProductVer", version), 0); }

  static std::string Folder() { return platform::paths::SettingPath(kInstallFolder) + "/cert"; }
  static std::string File(const char* gateway = "127.0.0.1") {
    return Folder() + "/cert" + std::to_string(static_cast<int32_t>(Address(gateway)));
  }

  // cert becomes a trusted root (a self-signed gateway certificate too).
  static void TrustRoot(X509* cert, const std::string& name) { AddTo("ROOT", cert, name); }
  static void TrustIntermediate(X509* cert, const std::string& name) { AddTo("CA", cert, name); }

  // Stores der as the gateway's certificate under version.
  void Plant(const Bytes& der, const std::string& version, const char* gateway = "127.0.0.1") {
    std::filesystem::create_directories(Folder());
    SetProductVer(version);
    ASSERT_EQ(StoreServerCert(der.data(), der.size(), File(gateway)), 1);
  }

  static std::optional<Block> ReadBlock(const char* gateway = "127.0.0.1") {
    Block block{};
    uint32_t length = block.size();
    if (DecryptFileWithPassword(block.data(), &length, File(gateway), SERVER_CERT_FILE_PASSWORD) != 1) return {};
    if (length != block.size()) return {};
    return block;
  }

  // The block holds exactly version and der.
  static ::testing::AssertionResult Holds(const Block& block, const std::string& version, const Bytes& der) {
    const std::string expectedVersion = VersionBytes(version);
    if (std::string(block.begin(), block.begin() + SERVER_CERT_VERSION_BYTES) != expectedVersion)
      return ::testing::AssertionFailure() << "version differs";
    Bytes stored(block.begin() + SERVER_CERT_VERSION_BYTES, block.end());
    Bytes expected = der;
    expected.resize(stored.size(), 0);
    if (stored != expected) return ::testing::AssertionFailure() << "certificate differs";
    return ::testing::AssertionSuccess();
  }

  int Connect(const TlsGateway& gateway, bool newServerCert = false) {
    CChannelSession session(reports_);
    const int result = session.ConnectChannel("127.0.0.1", gateway.Port(), 0, newServerCert);
    session.CloseChannel();
    return result;
  }

  RecordingGuiReports& Reports() { return reports_; }

 private:
  static void AddTo(const char* store, X509* cert, const std::string& name) {
    const std::string folder = platform::paths::CertStoreDir(store);
    std::filesystem::create_directories(folder);
    vqtest::WriteFileBytes(folder + "/" + name + ".pem", vqgw::X509ToPem(cert));
  }

  vqtest::TempRoot root_;
  RecordingGuiReports reports_;
};

GatewayOptions WithCert(TestCertPtr cert, std::vector<TestCertPtr> chain = {}) {
  GatewayOptions options;
  options.cert = std::move(cert);
  options.chain = std::move(chain);
  return options;
}

class StoredServerCertTest : public ::testing::Test {
 protected:
  // The real check, not a stand-in.
  void SetUp() override { SetStoredServerCertCheck(nullptr); }
};

TEST_F(StoredServerCertTest, TrustOnFirstUse) {
  enum class Stored { None, Same, Other };
  enum class After { None, Unchanged, Gateways };
  const struct {
    const char* name;
    bool chainTrusted;
    Stored stored;
    const char* storedVersion;
    bool newServerCert;
    const char* installedVersion;
    int result;
    After file;
  } cases[] = {
      {"first use stores it", false, Stored::None, "", false, "6.1.0", 0, After::Gateways},
      {"the stored one again", false, Stored::Same, "6.1.0", false, "6.1.0", 0, After::Unchanged},
      {"another one is refused", false, Stored::Other, "6.1.0", false, "6.1.0", VQ_ERR_SERVER_CERT_CHANGED,
       After::Unchanged},
      {"web portal start replaces it", false, Stored::Other, "6.1.0", true, "6.1.0", 0, After::Gateways},
      {"web portal start, first use", false, Stored::None, "", true, "6.1.0", 0, After::Gateways},
      {"product update renews it", false, Stored::Other, "9.0", false, "10.0", 0, After::Gateways},
      {"older product does not", false, Stored::Other, "10.0", false, "9.0", VQ_ERR_SERVER_CERT_CHANGED,
       After::Unchanged},
      {"same version written longer", false, Stored::Other, "6.1", false, "6.1.0", VQ_ERR_SERVER_CERT_CHANGED,
       After::Unchanged},
      {"trusted chain needs no file", true, Stored::None, "", false, "6.1.0", 0, After::None},
      {"trusted chain overrides the file", true, Stored::Other, "6.1.0", false, "6.1.0", 0, After::Unchanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertWorld world;
    const TestCertPtr cert = vqgw::MakeTestCert(CertKind::Valid);
    if (c.chainTrusted) CertWorld::TrustRoot(cert->cert.get(), "gateway");
    if (c.stored != Stored::None) {
      const Bytes der = c.stored == Stored::Same ? cert->Der() : vqgw::MakeTestCert(CertKind::Valid)->Der();
      world.Plant(der, c.storedVersion);
    }
    CertWorld::SetProductVer(c.installedVersion);
    const std::string before = vqtest::ReadFileBytes(CertWorld::File());

    TlsGateway gateway(WithCert(cert));
    EXPECT_EQ(world.Connect(gateway, c.newServerCert), c.result);

    switch (c.file) {
      case After::None:
        EXPECT_FALSE(std::filesystem::exists(CertWorld::File()));
        break;
      case After::Unchanged:
        EXPECT_EQ(vqtest::ReadFileBytes(CertWorld::File()), before);
        break;
      case After::Gateways: {
        const std::optional<Block> block = CertWorld::ReadBlock();
        ASSERT_TRUE(block);
        EXPECT_TRUE(CertWorld::Holds(*block, c.installedVersion, cert->Der()));
        break;
      }
    }
    EXPECT_TRUE(world.Reports().Events().empty());
  }
}

TEST_F(StoredServerCertTest, FirstConnectionStoresThenAChangedCertificateIsRefusedUntilTheWebPortal) {
  CertWorld world;
  GatewayOptions options;
  options.newCertEachConnection = true;
  TlsGateway gateway(options);
  EXPECT_EQ(world.Connect(gateway), 0);
  EXPECT_EQ(world.Connect(gateway), VQ_ERR_SERVER_CERT_CHANGED);
  EXPECT_TRUE(Logged("Suspicious Man-in-Milldle attack: Not the same server certificate"));
  EXPECT_TRUE(Logged("Verify certificate error: depth=0"));
  EXPECT_EQ(world.Connect(gateway, true), 0);

  const std::vector<vqgw::ConnectionRecord> seen = gateway.Connections();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(seen[1].handshakeDone);
  const std::optional<Block> block = CertWorld::ReadBlock();
  ASSERT_TRUE(block);
  EXPECT_TRUE(CertWorld::Holds(*block, "6.1.0", seen[2].serverCertDer));
}

TEST_F(StoredServerCertTest, ValidityIsReportedAfterAnAcceptedHandshakeOnly) {
  const struct {
    const char* name;
    CertKind kind;
    bool otherStored;
    bool gatewayRefusesUs;
    int result;
    std::vector<uint32_t> events;
  } cases[] = {
      {"expired, first use", CertKind::Expired, false, false, 0, {VQ_EVT_CERT_EXPIRED}},
      {"not yet valid, first use", CertKind::NotYetValid, false, false, 0, {VQ_EVT_CERT_NOT_YET_VALID}},
      // A rejection clears the validity: the certificate changed.
      {"expired and refused", CertKind::Expired, true, false, VQ_ERR_SERVER_CERT_CHANGED, {}},
      // Accepted while expired, then the handshake fails for another reason.
      {"expired, handshake fails later", CertKind::Expired, false, true, VQ_ERR_SSL_CONNECT, {}},
      {"valid, handshake fails later", CertKind::Valid, false, true, VQ_ERR_SSL_CONNECT, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertWorld world;
    if (c.otherStored) world.Plant(vqgw::MakeTestCert(CertKind::Valid)->Der(), "6.1.0");
    GatewayOptions options = WithCert(vqgw::MakeTestCert(c.kind));
    const TestCertPtr ca = vqgw::IssueTestCert(nullptr, CertKind::Valid, "Client CA", true);
    if (c.gatewayRefusesUs) {
      // Wants a client certificate we do not have; TLS 1.2 refuses it
      // inside the client's handshake.
      options.clientCa = vqgw::ShareX509Cert(ca->cert.get());
      options.maxVersion = TLS1_2_VERSION;
    }
    TlsGateway gateway(options);
    EXPECT_EQ(world.Connect(gateway), c.result);
    EXPECT_EQ(world.Reports().Events(), c.events);
  }
}

TEST_F(StoredServerCertTest, EachConnectionKeepsItsOwnValidityAcrossThreads) {
  CertWorld world;
  // The valid certificate is trusted; the expired one fails its chain, is
  // kept on first use and matches its stored copy from then on.
  const TestCertPtr expired = vqgw::MakeTestCert(CertKind::Expired, "expired.test");
  const TestCertPtr valid = vqgw::MakeTestCert(CertKind::Valid, "valid.test");
  CertWorld::TrustRoot(expired->cert.get(), "expired");
  CertWorld::TrustRoot(valid->cert.get(), "valid");
  TlsGateway expiredGateway(WithCert(expired));
  TlsGateway validGateway(WithCert(valid));

  constexpr int kThreads = 6;
  constexpr int kRounds = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const bool toExpired = (t + round) % 2 == 0;
        RecordingGuiReports reports;
        CChannelSession session(reports);
        const int result =
            session.ConnectChannel("127.0.0.1", (toExpired ? expiredGateway : validGateway).Port(), 0);
        session.CloseChannel();
        const std::vector<uint32_t> expected =
            toExpired ? std::vector<uint32_t>{VQ_EVT_CERT_EXPIRED} : std::vector<uint32_t>{};
        if (result != 0 || reports.Events() != expected) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(StoredServerCertTest, ADepthEightChainIsAcceptedWithAWarning) {
  for (const bool rootTrusted : {false, true}) {
    SCOPED_TRACE(rootTrusted ? "root trusted" : "first use");
    CertWorld world;
    // leaf (0), seven intermediates (1..7), root (8), all sent.
    const vqgw::TestChain chain = vqgw::MakeTestChain(7);
    std::vector<TestCertPtr> sent = chain.Sent();
    sent.push_back(chain.root);
    if (rootTrusted) CertWorld::TrustRoot(chain.root->cert.get(), "root");
    TlsGateway gateway(WithCert(chain.leaf, sent));
    EXPECT_EQ(world.Connect(gateway), 0);
    EXPECT_TRUE(Logged("TLS Warning: Convoluted certificate chain detected with depth [8] greater than 8"));
    EXPECT_FALSE(Logged("depth [9]"));
    if (rootTrusted) {
      EXPECT_FALSE(std::filesystem::exists(CertWorld::File()));
    } else {
      // The gateway's own certificate is what is kept, not the root.
      const std::optional<Block> block = CertWorld::ReadBlock();
      ASSERT_TRUE(block);
      EXPECT_TRUE(CertWorld::Holds(*block, "6.1.0", chain.leaf->Der()));
    }
  }
}

TEST_F(StoredServerCertTest, AChainIsTrustedThroughTheCaAndRootStores) {
  const vqgw::TestChain chain = vqgw::MakeTestChain(1);
  const struct {
    const char* name;
    bool intermediateInCa;
    bool intermediateSent;
    int result;
  } cases[] = {
      {"intermediate from the CA store", true, false, 0},
      {"intermediate sent by the gateway", false, true, 0},
      // Without the intermediate nobody can build the path: first use.
      {"intermediate nowhere", false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertWorld world;
    CertWorld::TrustRoot(chain.root->cert.get(), "root");
    if (c.intermediateInCa) CertWorld::TrustIntermediate(chain.intermediates[0]->cert.get(), "mid");
    TlsGateway gateway(WithCert(chain.leaf, c.intermediateSent ? chain.Sent() : std::vector<TestCertPtr>{}));
    EXPECT_EQ(world.Connect(gateway), c.result);
    const bool trusted = c.intermediateInCa || c.intermediateSent;
    EXPECT_EQ(std::filesystem::exists(CertWorld::File()), !trusted);
  }
}

TEST_F(StoredServerCertTest, OnlyTheGatewaysOwnCertificateIsPinned) {
  // An untrusted chain: root and intermediate known to nobody.
  const vqgw::TestChain chain = vqgw::MakeTestChain(1);
  const TestCertPtr& mid = chain.intermediates[0];
  const TestCertPtr otherLeafSameMid = vqgw::IssueTestCert(mid.get(), CertKind::Valid, "gateway.test", false);
  const TestCertPtr otherMid = vqgw::IssueTestCert(chain.root.get(), CertKind::Valid, "Other Intermediate", true);

  CertWorld world;
  TlsGateway gateway(WithCert(chain.leaf, {mid, chain.root}));
  ASSERT_EQ(world.Connect(gateway), 0);
  std::optional<Block> block = CertWorld::ReadBlock();
  ASSERT_TRUE(block);
  EXPECT_TRUE(CertWorld::Holds(*block, "6.1.0", chain.leaf->Der()));

  // The same leaf behind other intermediates is still the gateway.
  gateway.SetCertificate(chain.leaf, {otherMid, chain.root});
  EXPECT_EQ(world.Connect(gateway), 0);
  gateway.SetCertificate(chain.leaf, {});
  EXPECT_EQ(world.Connect(gateway), 0);
  // Another leaf behind the same intermediate is not.
  gateway.SetCertificate(otherLeafSameMid, {mid, chain.root});
  EXPECT_EQ(world.Connect(gateway), VQ_ERR_SERVER_CERT_CHANGED);

  block = CertWorld::ReadBlock();
  ASSERT_TRUE(block);
  EXPECT_TRUE(CertWorld::Holds(*block, "6.1.0", chain.leaf->Der()));
}

TEST_F(StoredServerCertTest, ACertificateLongerThanTheBlockIsRefusedUnlessTrusted) {
  const TestCertPtr large = vqgw::MakeLargeTestCert(3000);
  ASSERT_GT(large->Der().size(), SERVER_CERT_DER_MAX);
  for (const bool trusted : {false, true}) {
    SCOPED_TRACE(trusted ? "trusted" : "untrusted");
    CertWorld world;
    if (trusted) CertWorld::TrustRoot(large->cert.get(), "large");
    TlsGateway gateway(WithCert(large));
    EXPECT_EQ(world.Connect(gateway), trusted ? 0 : VQ_ERR_SERVER_CERT_CHANGED);
    EXPECT_FALSE(std::filesystem::exists(CertWorld::File()));
  }
  // Nor does the writer take one.
  CertWorld world;
  std::filesystem::create_directories(CertWorld::Folder());
  const Bytes der = large->Der();
  EXPECT_EQ(StoreServerCert(der.data(), der.size(), CertWorld::File()), 0);
  EXPECT_EQ(StoreServerCert(der.data(), SERVER_CERT_DER_MAX + 1, CertWorld::File()), 0);
  EXPECT_FALSE(std::filesystem::exists(CertWorld::File()));
  EXPECT_EQ(StoreServerCert(der.data(), SERVER_CERT_DER_MAX, CertWorld::File()), 1);
}

TEST_F(StoredServerCertTest, ADamagedStoredFileIsACleanRefusal) {
  const TestCertPtr cert = vqgw::MakeTestCert(CertKind::Valid);
  const Bytes der = cert->Der();
  // A plain block whose version fills its room without a terminator (32
  // nines: newer than the installed product) and the right DER after it.
  Block noTerminator{};
  for (size_t i = 0; i < SERVER_CERT_VERSION_BYTES; i += 2) noTerminator[i] = '9';
  std::copy(der.begin(), der.end(), noTerminator.begin() + SERVER_CERT_VERSION_BYTES);

  const struct {
    const char* name;
    std::function<void(const std::string& path, const std::string& good)> damage;
    int result;
    const char* logged;
  } cases[] = {
      {"truncated", [](const std::string& path, const std::string& good) {
         vqtest::WriteFileBytes(path, good.substr(0, 1000));
       },
       VQ_ERR_SERVER_CERT_CHANGED, "Decrypt file failed"},
      {"one byte short", [](const std::string& path, const std::string& good) {
         vqtest::WriteFileBytes(path, good.substr(0, good.size() - 1));
       },
       VQ_ERR_SERVER_CERT_CHANGED, "Decrypt file failed"},
      {"empty", [](const std::string& path, const std::string&) { vqtest::WriteFileBytes(path, ""); },
       VQ_ERR_SERVER_CERT_CHANGED, "Decrypt file failed"},
      {"too long", [](const std::string& path, const std::string& good) {
         vqtest::WriteFileBytes(path, good + std::string(5000, 'x'));
       },
       VQ_ERR_SERVER_CERT_CHANGED, "Decrypt file failed"},
      {"bytes flipped in the certificate", [](const std::string& path, const std::string& good) {
         std::string bad = good;
         for (size_t i = 100; i < 140; ++i) bad[i] = static_cast<char>(bad[i] ^ 0x5A);
         vqtest::WriteFileBytes(path, bad);
       },
       VQ_ERR_SERVER_CERT_CHANGED, "Suspicious Man-in-Milldle attack"},
      {"bytes flipped in the zero tail", [](const std::string& path, const std::string& good) {
         std::string bad = good;
         bad[bad.size() - 1] = static_cast<char>(bad[bad.size() - 1] ^ 0x01);
         vqtest::WriteFileBytes(path, bad);
       },
       VQ_ERR_SERVER_CERT_CHANGED, "Suspicious Man-in-Milldle attack"},
      {"version without terminator", [&](const std::string& path, const std::string&) {
         ASSERT_EQ(EncryptFileWithPassword(noTerminator.data(), static_cast<int>(noTerminator.size()), path,
                                           SERVER_CERT_FILE_PASSWORD),
                   1);
       },
       0, "SSL connected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertWorld world;
    world.Plant(der, "6.1.0");
    const std::string good = vqtest::ReadFileBytes(CertWorld::File());
    ASSERT_EQ(good.size(), SERVER_CERT_BLOCK_BYTES);
    c.damage(CertWorld::File(), good);
    const std::string damaged = vqtest::ReadFileBytes(CertWorld::File());

    TlsGateway gateway(WithCert(cert));
    EXPECT_EQ(world.Connect(gateway), c.result);
    EXPECT_TRUE(Logged(c.logged));
    EXPECT_EQ(vqtest::ReadFileBytes(CertWorld::File()), damaged);
  }
}

TEST_F(StoredServerCertTest, TheFileIsNamedByTheGatewayNotByTheProxy) {
  CertWorld world;
  GatewayOptions options;
  options.proxy = true;
  TlsGateway proxyAndGateway(options);
  CChannelSession session(world.Reports());
  session.SetProxy("127.0.0.1", proxyAndGateway.Port(), true);
  ASSERT_EQ(session.ConnectChannel("198.51.100.200", 443, 0), 0);
  session.CloseChannel();
  EXPECT_FALSE(std::filesystem::exists(CertWorld::File("127.0.0.1")));
  // The address as it lies in memory, C6 33 64 C8, read as a signed number.
  EXPECT_TRUE(std::filesystem::exists(CertWorld::Folder() + "/cert-932957242"));
  EXPECT_EQ(ServerCertPath("/x", Address("127.0.0.1")), "/x/cert16777343");
}

TEST_F(StoredServerCertTest, TheFolderIsTheInstallFoldersCertBelowTheRootElseTheProgramsFolder) {
  vqtest::TempRoot root;
  EXPECT_EQ(ServerCertFolder(), platform::paths::ModuleDir());

  ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", "/opt/tarnwickgate/"), 0);
  EXPECT_EQ(ServerCertFolder(), root.At("/opt/tarnwickgate/cert"));
  EXPECT_TRUE(std::filesystem::is_directory(root.At("/opt/tarnwickgate/cert")));
  // A setting that already names a place below the root stays as it is.
  ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", root.At("/install")), 0);
  EXPECT_EQ(ServerCertFolder(), root.At("/install/cert"));

  // An install folder that cannot be made refuses rather than writing elsewhere.
  vqtest::WriteFileBytes(root.At("/blocked"), "a file in the way");
  ASSERT_EQ(RegWriteProductValue("QIMBO_HOME", "/blocked"), 0);
  LogInit(nullptr);
  EXPECT_EQ(ServerCertFolder(), "");
  EXPECT_TRUE(Logged("Can't find cert directory ["));
}

}  // namespace
}  // namespace brindleway
