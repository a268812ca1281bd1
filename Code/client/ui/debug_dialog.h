// The Debug window (dialog 138): sets the tunnel service's debug-trace
// mask. OK sends the ticked boxes' mask ("Undebug" wins: 0); Cancel sends
// nothing.
#pragma once

#include <cstdint>

#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_DEBUG = 138;
inline constexpr int IDC_UNDEBUG = 1043;
inline constexpr int IDC_DEBUG_BASIC = 1045;
inline constexpr int IDC_DEBUG_PACKETS = 1046;
inline constexpr int IDC_DEBUG_EVENTS = 1047;

// Bits of the trace mask.
inline constexpr uint32_t kTraceBasic = 0x1;
inline constexpr uint32_t kTraceEvents = 0x2;
inline constexpr uint32_t kTracePackets = 0x4;

const platform::ui::DialogTemplate& DebugTemplate();

// The mask the dialog's boxes stand for.
uint32_t TraceMaskOf(const platform::ui::DialogModel& d);

class DebugDialogLogic : public platform::ui::DialogLogic {
 public:
  explicit DebugDialogLogic(ClientApp& app) : app_(app) {}
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

 private:
  ClientApp& app_;
};

// Opens dialog 138 modal without owner (the tray brings an open
// one forward instead).
platform::ui::Dialog* OpenDebugDialog(ClientApp& app);

}  // namespace client
