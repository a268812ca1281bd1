#include "client/ui/general_page.h"

#include <cstdio>

#include "platform/ui/win32_ui.h"

using namespace platform::ui;

namespace client {

const DialogTemplate& GeneralPageTemplate() {
  static const DialogTemplate templ(
      IDD_GENERAL_PAGE,
      {
          {.kind = ControlKind::GroupBox, .row = 0, .col = 0, .rowSpan = 2, .colSpan = 3},  // Connection Status
          {.kind = ControlKind::Label, .row = 0, .col = 0},
          {.id = IDC_STATUS, .kind = ControlKind::Label, .row = 0, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 1, .col = 0},
          {.id = IDC_DURATION, .kind = ControlKind::Label, .row = 1, .col = 1, .colSpan = 2},
          {.kind = ControlKind::GroupBox, .row = 2, .col = 0, .rowSpan = 2, .colSpan = 3},  // Address Information
          {.kind = ControlKind::Label, .row = 2, .col = 0},
          {.id = IDC_SERVER, .kind = ControlKind::Label, .row = 2, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 3, .col = 0},
          {.id = IDC_CLIENT, .kind = ControlKind::Label, .row = 3, .col = 1, .colSpan = 2},
          {.kind = ControlKind::GroupBox, .row = 4, .col = 0, .rowSpan = 2, .colSpan = 3},  // Crypto Suite
          {.kind = ControlKind::Label, .row = 4, .col = 0},
          {.id = IDC_CIPHER, .kind = ControlKind::Label, .row = 4, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 5, .col = 0},
          {.id = IDC_VERSION, .kind = ControlKind::Label, .row = 5, .col = 1, .colSpan = 2},
          {.kind = ControlKind::GroupBox, .row = 6, .col = 0, .rowSpan = 3, .colSpan = 3},  // Statistics
          {.kind = ControlKind::Label, .row = 6, .col = 1},                                 // Sent
          {.kind = ControlKind::Label, .row = 6, .col = 2},                                 // Received
          {.kind = ControlKind::Label, .row = 7, .col = 0},                                 // Tunnel Packets
          {.id = IDC_PACKETS_SENT, .kind = ControlKind::Label, .row = 7, .col = 1},
          {.id = IDC_PACKETS_RECEIVED, .kind = ControlKind::Label, .row = 7, .col = 2},
          {.kind = ControlKind::Label, .row = 8, .col = 0},  // Tunnel Bytes
          {.id = IDC_BYTES_SENT, .kind = ControlKind::Label, .row = 8, .col = 1},
          {.id = IDC_BYTES_RECEIVED, .kind = ControlKind::Label, .row = 8, .col = 2},
          {.kind = ControlKind::GroupBox, .row = 9, .col = 0, .rowSpan = 3, .colSpan = 3},  // IPCompress
          {.kind = ControlKind::Label, .row = 9, .col = 0},                                 // Algorithm
          {.id = IDC_ALGORITHM, .kind = ControlKind::Label, .row = 9, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 10, .col = 1},  // Sent
          {.kind = ControlKind::Label, .row = 10, .col = 2},  // Received
          {.kind = ControlKind::Label, .row = 11, .col = 0},  // Compress Ratio
          {.id = IDC_RATIO_SENT, .kind = ControlKind::Label, .row = 11, .col = 1},
          {.id = IDC_RATIO_RECEIVED, .kind = ControlKind::Label, .row = 11, .col = 2},
      },
      false, true);
  return templ;
}

std::string FormatDuration(double seconds) {
  // A reply is data from another process: no time is negative, and none
  // may overflow the hours.
  if (!(seconds >= 0)) seconds = 0;
  if (seconds > 3600.0 * 999999) seconds = 3600.0 * 999999;
  const int hours = static_cast<int>(seconds / 3600);
  const int minutes = static_cast<int>((seconds - 3600.0 * hours) / 60);
  const int rest = static_cast<int>(seconds - 3600.0 * hours - 60.0 * minutes);
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, rest);
  return text;
}

std::string FormatThousands(uint32_t value) {
  if (value < 1000) return std::to_string(value);
  char group[8];
  std::snprintf(group, sizeof group, ",%03u", value % 1000);
  return FormatThousands(value / 1000) + group;
}

