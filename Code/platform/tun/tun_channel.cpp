#include "platform/tun/tun_channel.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/tun/packet_call.h"
#include "platform/win32/win32_error.h"

namespace platform::tun {
namespace {

constexpr std::array<uint8_t, 6> kChannelMac = {0x02, 0x56, 0x51, 0x00, 0x00, 0x02};

class ChannelDevice final : public Device {
 public:
  ChannelDevice(UniqueFd fd, std::shared_ptr<ChannelState> state)
      : fd_(std::move(fd)), state_(std::move(state)) {}

  int PollFd() const override { return fd_.get(); }
  bool IsOpen() const override { return fd_.valid(); }
  void Close() override {
    fd_.reset();
    state_->closed = true;
  }

  uint32_t Read(std::span<uint8_t> buffer, size_t& length) override {
    length = 0;
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    return ReadPacketCall(
        [&] { return ::recv(fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC); }, buffer.size(),
        length);
  }

  uint32_t Write(std::span<const uint8_t> packet) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    return WritePacketCall(
        [&] { return ::send(fd_.get(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL); });
  }

  uint32_t GetMac(std::array<uint8_t, 6>& mac) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    mac = kChannelMac;
    return 0;
  }
  uint32_t GetVersion(DriverVersion& version) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    version = {1, 0, 1};
    return 0;
  }
  uint32_t GetMtu(uint32_t& mtu) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    if (!state_->answersMtu) return ERROR_NOT_SUPPORTED;
    mtu = state_->mtu;
    return 0;
  }
  uint32_t GetInfo(std::string& info) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    info = "channel " + state_->name;
    if (info.size() >= kInfoBytes) info.resize(kInfoBytes - 1);
    return 0;
  }
  uint32_t SetMediaStatus(bool connected) override {
    if (!fd_.valid()) return ERROR_INVALID_HANDLE;
    state_->mediaConnected = connected;
    ++state_->mediaChanges;
    return 0;
  }

 private:
  UniqueFd fd_;
  std::shared_ptr<ChannelState> state_;
};

}  // namespace

uint32_t OpenChannel(const std::shared_ptr<ChannelState>& state, std::unique_ptr<Device>& out) {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return Win32FromErrno(errno);
  UniqueFd device(fds[0]);
  state->peer.reset(fds[1]);
  state->closed = false;
  out = std::make_unique<ChannelDevice>(std::move(device), state);
  return 0;
}

}  // namespace platform::tun
