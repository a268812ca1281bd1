// Network interfaces (links) of the current network namespace. Results are
// 0 or a Win32 code (5 without the privilege, 1168 for an interface that is
// not there).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

struct LinkInfo {
  uint32_t index = 0;
  std::string name;
  bool up = false;  // administratively up (IFF_UP)
  uint32_t mtu = 0;
};

// What an interface name can be (and so safe as a file name): 1 to 15
// bytes, no '/', not "." or "..".
bool IsInterfaceName(const std::string& name);

// The interface's index; 0 when there is none of that name.
uint32_t InterfaceIndex(const std::string& name);
// The interface's name; empty when the index names none.
std::string InterfaceName(uint32_t index);

uint32_t GetLinks(std::vector<LinkInfo>& links);
uint32_t GetLink(uint32_t index, LinkInfo& link);
// Brings the interface up or down (IFF_UP).
uint32_t SetLinkUp(uint32_t index, bool up);

// Routes through the interface stop carrying traffic while it has no carrier
// (for a TUN device: while no process holds it), so the kernel falls back
// to the other routes. 87 for a name that is no interface name.
uint32_t IgnoreRoutesWithLinkdown(const std::string& name);

}  // namespace platform::net
