// The adapter's device on Linux: a persistent TUN interface made by the
// adapter install step, attached to with TUNSETIFF.
//   MAC, version, information  fixed answers (a TUN link has no MAC)
//   MTU                        SIOCGIFMTU
//   point-to-point             recorded
//   media status               the link up or down (rtnetlink)
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net/link.h"
#include "platform/tun/packet_call.h"
#include "platform/tun/tun.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::tun {
namespace {

constexpr char kCloneDevice[] = "/dev/net/tun";
// Locally administered, so it can never clash with a real card's.
constexpr std::array<uint8_t, 6> kMac = {0x02, 0x56, 0x51, 0x00, 0x00, 0x01};
constexpr DriverVersion kVersion = {1, 0, 0};
// The largest IPv4 packet.
constexpr size_t kMaxPacket = 65535;

class LinuxTun final : public Device {
 public:
  LinuxTun(UniqueFd fd, std::string ifname) : fd_(std::move(fd)), ifname_(std::move(ifname)) {}

  int PollFd() const override { return fd_.get(); }
  bool IsOpen() const override { return fd_.valid(); }
  void Close() override { fd_.reset(); }

  uint32_t Read(std::span<uint8_t> buffer, size_t& length) override {
    length = 0;
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    // The driver cuts a packet to the room given without saying so: what
    // does not fit the caller's buffer lands in the overflow, and shows.
    iovec parts[2] = {{buffer.data(), buffer.size()}, {overflow_.data(), overflow_.size()}};
    return ReadPacketCall([&] { return ::readv(fd_.get(), parts, 2); }, buffer.size(), length);
  }

  uint32_t Write(std::span<const uint8_t> packet) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    return WritePacketCall([&] { return ::write(fd_.get(), packet.data(), packet.size()); });
  }

  uint32_t GetMac(std::array<uint8_t, 6>& mac) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    mac = kMac;
    return 0;
  }

  uint32_t GetVersion(DriverVersion& version) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    version = kVersion;
    return 0;
  }

  uint32_t GetMtu(uint32_t& mtu) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return Win32FromErrno(errno);
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, ifname_.c_str(), ifname_.size() + 1);
    if (::ioctl(sock.get(), SIOCGIFMTU, &ifr) != 0) return Win32FromErrno(errno);
    mtu = static_cast<uint32_t>(ifr.ifr_mtu);
    return 0;
  }

  uint32_t GetInfo(std::string& info) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    info = "Linux TUN " + ifname_;
    if (info.size() >= kInfoBytes) info.resize(kInfoBytes - 1);
    return 0;
  }

  uint32_t SetMediaStatus(bool connected) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    const uint32_t index = net::InterfaceIndex(ifname_);
    if (index == 0) return ERROR_FILE_NOT_FOUND;
    return net::SetLinkUp(index, connected);
  }

 private:
  UniqueFd fd_;
  std::string ifname_;
  std::vector<uint8_t> overflow_ = std::vector<uint8_t>(kMaxPacket);
};

}  // namespace

uint32_t OpenTun(const std::string& ifname, std::unique_ptr<Device>& out) {
  if (ifname.empty() || ifname.size() >= IFNAMSIZ) return ERROR_INVALID_NAME;
  // Attaching to a name that is not there would make a new interface: the
  // adapter must have been installed.
  if (net::InterfaceIndex(ifname) == 0) return ERROR_FILE_NOT_FOUND;
  UniqueFd fd(::open(kCloneDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return Win32FromErrno(errno);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::memcpy(ifr.ifr_name, ifname.c_str(), ifname.size() + 1);
  if (::ioctl(fd.get(), TUNSETIFF, &ifr) != 0) return Win32FromErrno(errno);
  out = std::make_unique<LinuxTun>(std::move(fd), ifname);
  return 0;
}

}  // namespace platform::tun
