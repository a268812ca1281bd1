// The General page (template 112) of Network Information: the tunnel's
// status as the last status poll stored it, filled again every 1000 ms
// (timer 1) while the page is shown.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/app/client_constants.h"
#include "client/app/status_block.h"
#include "platform/ui/dialog.h"

namespace client {

inline constexpr int IDD_GENERAL_PAGE = 112;
inline constexpr int IDC_DURATION = 1003;
inline constexpr int IDC_STATUS = 1004;
inline constexpr int IDC_ALGORITHM = 1013;
inline constexpr int IDC_CIPHER = 1020;
inline constexpr int IDC_SERVER = 1021;
inline constexpr int IDC_CLIENT = 1022;
inline constexpr int IDC_PACKETS_RECEIVED = 1023;
inline constexpr int IDC_RATIO_SENT = 1027;
inline constexpr int IDC_BYTES_SENT = 1028;
inline constexpr int IDC_PACKETS_SENT = 1045;
inline constexpr int IDC_BYTES_RECEIVED = 1046;
inline constexpr int IDC_RATIO_RECEIVED = 1047;
inline constexpr int IDC_VERSION = 1049;
inline constexpr uint32_t kGeneralTimer = 1;
inline constexpr uint32_t kGeneralPeriodMs = 1000;

// String entries of the page's texts (the status texts are the tray's).
inline constexpr uint32_t IDS_UNKNOWN_VERSION = 1148;

const platform::ui::DialogTemplate& GeneralPageTemplate();

// "HH:MM:SS" of whole seconds.
std::string FormatDuration(double seconds);
// Groups of three digits joined by ",".
std::string FormatThousands(uint32_t value);
// The four bytes of an address as the reply holds them, in order; all
// bits set shows "0.0.0.0".
std::string FormatStatusAddress(uint32_t address);
// The string entry of a channel state.
uint32_t ChannelStateText(int state);
// "CIPHER,HASH", the one known alone, or nothing when neither is known.
std::optional<std::string> CipherSuiteName(uint16_t cipher, uint16_t hash);
// "TLSv1.3" and the like; nothing for an unknown id.
std::optional<std::string> ProtocolName(uint16_t protocol);
// numerator / divisor in per cent as "%2.1f%%", 0 for a zero divisor;
// nothing at 100 % or more (the control keeps its text then).
std::optional<std::string> CompressRatio(uint32_t numerator, uint32_t divisor);

struct StatusSnapshot {
  StatusBlock block;
  int channelState = 1;
};
using StatusReader = std::function<StatusSnapshot()>;

class GeneralPageLogic : public platform::ui::DialogLogic {
 public:
  explicit GeneralPageLogic(StatusReader read) : read_(std::move(read)) {}
  void OnInit(platform::ui::Dialog& d) override { Fill(d); }
  void OnShow(platform::ui::Dialog& d, bool shown) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;

  void Fill(platform::ui::Dialog& d);

 private:
  StatusReader read_;
};

}  // namespace client
