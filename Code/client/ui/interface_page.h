// The Interface page (template 122) of Network Information: the virtual
// adapter as the system reports it, filled again every 1000 ms (timer 2)
// while the page is shown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/adapters_info.h"
#include "platform/ui/dialog.h"

namespace client {

inline constexpr int IDD_INTERFACE_PAGE = 122;
inline constexpr int IDC_WINS_LIST = 1020;
inline constexpr int IDC_ADAPTER_NAME = 1031;
inline constexpr int IDC_ADDRESS_TYPE = 1032;
inline constexpr int IDC_NETWORK_ADDRESS = 1033;
inline constexpr int IDC_SUBNET_MASK = 1034;
inline constexpr int IDC_ADAPTER_TYPE = 1035;
inline constexpr int IDC_DEFAULT_GATEWAY = 1036;
inline constexpr int IDC_PHYSICAL_ADDRESS = 1037;
inline constexpr int IDC_DHCP_SERVER = 1038;
inline constexpr int IDC_DHCP_SERVER_LABEL = 1039;
inline constexpr int IDC_ADAPTER_STATUS = 1040;
inline constexpr int IDC_DNS_LIST = 1041;
inline constexpr uint32_t kInterfaceTimer = 2;
inline constexpr uint32_t kInterfacePeriodMs = 1000;

inline constexpr uint32_t IDS_MANUALLY_CONFIGURED = 1133;
inline constexpr uint32_t IDS_ASSIGNED_BY_DHCP = 1134;
inline constexpr uint32_t IDS_UP = 1135;
inline constexpr uint32_t IDS_DOWN = 1136;

const platform::ui::DialogTemplate& InterfacePageTemplate();

// The description up to its first "-" when that lies within the first 55
// characters, else its first 55 characters and "..." when it is longer.
std::string AdapterNameText(const std::string& description);
// The string entry of an adapter type.
uint32_t AdapterTypeText(uint32_t type);
// "%02X-%02X-%02X-%02X-%02X-%02X" of the first six bytes (zeros for
// missing ones).
std::string PhysicalAddressText(const std::vector<uint8_t>& address);
// The string entry of an operational status; 0: the status shows nothing.
uint32_t AdapterStatusText(uint32_t operStatus);

// The virtual adapter: its GUID, the interface named by its connection, the
// description of its class subkey.
struct TunnelAdapterId {
  std::string guid;
  std::string name;
  std::string description;
};
// False (logged) when no adapter is installed.
bool FindTunnelAdapter(TunnelAdapterId& id);

class InterfacePageLogic : public platform::ui::DialogLogic {
 public:
  void OnInit(platform::ui::Dialog& d) override { Fill(d); }
  void OnShow(platform::ui::Dialog& d, bool shown) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;

  void Fill(platform::ui::Dialog& d);
};

}  // namespace client
