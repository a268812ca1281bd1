// The tunnel service's run body with a real command pipe, a real report
// pipe (played by the fake client application) and the test gateway:
// VQ_OPEN_CHANNEL -> channel thread -> set-up -> key exchange -> reports
// 120 and 13 -> VQ_INQUERY shows state 4; VQ_CLOSE_CHANNEL ends it. The data
// path is a recording stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Brindleway/common/constants.h"
#include "Brindleway/control/tls_context.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/password_login.h"
#include "Brindleway/protocol_version_scope.h"
#include "Brindleway/service/channel_service.h"
#include "Brindleway/service/gui_command.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/temp_root.h"
#include "gateway/negotiation_script.h"
#include "support/conn_info_codec.h"
#include "support/wire.h"

namespace brindleway {
namespace {

using vqtest::Eventually;

uint32_t InquiredState() {
  std::vector<uint8_t> reply;
  if (vqtest::SendCommand({VQ_INQUERY}, reply) != 0 || reply.size() < kInqueryReplySize) return 0xFFFFFFFF;
  return wire::GetU32(reply.data() + 37);
}

// The VQ_EVENT codes among the reports, in order.
std::vector<uint32_t> Events(const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<uint32_t> events;
  for (const auto& m : messages) {
    if (m.size() >= 5 && m[0] == 7) events.push_back(wire::GetU32(m.data() + 1));
  }
  return events;
}

TEST(ChannelServiceOpen, OpenThroughThePipeConnectsAndCloseEndsIt) {
  vqtest::TempRoot root;
  ProtocolVersionScope version(0x10);
  SetStoredServerCertCheck([](X509*) { return 1; });
  vqgw::TlsGateway gateway(vqgw::GatewayOptions{.script = vqgw::HappyPathScript({})});
  vqtest::FakePipeServer gui;
  FixedNetwork network;

  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  ChannelServiceSetup setup;
  setup.parts.startTunnel = [&](CChannelSession&) {
    ++starts;
    return 0;
  };
  setup.parts.stopTunnel = [&](CChannelSession& s) {
    ++stops;
    s.m_iState = NEG_STATE_NONE;
    SendLogout(s);
    s.CloseChannel();
  };
  setup.network = network.View();

  platform::Event stop(platform::Event::Reset::Manual);
  int result = -100;
  std::thread service([&] { result = RunChannelService(stop, platform::InstanceLock::Role::Console, setup); });
  ASSERT_TRUE(Eventually([] { return InquiredState() == CHANNEL_STATE_IDLE; }));

  std::vector<uint8_t> open(1 + conn_info::kWireSize, 0);
  open[0] = VQ_OPEN_CHANNEL;
  ASSERT_TRUE(EncodeConnInfo(PasswordLogin("127.0.0.1", gateway.Port()), open.data() + 1));
  std::vector<uint8_t> reply;
  ASSERT_EQ(vqtest::SendCommand(open, reply), 0u);

  EXPECT_TRUE(Eventually([] { return InquiredState() == CHANNEL_STATE_CONNECTED; }));
  EXPECT_TRUE(Eventually([&] { return Events(gui.Messages()).size() >= 2; }));
  EXPECT_EQ(Events(gui.Messages()), (std::vector<uint32_t>{120, 13}));
  EXPECT_EQ(starts.load(), 1);

  ASSERT_EQ(vqtest::SendCommand({VQ_CLOSE_CHANNEL}, reply), 0u);
  EXPECT_TRUE(Eventually([] { return InquiredState() == CHANNEL_STATE_IDLE; }));
  EXPECT_EQ(stops.load(), 1);
  EXPECT_TRUE(gateway.WaitFinished(0));
  EXPECT_TRUE(gateway.Connections()[0].peerSentCloseNotify);

  stop.Set();
  service.join();
  EXPECT_EQ(result, RUN_OK);
  SetStoredServerCertCheck(nullptr);
  esp_sa_cleanup();
}

}  // namespace
}  // namespace brindleway
