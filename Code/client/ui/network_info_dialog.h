// Network Information (dialog 119): the tunnel's state in three pages of a
// tab host, General, Interface and Route. Topmost while open; OK, Cancel
// (Esc on the tab strip) and the close box end it with its pages.
#pragma once

#include "client/ui/general_page.h"
#include "client/ui/tab_page_host.h"
#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_NETWORK_INFO = 119;
inline constexpr int IDC_NETWORK_INFO_TABS = 1026;
inline constexpr int IDB_NETWORK_INFO = 149;
inline constexpr uint32_t IDS_TAB_GENERAL = 1121;
inline constexpr uint32_t IDS_TAB_INTERFACE = 1122;
inline constexpr uint32_t IDS_TAB_ROUTE = 1123;

const platform::ui::DialogTemplate& NetworkInfoTemplate();

class NetworkInfoLogic : public platform::ui::DialogLogic {
 public:
  explicit NetworkInfoLogic(StatusReader status) : status_(std::move(status)) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnNotify(platform::ui::Dialog& d, int id, int code, uint64_t data) override;

  const TabPageHost& Tabs() const { return tabs_; }

 private:
  StatusReader status_;
  TabPageHost tabs_;
};

// Opens dialog 119 modal to owner (may be null) with the status that
// status reads. Nullptr when the host opens nothing (it is shutting down).
platform::ui::Dialog* OpenNetworkInfo(platform::ui::UiHost& host, platform::ui::Dialog* owner, StatusReader status);
// The same for the running application: the status block of its poll
// and its channel status. An open one is brought forward instead.
platform::ui::Dialog* OpenNetworkInfo(ClientApp& app);

}  // namespace client
