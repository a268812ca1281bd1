// The adapter's device on Linux: a persistent TUN interface made by the
// adapter install step, attached to with TUNSETIFF.
//   packets                    with a virtio-net header and TCP segmentation
//                              and checksum offload: the kernel hands over
//                              up to 64 KiB of one TCP stream in one read,
//                              cut here into the link's packets, so a bulk
//                              stream costs one read per burst instead of
//                              one per packet; the other way a batch's
//                              consecutive segments of one stream go as one
//                              such super-packet, one write and one pass of
//                              the kernel's TCP receive path; without the
//                              header (older kernels) one packet per read
//                              or write
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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net/link.h"
#include "platform/tun/packet_call.h"
#include "platform/tun/tcp_coalescer.h"
#include "platform/tun/tcp_segmenter.h"
#include "platform/tun/tun.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::tun {
namespace {

constexpr char kCloneDevice[] = "/dev/net/tun";
// Locally administered, so it can never clash with a real card's.
constexpr std::array<uint8_t, 6> kMac = {0x02, 0x56, 0x51, 0x00, 0x00, 0x01};
constexpr DriverVersion kVersion = {1, 0, 0};
// The largest IPv4 packet, and some room past it so that a longer frame
// shows as one.
constexpr size_t kMaxFrame = 65535 + 1;
// The header in front of each packet once IFF_VNET_HDR is on (the kernel's
// virtio-net header, host byte order; its C header does not compile as C++).
struct VnetHeader {
  uint8_t flags;
  uint8_t gsoType;
  uint16_t headerLength;
  uint16_t gsoSize;
  uint16_t checksumStart;
  uint16_t checksumOffset;
};
static_assert(sizeof(VnetHeader) == 10);
constexpr uint8_t kNeedsChecksum = 1;
constexpr uint8_t kGsoNone = 0;
constexpr uint8_t kGsoTcpV4 = 1;
constexpr uint8_t kGsoEcn = 0x80;

// Offloads asked of the kernel: checksums and TCP/IPv4 segmentation (the
// tunnel carries IPv4 only).
constexpr unsigned kOffloads = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO_ECN;

class LinuxTun final : public Device {
 public:
  LinuxTun(UniqueFd fd, std::string ifname, bool offload)
      : fd_(std::move(fd)), ifname_(std::move(ifname)), offload_(offload) {}
  ~LinuxTun() override { Close(); }

  int PollFd() const override { return fd_.get(); }
  bool IsOpen() const override { return fd_.valid(); }
  void Close() override {
    // The interface outlives us: a later reader without the header must
    // not be handed what only this one could cut up.
    if (fd_.valid() && offload_) ::ioctl(fd_.get(), TUNSETOFFLOAD, 0);
    segments_.Clear();
    fd_.reset();
  }

  uint32_t Read(std::span<uint8_t> buffer, size_t& length) override {
    length = 0;
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    if (!offload_) {
      // The driver cuts a packet to the room given without saying so: what
      // does not fit the caller's buffer lands in the overflow, and shows.
      iovec parts[2] = {{buffer.data(), buffer.size()}, {frame_.data(), frame_.size()}};
      return ReadPacketCall([&] { return ::readv(fd_.get(), parts, 2); }, buffer.size(), length);
    }
    for (;;) {
      if (segments_.Pending()) return NextSegment(buffer, length);
      VnetHeader header{};
      iovec parts[2] = {{&header, sizeof header}, {frame_.data(), frame_.size()}};
      // The frame's room is larger than any IPv4 packet: nothing is cut.
      size_t got = 0;
      if (const uint32_t err =
              ReadPacketCall([&] { return ::readv(fd_.get(), parts, 2); }, sizeof header + frame_.size(), got);
          err != 0) {
        return err;
      }
      // What cannot be made into packets is dropped like a corrupt frame.
      if (got <= sizeof header) continue;
      const std::span<uint8_t> packet(frame_.data(), got - sizeof header);
      if (header.gsoType == kGsoNone) {
        if ((header.flags & kNeedsChecksum) != 0 &&
            !CompleteChecksum(packet, header.checksumStart, header.checksumOffset)) {
          continue;
        }
        return CopyOut(packet, buffer, length);
      }
      if ((header.gsoType & ~kGsoEcn) != kGsoTcpV4) continue;
      segments_.Start(packet, header.gsoSize);
    }
  }

  uint32_t Write(std::span<const uint8_t> packet) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    if (!offload_) return WritePacketCall([&] { return ::write(fd_.get(), packet.data(), packet.size()); });
    // A whole packet with its checksums: a header of zeros.
    VnetHeader header{};
    const iovec parts[2] = {{&header, sizeof header}, {const_cast<uint8_t*>(packet.data()), packet.size()}};
    return WritePacketCall([&] { return ::writev(fd_.get(), parts, 2); });
  }