std::string FormatStatusAddress(uint32_t address) {
  if (address == 0xFFFFFFFFu) address = 0;
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                address >> 24);
  return text;
}

uint32_t ChannelStateText(int state) {
  switch (state) {
    case 0: return IDS_DISCONNECTING;
    case 1: return IDS_DISCONNECTED;
    case 2: return IDS_CONNECTING;
    case 3: return IDS_RECONNECTING;
    case 4: return IDS_CONNECTED;
    default: return IDS_UNKNOWN;
  }
}

namespace {

const char* CipherName(uint16_t id) {
  switch (id) {
    case 2: return "DES";
    case 3: return "3DES";
    case 11: return "Null";
    case 12: return "AES";
    case 14: return "AES192";
    case 15: return "AES256";
    default: return nullptr;
  }
}

const char* HashName(uint16_t id) {
  switch (id) {
    case 1: return "MD5";
    case 2: return "SHA-1";
    case 5: return "SHA-256";
    case 6: return "SHA-384";
    case 7: return "SHA-512";
    case 8: return "Null";
    default: return nullptr;
  }
}

}  // namespace

std::optional<std::string> CipherSuiteName(uint16_t cipher, uint16_t hash) {
  const char* c = CipherName(cipher);
  const char* h = HashName(hash);
  if (c && h) return std::string(c) + "," + h;
  if (c) return c;
  if (h) return h;
  return std::nullopt;
}

std::optional<std::string> ProtocolName(uint16_t protocol) {
  switch (protocol) {
    case 1: return "TLSv1";
    case 2: return "SSLv2";
    case 3: return "SSLv3";
    // The service reports the newer protocols too; without them every
    // connection of today would read "Unknown".
    case 4: return "TLSv1.1";
    case 5: return "TLSv1.2";
    case 6: return "TLSv1.3";
    default: return std::nullopt;
  }
}

std::optional<std::string> CompressRatio(uint32_t numerator, uint32_t divisor) {
  const float ratio = divisor == 0 ? 0.0f : static_cast<float>(numerator) / static_cast<float>(divisor) * 100.0f;
  if (ratio >= 100.0f) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%2.1f%%", ratio);
  return text;
}

void GeneralPageLogic::OnShow(Dialog& d, bool shown) {
  if (shown)
    d.SetTimer(kGeneralTimer, kGeneralPeriodMs);
  else
    d.KillTimer(kGeneralTimer);
}

void GeneralPageLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kGeneralTimer) Fill(d);
}

void GeneralPageLogic::Fill(Dialog& d) {
  const StatusSnapshot s = read_();
  const StatusBlock& b = s.block;
  UiHost& host = d.host();
  d.SetText(IDC_DURATION, FormatDuration(b.GetStatusConnectedTime()));
  d.SetText(IDC_PACKETS_SENT, FormatThousands(b.GetStatusPacketsSent()));
  d.SetText(IDC_PACKETS_RECEIVED, FormatThousands(b.GetStatusPacketsReceived()));
  d.SetText(IDC_BYTES_SENT, FormatThousands(b.GetStatusBytesSent()));
  d.SetText(IDC_BYTES_RECEIVED, FormatThousands(b.GetStatusBytesReceived()));
  d.SetText(IDC_STATUS, host.LoadString(ChannelStateText(s.channelState)));
  d.SetText(IDC_SERVER, FormatStatusAddress(b.GetStatusGatewayAddress()));
  d.SetText(IDC_CLIENT, FormatStatusAddress(b.GetStatusLocalAddress()));
  d.SetText(IDC_CIPHER, CipherSuiteName(b.GetStatusCipherId(), b.GetStatusHashId()).value_or(host.LoadString(IDS_UNKNOWN)));
  d.SetText(IDC_VERSION, ProtocolName(b.GetStatusProtocolId()).value_or(host.LoadString(IDS_UNKNOWN_VERSION)));
  d.SetText(IDC_ALGORITHM, b.GetStatusCompression() == 2 ? "Deflate" : "None");
  if (auto r = CompressRatio(b.GetStatusCompressionCounter(1), b.GetStatusCompressionCounter(0))) d.SetText(IDC_RATIO_RECEIVED, *r);
  if (auto r = CompressRatio(b.GetStatusCompressionCounter(3), b.GetStatusCompressionCounter(2))) d.SetText(IDC_RATIO_SENT, *r);
}

}  // namespace client
