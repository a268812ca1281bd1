#include "Brindleway/adapter/tun_device.h"

#include <array>

#include "Brindleway/adapter/adapter_address.h"
#include "Brindleway/adapter/route_entry.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "platform/net/link.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/net_adapter.h"
#include "support/os_version.h"
#include "support/text_convert.h"

namespace brindleway {
namespace {

std::atomic<uint32_t> g_tunMtu{0};

// The debug-trace category of set-up lines.
uint32_t OpenSystemTun(const std::string& ifname, std::unique_ptr<platform::tun::Device>& out) {
  return platform::tun::OpenTun(ifname, out);
}

// The close of one record: media down, its DNS servers back, device gone.
void ReleaseTunDevice(TunDevice& tun) {
  try {
    if (tun.dnsServersSet) RestoreDnsServers(&tun);
    if (tun.device && tun.device->IsOpen()) {
      SetTunMediaStatus(tun.device.get(), false);
      // The packet thread was stopped by the caller: nothing is pending.
      tun.device->Close();
    }
    tun.device.reset();
  } catch (...) {
  }
}

}  // namespace

TunDevice::~TunDevice() { ReleaseTunDevice(*this); }

uint32_t TunMtu() { return g_tunMtu.load(std::memory_order_relaxed); }

void GetDriverVersion(platform::tun::Device* device) {
  platform::tun::DriverVersion version;
  if (device == nullptr || device->GetVersion(version) != 0) return;
  DebugTrace(TRACE_SETUP, "Vardenlow Virtual Network Driver Version %d.%d %s\n", version.major, version.minor,
             version.debug != 0 ? "(DEBUG)" : "");
}

void GetDriverInfo(platform::tun::Device* device) {
  std::string info;
  if (device == nullptr || device->GetInfo(info) != 0) return;
  DebugTrace(TRACE_SETUP, "%s\n", AnsiToUtf8(info));
}

void GetDriverMac(platform::tun::Device* device) {
  std::array<uint8_t, 6> mac{};
  if (device == nullptr || device->GetMac(mac) != 0) return;
  DebugTrace(TRACE_SETUP, "MAC address: %02X-%02X-%02X-%02X-%02X-%02X\n", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
}

int OpenTunDevice(TunDevice* tun, const TunOpener& open) {
  if (tun == nullptr) {
    LogPrint(LOG_ERR, "Null pointer at\n");
    return -1;
  }
  std::unique_ptr<platform::tun::Device> device;
  if (uint32_t err = open(tun->connectionName, device); err != 0 || !device) {
    LogPrint(LOG_ERR, "Can not create file %s [0x%x]\n", tun->connectionName, err);
    return -1;
  }
  tun->device = std::move(device);
  // Should this process die, the tunnel's routes must not keep the user's
  // traffic in a device nobody reads.
  if (const uint32_t err = platform::net::IgnoreRoutesWithLinkdown(tun->connectionName); err != 0) {
    LogPrint(LOG_ERR, "Ignore routes with linkdown on %s failed (%d)\n", tun->connectionName, err);
  }
  GetDriverVersion(tun->device.get());
  GetDriverInfo(tun->device.get());
  GetDriverMac(tun->device.get());
  uint32_t mtu = 0;
  if (tun->device->GetMtu(mtu) == 0) {
    tun->mtu = mtu;
    DebugTrace(TRACE_SETUP, "Interface MTU: %d\n", mtu);
  }
  // Also when the driver did not answer: an earlier adapter's MTU must not
  // outlive it.
  g_tunMtu.store(tun->mtu, std::memory_order_relaxed);
  return 0;
}

int OpenTunDevice(TunDevice* tun) { return OpenTunDevice(tun, OpenSystemTun); }

int SetTunPointToPoint(platform::tun::Device* device, uint32_t local, uint32_t remote) {
  if (device == nullptr) return -1;
  if (device->SetPointToPoint(local, remote) != 0) {
    LogPrint(LOG_ERR, "Failed to set the device to point to point.\n");
    return -1;
  }
  return 0;
}

int SetTunMediaStatus(platform::tun::Device* device, bool up) {
  if (device == nullptr || !device->IsOpen()) return -1;
  if (device->SetMediaStatus(up) != 0) {
    LogPrint(LOG_ERR, "Failed to set the device status to %s.\n", up ? "UP" : "DOWN");
    return -1;
  }
  return 0;
}

int SetTunDeviceAddress(TunDevice* tun) {
  if (tun == nullptr) return -1;
  SetTunPointToPoint(tun->device.get(), tun->localAddress, tun->remoteAddress);
  if (tun->localAddress == 0 || tun->netmask == 0) {
    LogPrint(LOG_ERR, "Set interface address failed: %s/%s is invalid address\n", DottedIPv4(tun->localAddress),
             DottedIPv4(tun->netmask));
    return -1;
  }
  SetTunMediaStatus(tun->device.get(), true);
  if (SetTunDeviceIpCommand2(tun, tun->localAddress, tun->netmask) == 0) {
    LogPrint(LOG_INFO, "Set interface address OK\n");
    return 0;
  }
  LogPrint(LOG_INFO, "Tamblin debug SetTunDeviceIpCommand2 faild!...\n");
  return -1;
}

std::unique_ptr<TunDevice> CreateTunDevice(uint32_t localAddress, uint32_t remoteAddress, uint32_t netmask,
                                           const TunOpener& open) {
  auto tun = std::make_unique<TunDevice>();
  if (GetTunAdapterGuid(tun->adapterGuid, kAdapterTextUnits) != 0) {
    LogPrint(LOG_ERR, "Get device GUID failed\n");
    return nullptr;
  }
  if (GetAdapterConnectionName(tun->adapterGuid, tun->connectionName, kAdapterTextUnits) != 0) {
    LogPrint(LOG_ERR, "Get device name failed\n");
    return nullptr;
  }
  const int64_t index = GetAdapterIndexByGuid(tun->adapterGuid);
  if (index < 0) {
    LogPrint(LOG_ERR, "Get interface index failed\n");
    return nullptr;
  }
  tun->ifIndex = static_cast<uint32_t>(index);
  tun->localAddress = localAddress;
  tun->remoteAddress = remoteAddress;
  tun->netmask = netmask;
  // Every failure below closes the record on its way out (its destructor).
  if (OpenTunDevice(tun.get(), open) != 0) return nullptr;
  if (IsVistaOrLater() && SetTunInterfaceMetric(tun.get()) != 0) return nullptr;
  ClearInterfaceRoutes(tun.get());
  if (SetTunDeviceAddress(tun.get()) != 0) return nullptr;
  LogPrint(LOG_INFO, "Create tunnel interface OK\n");
  return tun;
}

std::unique_ptr<TunDevice> CreateTunDevice(uint32_t localAddress, uint32_t remoteAddress, uint32_t netmask) {
  return CreateTunDevice(localAddress, remoteAddress, netmask, OpenSystemTun);
}

// The record's destructor releases it, once.
void CloseTunDevice(std::unique_ptr<TunDevice> /*tun*/) {}

}  // namespace brindleway
