#include "client/app/tray_icon.h"

#include <string>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/report_state.h"

namespace client {
namespace {

// The tip takes the status text cut to this many UTF-16 units.
constexpr size_t kStatusTextUnits = 64;

std::string Tip(platform::ui::UiHost& host, uint32_t textId, std::string* text = nullptr) {
  std::string status = host.LoadString(textId, kStatusTextUnits);
  std::string tip = std::string(kProductTitle) + " - " + status;
  if (text) *text = std::move(status);
  return tip;
}

// Icon and status text (string entry) of a status; at 4, whether packets
// moved since the last tick picks the busy icon.
struct TrayLook {
  int icon;
  uint32_t textId;
};

TrayLook TrayLookFor(int status, bool trafficMoved) {
  switch (status) {
    case kStatusClosing: return {kTrayIconClosing, IDS_DISCONNECTING};
    case kStatusDisconnected: return {kTrayIconDisconnected, IDS_DISCONNECTED};
    case kStatusConnecting: return {kTrayIconConnecting, IDS_CONNECTING};
    case kStatusReconnecting: return {kTrayIconConnecting, IDS_RECONNECTING};
    case kStatusConnected: return {trafficMoved ? kTrayIconTraffic : kTrayIconConnected, IDS_CONNECTED};
    default: return {kTrayIconDisconnected, IDS_UNKNOWN};
  }
}

}  // namespace

void TrayIcon::Add() { app_.Host().SetTrayIcon(kTrayIconDisconnected, Tip(app_.Host(), IDS_DISCONNECTED)); }

void TrayIcon::ReAdd() {
  app_.Host().RemoveTrayIcon();
  Add();
  Update();
}

void TrayIcon::Remove() { app_.Host().RemoveTrayIcon(); }

void TrayIcon::Update() {
  platform::ui::UiHost& host = app_.Host();
  const int status = app_.GetChannelStatus();
  const StatusBlock& block = app_.Link().Status();
  const uint32_t received = block.GetStatusPacketsReceived();
  const uint32_t sent = block.GetStatusPacketsSent();
  const bool moved = received != previousReceived_ || sent != previousSent_;

  const TrayLook look = TrayLookFor(status, moved);
  std::string text;
  host.SetTrayIcon(look.icon, Tip(host, look.textId, &text));
  if (status == kStatusConnected) app_.Reports().hostCheckBalloon = false;
  if (status != previousStatus_) host.ShowBalloon(kProductTitle, text, platform::ui::BalloonIcon::Info);

  previousStatus_ = status;
  previousReceived_ = received;
  previousSent_ = sent;
}

}  // namespace client