  uint32_t WritePackets(std::span<const std::span<const uint8_t>> packets, size_t& count) override {
    if (!offload_) return Device::WritePackets(packets, count);
    count = 0;
    while (count < packets.size()) {
      const std::span<const std::span<const uint8_t>> rest = packets.subspan(count);
      size_t taken = merge_.Take(rest);
      uint32_t err = taken > 1 ? WriteMerged(rest.first(taken)) : Write(rest[0]);
      // Should the kernel ever refuse a super-packet, its segments go one by
      // one and each gets its own answer.
      if (taken > 1 && err != 0 && err != ERROR_IO_PENDING) {
        taken = 1;
        err = Write(rest[0]);
      }
      if (err != 0) return err;
      count += taken;
    }
    return 0;
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
  uint32_t NextSegment(std::span<uint8_t> buffer, size_t& length) {
    if (const size_t needed = segments_.NextLength(); needed > buffer.size()) {
      // Like a packet longer than the room: what fits, and the rest lost.
      std::vector<uint8_t> whole(needed);
      segments_.Next(whole);
      std::memcpy(buffer.data(), whole.data(), buffer.size());
      length = buffer.size();
      return ERROR_MORE_DATA;
    }
    length = segments_.Next(buffer);
    return 0;
  }

  // The segments merge_ took, in one write: the header, the super-packet's
  // headers, then each segment's payload where it lies.
  uint32_t WriteMerged(std::span<const std::span<const uint8_t>> segments) {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    VnetHeader header{};
    header.flags = kNeedsChecksum;
    header.gsoType = static_cast<uint8_t>(kGsoTcpV4 | (merge_.Ecn() ? kGsoEcn : 0));
    header.headerLength = static_cast<uint16_t>(merge_.HeaderLength());
    header.gsoSize = static_cast<uint16_t>(merge_.SegmentSize());
    header.checksumStart = TcpCoalescer::kChecksumStart;
    header.checksumOffset = TcpCoalescer::kChecksumOffset;
    const std::span<const uint8_t> headers = merge_.Headers();
    iovec parts[2 + TcpCoalescer::kMaxSegments];
    parts[0] = {&header, sizeof header};
    parts[1] = {const_cast<uint8_t*>(headers.data()), headers.size()};
    for (size_t i = 0; i < segments.size(); ++i) {
      const std::span<const uint8_t> payload = segments[i].subspan(headers.size());
      parts[2 + i] = {const_cast<uint8_t*>(payload.data()), payload.size()};
    }
    const int pieces = static_cast<int>(2 + segments.size());
    return WritePacketCall([&] { return ::writev(fd_.get(), parts, pieces); });
  }

  static uint32_t CopyOut(std::span<const uint8_t> packet, std::span<uint8_t> buffer, size_t& length) {
    length = std::min(packet.size(), buffer.size());
    std::memcpy(buffer.data(), packet.data(), length);
    return packet.size() > buffer.size() ? ERROR_MORE_DATA : 0;
  }

  UniqueFd fd_;
  std::string ifname_;
  bool offload_;
  // Plain: the overflow of a packet longer than the caller's buffer. With
  // offload: the frame as read, segments cut from it until all are taken.
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(kMaxFrame);
  TcpSegmenter segments_;
  // The writer's: the segments of a batch merged.
  TcpCoalescer merge_;
};

}  // namespace

uint32_t OpenTun(const std::string& ifname, std::unique_ptr<Device>& out) {
  if (ifname.empty() || ifname.size() >= IFNAMSIZ) return ERROR_INVALID_NAME;
  // Attaching to a name that is not there would make a new interface: the
  // adapter must have been installed.
  if (net::InterfaceIndex(ifname) == 0) return ERROR_FILE_NOT_FOUND;
  // With the header and offloads when the kernel has them, else plain.
  for (const bool offload : {true, false}) {
    UniqueFd fd(::open(kCloneDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return Win32FromErrno(errno);
    ifreq ifr{};
    ifr.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | (offload ? IFF_VNET_HDR : 0));
    std::memcpy(ifr.ifr_name, ifname.c_str(), ifname.size() + 1);
    if (::ioctl(fd.get(), TUNSETIFF, &ifr) != 0) {
      if (offload && errno == EINVAL) continue;
      return Win32FromErrno(errno);
    }
    if (!offload) {
      // A reader that died without closing may have left them on.
      ::ioctl(fd.get(), TUNSETOFFLOAD, 0);
    } else {
      const int headerSize = sizeof(VnetHeader);
      if (::ioctl(fd.get(), TUNSETVNETHDRSZ, &headerSize) != 0 || ::ioctl(fd.get(), TUNSETOFFLOAD, kOffloads) != 0) {
        continue;
      }
    }
    out = std::make_unique<LinuxTun>(std::move(fd), ifname, offload);
    return 0;
  }
  return ERROR_NOT_SUPPORTED;
}

}  // namespace platform::tun
