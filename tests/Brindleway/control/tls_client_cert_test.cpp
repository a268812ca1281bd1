// The USB key's client certificate in the control channel's handshake: a
// SoftHSM2 token holds the user's key and certificate, the test gateway
// requires a client certificate from the test CA.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/tls_context.h"
#include "common/softhsm_user.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "platform/registry/registry.h"
#include "support/cert_settings.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"

#include "Brindleway/recording_gui_reports.h"

namespace brindleway {
namespace {

namespace reg = platform::registry;
using Bytes = std::vector<uint8_t>;

// The user's choice of certificate as the client application stores it.
struct Choice {
  uint32_t useDefault = 0;
  std::string defaultProvider;
  Bytes fingerprint;
};

void StoreChoice(const Choice& choice) {
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
  ASSERT_EQ(key.SetValue("IsUseDefaultCert", reg::REG_DWORD, RegDwordBytes(choice.useDefault)), 0u);
  ASSERT_EQ(key.SetValue("DefaultCSPName", reg::REG_SZ, RegSzBytes(choice.defaultProvider)), 0u);
  ASSERT_EQ(key.SetValue("CertFingerPrint", reg::REG_BINARY, choice.fingerprint), 0u);
}

class TlsClientCertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    // The gateway's certificate is a throw-away one: trust it.
    SetStoredServerCertCheck([](X509*) { return 1; });
    ASSERT_NE(SetUsbKeyPin(USB_KEY_PROVIDER_NAME, vqtest::SoftHsmToken::kUserPin), 0);
  }
  void TearDown() override { SetStoredServerCertCheck(nullptr); }

  vqgw::GatewayOptions RequiringOurCa(int maxVersion = 0) const {
    vqgw::GatewayOptions options;
    options.clientCa = vqgw::ShareX509Cert(user_.ca.cert());
    options.maxVersion = maxVersion;
    return options;
  }
  vqtest::SoftHsmUser user_;
  RecordingGuiReports reports_;
};

TEST_F(TlsClientCertTest, TheGatewaySeesTheTokensCertificate) {
  const Choice choices[] = {
      {1, "", {}},                                   // the USB key's provider by default
      {1, USB_KEY_PROVIDER_NAME, {}},                // named
      {0, "", vqtest::Thumbprint(user_.cert.get())},  // by fingerprint
  };
  for (const Choice& choice : choices) {
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
      SCOPED_TRACE(::testing::Message() << "default " << choice.useDefault << " provider '" << choice.defaultProvider
                                        << "' version " << std::hex << version);
      StoreChoice(choice);
      vqgw::TlsGateway gateway(RequiringOurCa(version));
      CChannelSession session(reports_);
      ASSERT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), 1), 0);
      ASSERT_TRUE(gateway.WaitConnections(1));
      session.CloseChannel();
      ASSERT_TRUE(gateway.WaitFinished(0));
      const vqgw::ConnectionRecord seen = gateway.Connections()[0];
      EXPECT_TRUE(seen.handshakeDone);
      EXPECT_EQ(seen.clientCertDer, vqtest::CertDer(user_.cert.get()));
    }
  }
}

TEST_F(TlsClientCertTest, WithoutAMatchingCertificateTheHandshakeGoesOnWithoutOneAndTheGatewayRefuses) {
  const vqtest::TestCa otherCa("Other CA");
  const auto otherKey = vqtest::MakeRsaKey();
  const auto otherCert = otherCa.Issue("Somebody Else", otherKey.get());
  const struct {
    const char* name;
    Choice choice;
    int useUsbKey;
  } cases[] = {
      {"fingerprint of a certificate not in the store", {0, "", vqtest::Thumbprint(otherCert.get())}, 1},
      {"provider with no certificate", {1, "Some Other Provider", {}}, 1},
      {"no USB-key login", {1, "", {}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StoreChoice(c.choice);
    // TLS 1.2: the refusal arrives inside the client's handshake.
    {
      vqgw::TlsGateway gateway(RequiringOurCa(TLS1_2_VERSION));
      CChannelSession session(reports_);
      EXPECT_EQ(session.ConnectChannel("127.0.0.1", gateway.Port(), c.useUsbKey), VQ_ERR_SSL_CONNECT);
      ASSERT_TRUE(gateway.WaitFinished(0));
      EXPECT_FALSE(gateway.Connections()[0].handshakeDone);
      EXPECT_EQ(gateway.Connections()[0].handshakeError, "peer did not return a certificate");
    }
    // TLS 1.3: the client is done first; the gateway's refusal ends the
    // connection, either before the connect captured its addresses or
    // before anything can be read.
    {
      vqgw::TlsGateway gateway(RequiringOurCa(TLS1_3_VERSION));
      CChannelSession session(reports_);
      const int result = session.ConnectChannel("127.0.0.1", gateway.Port(), c.useUsbKey);
      ASSERT_TRUE(gateway.WaitFinished(0));
      EXPECT_FALSE(gateway.Connections()[0].handshakeDone);
      EXPECT_EQ(gateway.Connections()[0].handshakeError, "peer did not return a certificate");
      if (result == 0) {
        ASSERT_TRUE(session.WaitReadable(5000));
        EXPECT_NE(session.ReadChannel(), 0);
      } else {
        EXPECT_EQ(result, VQ_ERR_SSL_CONNECT);
      }
      session.CloseChannel();
    }
  }
  EXPECT_TRUE(reports_.Events().empty());
}

}  // namespace
}  // namespace brindleway
