// The key block, the data path's refusal outside the keyed state, and the
// small text helpers of the session.
#include "Brindleway/channel/data_path.h"

#include <gtest/gtest.h>

#include <string>

#include "Brindleway/adapter/dhcp_client.h"
#include "Brindleway/control/host_texts.h"
#include "Brindleway/datapath/key_block.h"
#include "Brindleway/recording_gui_reports.h"
#include "common/temp_root.h"
#include "support/text_convert.h"

namespace brindleway {
namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

// Expected digests computed apart from the client, with Python's hashlib.
TEST(DeriveKeyBlock, ChainsTenDigestsOfTheMaterial) {
  std::array<uint8_t, 48> material{};
  for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<uint8_t>(i);
  std::array<uint8_t, KEY_BLOCK_LENGTH> block{};
  ASSERT_EQ(DeriveKeyBlock(material, block), 0);
  EXPECT_EQ(Hex(block.data(), 20), "df7f23b160e75b9bae5ea1e62b43a5a34a260127");
  EXPECT_EQ(Hex(block.data() + 20, 20), "e9ec19f739854e70a63335f43b64f828a1baa6b5");
  EXPECT_EQ(Hex(block.data() + 180, 20), "9a0b7a67ca7ca95e9310850088d04f04ff547f19");
}

TEST(StartTunnel, RefusedOutsideTheKeyedStateWithoutTouchingTheAdapter) {
  vqtest::TempRoot root;
  ChannelContext ctx;
  RecordingGuiReports gui;
  CChannelSession session(gui);
  DataPath path(ctx, [](uint32_t, uint32_t) {});
  for (uint8_t state : {NEG_STATE_NONE, NEG_STATE_KEY_DONE, NEG_STATE_HEARTBEAT_ANSWERED}) {
    session.m_iState = state;
    EXPECT_EQ(path.StartTunnel(session), 41);
    EXPECT_EQ(path.Tun(), nullptr);
  }
  // A stop with nothing started still ends in the idle state.
  ctx.channelState = CHANNEL_STATE_CLOSING;
  path.StopTunnel(session);
  EXPECT_EQ(ctx.channelState.load(), CHANNEL_STATE_IDLE);
  EXPECT_EQ(session.m_iState, NEG_STATE_NONE);
}

TEST(DhcpClient, ARunningClientIsNeitherStartedNorRestored) {
  vqtest::TempRoot root;
  uint32_t startType = 0;
  uint32_t state = 0;
  EXPECT_FALSE(EnsureDhcpClientRunning(startType, state));
  EXPECT_EQ(state, 4u);
}

TEST(HostTexts, NarrowConversionRefusesWhatTheCodePageLacks) {
  const std::string saved = CodePageName(CodePage::Ansi);
  ASSERT_TRUE(SetCodePage(CodePage::Ansi, "CP1252"));
  std::string out = "untouched";
  EXPECT_TRUE(WideToNarrow(u"caf\u00e9", out));
  EXPECT_EQ(out, "caf\xe9");
  out = "untouched";
  EXPECT_FALSE(WideToNarrow(u"\u4e2d\u6587", out));
  EXPECT_EQ(out, "untouched");
  std::u16string wide;
  EXPECT_TRUE(NarrowToWide("caf\xe9", wide));
  EXPECT_EQ(wide, u"caf\u00e9");
  SetCodePage(CodePage::Ansi, saved);
}

TEST(HostTexts, FormatTextGrowsAndHasALimit) {
  std::u16string out;
  EXPECT_EQ(FormatText(out, "%s-%d", std::string(3000, 'x'), 7), 3002);
  EXPECT_EQ(out.size(), 3002u);
  EXPECT_EQ(FormatText(out, "%s", std::string(kFormatTextLimit + 1, 'x')), -1);
  EXPECT_TRUE(out.empty());
}

TEST(HostTexts, HostNameIsNeverEmpty) {
  std::string name;
  EXPECT_TRUE(GetHostNameText(name));
  EXPECT_FALSE(name.empty());
  std::string shortName;
  EXPECT_TRUE(GetHostNameText(shortName, 3));
  EXPECT_LE(shortName.size(), 2u);
}

}  // namespace
}  // namespace brindleway
