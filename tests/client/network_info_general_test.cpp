// The General page of Network Information: status replies in, the texts the
// user reads out, under the headless host.
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "client/cert_token.h"
#include "client/ui/general_page.h"
#include "client/ui/network_info_dialog.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"
#include "support/wire.h"

namespace {

using namespace client;
using namespace platform::ui;

// A status reply with the fields the page reads, by their offsets.
struct Reply {
  uint32_t gateway = 0, local = 0, packetsReceived = 0, packetsSent = 0, bytesReceived = 0, bytesSent = 0;
  double seconds = 0;
  uint16_t cipher = 0, hash = 0, protocol = 0, compression = 0;
  std::array<uint32_t, 4> counters{};

  StatusBlock Block() const {
    uint8_t r[kInqueryReplySize] = {3};
    wire::PutU32(r + 5, gateway);
    wire::PutU32(r + 9, local);
    wire::PutU32(r + 13, packetsReceived);
    wire::PutU32(r + 17, packetsSent);
    wire::PutU32(r + 21, bytesReceived);
    wire::PutU32(r + 25, bytesSent);
    wire::PutF64(r + 29, seconds);
    wire::PutU16(r + 41, cipher);
    wire::PutU16(r + 43, hash);
    wire::PutU16(r + 45, protocol);
    wire::PutU16(r + 47, compression);
    for (size_t i = 0; i < 4; ++i) wire::PutU32(r + 49 + 4 * i, counters[i]);
    StatusBlock b;
    EXPECT_TRUE(b.Store(r, sizeof r));
    return b;
  }
};

// The address bytes as the service writes them (network order) into the reply.
uint32_t Wire(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  return wire::GetU32(bytes);
}

class NetworkInfoGeneral : public ::testing::Test {
 protected:
  void SetUp() override { host_.SetStrings(vqtest::ClientStrings(1033)); }

  Dialog* Open() {
    Dialog* d = OpenNetworkInfo(host_, nullptr, [this] { return StatusSnapshot{reply_.Block(), state_}; });
    host_.RunUntilIdle();
    return d;
  }
  Dialog* General() { return host_.FindDialog(IDD_GENERAL_PAGE); }

  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
  Reply reply_;
  int state_ = 1;
};

TEST_F(NetworkInfoGeneral, BeforeTheFirstPollEveryFieldShowsItsZeroForm) {
  ASSERT_NE(Open(), nullptr);
  Dialog* g = General();
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->Text(IDC_DURATION), "00:00:00");
  for (int id : {IDC_PACKETS_SENT, IDC_PACKETS_RECEIVED, IDC_BYTES_SENT, IDC_BYTES_RECEIVED}) EXPECT_EQ(g->Text(id), "0");
  EXPECT_EQ(g->Text(IDC_SERVER), "0.0.0.0");
  EXPECT_EQ(g->Text(IDC_CLIENT), "0.0.0.0");
  EXPECT_EQ(g->Text(IDC_CIPHER), "Unknown");
  EXPECT_EQ(g->Text(IDC_VERSION), "Unknown");
  EXPECT_EQ(g->Text(IDC_ALGORITHM), "None");
  EXPECT_EQ(g->Text(IDC_STATUS), "Disconnected");
  // No packets compressed: the ratio of a zero divisor.
  EXPECT_EQ(g->Text(IDC_RATIO_RECEIVED), "0.0%");
  EXPECT_EQ(g->Text(IDC_RATIO_SENT), "0.0%");
}

