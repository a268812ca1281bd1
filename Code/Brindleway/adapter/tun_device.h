// The tunnel interface: the virtual adapter's device opened, its driver
// asked for version, information, MAC and MTU, switched to point-to-point,
// and brought up with the address the gateway assigned.
//
// Creation:
//   1. the adapter's GUID, connection name (= interface name) and index
//   2. open the device and read the driver's answers
//   3. (Vista and later) the interface metric
//   4. clear the interface's leftover routes
//   5. point-to-point, media up, the address
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/tun/tun.h"

namespace brindleway {

// Opens the device of the interface named ifname (platform::tun::OpenTun;
// tests hand in the in-memory twin).
using TunOpener = std::function<uint32_t(const std::string& ifname, std::unique_ptr<platform::tun::Device>& out)>;

struct TunDevice {
  TunDevice() = default;
  // Closes what is still open, as CloseTunDevice does.
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  std::string connectionName;  // the interface's name
  std::string adapterGuid;     // NetCfgInstanceId, in braces
  std::unique_ptr<platform::tun::Device> device;  // null while closed
  uint32_t ifIndex = 0;
  uint32_t mtu = 0;  // 0: the driver did not say
  // IPv4, network order.
  uint32_t localAddress = 0;
  uint32_t remoteAddress = 0;
  uint32_t netmask = 0;
  // DNS servers this record set through the resolver; taken back at close.
  bool dnsServersSet = false;
};

// The MTU the adapter reported last, for the packet path's fragmentation.
// 0 means the adapter did not say: no fragmentation is needed (never a size
// to subtract from).
uint32_t TunMtu();

// The tunnel interface with its address; null on failure (logged).
std::unique_ptr<TunDevice> CreateTunDevice(uint32_t localAddress, uint32_t remoteAddress, uint32_t netmask);
std::unique_ptr<TunDevice> CreateTunDevice(uint32_t localAddress, uint32_t remoteAddress, uint32_t netmask,
                                           const TunOpener& open);
// Media down, DNS servers taken back, device released, record freed. Null
// is ignored.
void CloseTunDevice(std::unique_ptr<TunDevice> tun);

// Opens the device of tun's interface and reads the driver's answers; 0 or -1.
int OpenTunDevice(TunDevice* tun, const TunOpener& open);
int OpenTunDevice(TunDevice* tun);

// 0, or -1 (also for a missing device).
int SetTunPointToPoint(platform::tun::Device* device, uint32_t local, uint32_t remote);
int SetTunMediaStatus(platform::tun::Device* device, bool up);
// Point-to-point, media up, address; 0 or -1.
int SetTunDeviceAddress(TunDevice* tun);

// Driver answers written to the debug trace.
void GetDriverVersion(platform::tun::Device* device);
void GetDriverInfo(platform::tun::Device* device);
void GetDriverMac(platform::tun::Device* device);

}  // namespace brindleway
