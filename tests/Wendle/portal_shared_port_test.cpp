// One gateway port carries both: the tunnel service's channel negotiates on
// it (and keeps the gateway's certificate on first use), then the web
// download fetches the installer from the portal on the same port and finds
// the certificate the tunnel service stored.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "Brindleway/channel/channel_session.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/post_recorder.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/recording_gui_reports.h"
#include "Wendle/web_download.h"
#include "common/temp_root.h"
#include "gateway/negotiation_script.h"
#include "gateway/portal.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"
#include "platform/http/cookie_store.h"
#include "platform/registry/registry.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/server_cert_file.h"

namespace brindleway {
namespace {

namespace reg = platform::registry;

TEST(PortalSharedPort, TheChannelNegotiatesAndTheInstallerDownloadsOnOnePort) {
  vqtest::TempRoot root;
  ProtocolVersionScope version{0x10};
  platform::http::CookieStore::Process().Clear();
  // The install folder, whose cert folder the tunnel service fills.
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Write, key), 0u);
  ASSERT_EQ(key.SetValue("QIMBO_HOME", reg::REG_SZ, RegSzBytes("/opt/tarnwickgate")), 0u);
  SetStoredServerCertCheck(nullptr);

  auto portal = std::make_shared<vqgw::Portal>(vqgw::PortalOptions{.sessionUser = "alice", .sessionId = "c00k1e"});
  portal->AddRoute("/qimbo.exe",
                   vqgw::PortalRoute{[](const vqgw::PortalRequest&) { return vqgw::PortalReply::Body("installer"); }});
  vqgw::NegotiationOptions negotiation;
  negotiation.version = vqgw::kVersion2;
  vqgw::TlsGateway gateway(vqgw::GatewayOptions{.script = vqgw::HappyPathScript(negotiation), .portal = portal});

  ChannelContext ctx;
  RecordingGuiReports gui;
  FixedNetwork network;
  PostRecorder posts;
  platform::Event cancel(platform::Event::Reset::Manual);
  std::unique_ptr<ChannelSession> session;
  SessionParts parts;
  parts.startTunnel = [](CChannelSession&) { return 0; };
  parts.stopTunnel = [](CChannelSession& s) {
    s.m_iState = NEG_STATE_NONE;
    SendLogout(s);
    s.CloseChannel();
  };
  session = std::make_unique<ChannelSession>(ChannelSessionEnv{ctx, gui,
                                                               [&] {
                                                                 ctx.channelState = CHANNEL_STATE_CLOSING;
                                                                 session->CloseChannelSequence();
                                                                 ctx.channelState = CHANNEL_STATE_IDLE;
                                                                 return 0;
                                                               },
                                                               posts.Callback(), parts, network.View()});
  session->SetRequestWaitMs(5000);
  session->SetConnectLimitMs(5000);
  conn_info web;
  web.host = "127.0.0.1";
  web.port = gateway.Port();
  web.auth_type = AUTH_TYPE_COOKIE;
  web.init = CONN_FLAG_NEW_SERVER_CERT | CONN_FLAG_WEB_CONNECT;
  web.user = "alice";
  web.secret1 = "c00k1e";
  ASSERT_EQ(session->SetupChannel(web, 0, 0, cancel), 0);
  EXPECT_EQ(ctx.channelState.load(), CHANNEL_STATE_CONNECTED);
  // The certificate of first use is kept for the gateway's address.
  const std::string stored = ServerCertPath(InstalledServerCertFolder(), Ip("127.0.0.1"));
  ASSERT_TRUE(std::filesystem::exists(stored));

  const std::string file = root.At("/qimbo.bin");
  EXPECT_EQ(GetWebFileWithCookie("https://127.0.0.1:" + std::to_string(gateway.Port()) + "/qimbo.exe", "alice",
                                 "c00k1e", file, nullptr),
            0);
  EXPECT_EQ(vqtest::ReadFileBytes(file), "installer");

  const auto connections = gateway.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_FALSE(connections[0].http);
  EXPECT_FALSE(connections[0].keyRequests.empty());
  EXPECT_TRUE(connections[1].http);
  EXPECT_EQ(connections[1].serverCertDer, connections[0].serverCertDer);
  ASSERT_EQ(portal->Requests().size(), 1u);
  EXPECT_EQ(portal->Requests()[0].target, "/qimbo.exe");

  session.reset();
  esp_sa_cleanup();
}

}  // namespace
}  // namespace brindleway