TEST_F(NetworkInfoGeneral, FieldsOfAReply) {
  struct Case {
    const char* what;
    Reply reply;
    int state;
    int id;
    const char* text;
  };
  auto with = [](auto set) {
    Reply r;
    set(r);
    return r;
  };
  const Case cases[] = {
      {"duration", with([](Reply& r) { r.seconds = 3725.9; }), 4, IDC_DURATION, "01:02:05"},
      {"a day", with([](Reply& r) { r.seconds = 90061; }), 4, IDC_DURATION, "25:01:01"},
      {"negative time", with([](Reply& r) { r.seconds = -5; }), 4, IDC_DURATION, "00:00:00"},
      {"packets 999", with([](Reply& r) { r.packetsSent = 999; }), 4, IDC_PACKETS_SENT, "999"},
      {"packets 1000", with([](Reply& r) { r.packetsReceived = 1000; }), 4, IDC_PACKETS_RECEIVED, "1,000"},
      {"bytes 1234567", with([](Reply& r) { r.bytesSent = 1234567; }), 4, IDC_BYTES_SENT, "1,234,567"},
      {"bytes max", with([](Reply& r) { r.bytesReceived = 4294967295u; }), 4, IDC_BYTES_RECEIVED, "4,294,967,295"},
      {"inner zeros", with([](Reply& r) { r.bytesReceived = 1000001; }), 4, IDC_BYTES_RECEIVED, "1,000,001"},
      {"state 0", {}, 0, IDC_STATUS, "Disconnecting"},
      {"state 1", {}, 1, IDC_STATUS, "Disconnected"},
      {"state 2", {}, 2, IDC_STATUS, "Connecting"},
      {"state 3", {}, 3, IDC_STATUS, "Reconnecting"},
      {"state 4", {}, 4, IDC_STATUS, "Connected"},
      {"state 7", {}, 7, IDC_STATUS, "Unknown"},
      {"server", with([](Reply& r) { r.gateway = Wire(10, 123, 0, 1); }), 4, IDC_SERVER, "10.123.0.1"},
      {"client", with([](Reply& r) { r.local = Wire(192, 168, 1, 200); }), 4, IDC_CLIENT, "192.168.1.200"},
      {"all bits", with([](Reply& r) { r.gateway = 0xFFFFFFFF; }), 4, IDC_SERVER, "0.0.0.0"},
      {"AES SHA-1", with([](Reply& r) { r.cipher = 12, r.hash = 2; }), 4, IDC_CIPHER, "AES,SHA-1"},
      {"AES256 SHA-512", with([](Reply& r) { r.cipher = 15, r.hash = 7; }), 4, IDC_CIPHER, "AES256,SHA-512"},
      {"3DES MD5", with([](Reply& r) { r.cipher = 3, r.hash = 1; }), 4, IDC_CIPHER, "3DES,MD5"},
      {"hash alone", with([](Reply& r) { r.hash = 2; }), 4, IDC_CIPHER, "SHA-1"},
      {"cipher alone", with([](Reply& r) { r.cipher = 14, r.hash = 99; }), 4, IDC_CIPHER, "AES192"},
      {"neither", {}, 4, IDC_CIPHER, "Unknown"},
      {"TLSv1", with([](Reply& r) { r.protocol = 1; }), 4, IDC_VERSION, "TLSv1"},
      {"SSLv2", with([](Reply& r) { r.protocol = 2; }), 4, IDC_VERSION, "SSLv2"},
      {"SSLv3", with([](Reply& r) { r.protocol = 3; }), 4, IDC_VERSION, "SSLv3"},
      {"TLSv1.1", with([](Reply& r) { r.protocol = 4; }), 4, IDC_VERSION, "TLSv1.1"},
      {"TLSv1.2", with([](Reply& r) { r.protocol = 5; }), 4, IDC_VERSION, "TLSv1.2"},
      {"TLSv1.3", with([](Reply& r) { r.protocol = 6; }), 4, IDC_VERSION, "TLSv1.3"},
      {"protocol 9", with([](Reply& r) { r.protocol = 9; }), 4, IDC_VERSION, "Unknown"},
      {"deflate", with([](Reply& r) { r.compression = 2; }), 4, IDC_ALGORITHM, "Deflate"},
      {"other compression", with([](Reply& r) { r.compression = 1; }), 4, IDC_ALGORITHM, "None"},
      {"received ratio", with([](Reply& r) { r.counters = {100, 50, 0, 0}; }), 4, IDC_RATIO_RECEIVED, "50.0%"},
      {"sent ratio", with([](Reply& r) { r.counters = {0, 0, 3, 1}; }), 4, IDC_RATIO_SENT, "33.3%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reply_ = c.reply;
    state_ = c.state;
    Dialog* d = Open();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(General()->Text(c.id), c.text);
    d->EndDialog(IDOK);
    host_.RunUntilIdle();
  }
}

TEST_F(NetworkInfoGeneral, ARatioOfAHundredPercentOrMoreKeepsTheOldText) {
  reply_.counters = {100, 50, 100, 25};
  ASSERT_NE(Open(), nullptr);
  Dialog* g = General();
  EXPECT_EQ(g->Text(IDC_RATIO_RECEIVED), "50.0%");
  EXPECT_EQ(g->Text(IDC_RATIO_SENT), "25.0%");
  reply_.counters = {100, 100, 100, 250};
  host_.Advance(kGeneralPeriodMs);
  EXPECT_EQ(g->Text(IDC_RATIO_RECEIVED), "50.0%");
  EXPECT_EQ(g->Text(IDC_RATIO_SENT), "25.0%");
  reply_.counters = {0, 0, 200, 1};
  host_.Advance(kGeneralPeriodMs);
  EXPECT_EQ(g->Text(IDC_RATIO_RECEIVED), "0.0%");
  EXPECT_EQ(g->Text(IDC_RATIO_SENT), "0.5%");
}

TEST_F(NetworkInfoGeneral, ChineseTexts) {
  host_.SetStrings(vqtest::ClientStrings(2052));
  state_ = 4;
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), "网络信息");
  EXPECT_EQ(d->ItemText(IDC_NETWORK_INFO_TABS, 0), "常规");
  EXPECT_EQ(General()->Text(IDC_STATUS), "已连接");
  EXPECT_EQ(General()->Text(IDC_CIPHER), "未知");
}

}  // namespace
