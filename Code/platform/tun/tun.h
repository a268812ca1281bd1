// The virtual adapter's device: IP packets in and out of the tunnel
// interface, and the six requests its driver answers.
//
// Contract: Read gives one whole packet per call and never blocks; when
// nothing is waiting it returns ERROR_IO_PENDING (997) and the caller polls
// PollFd() for readability (with its events, in one poll). Poll only after
// a 997: one read of the descriptor may bring several packets, handed out
// by the following calls while the descriptor shows nothing. Write sends one
// packet, 997 when the queue is full. After Close every call returns
// ERROR_INVALID_HANDLE (6) and PollFd() is -1. A Device is used by one
// thread at a time, except that one thread may Read while another Writes
// (the two share no state but the descriptor); the owner stops the packet
// threads before Close.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform::tun {

struct DriverVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t debug = 0;  // nonzero: a debug build
};

// The information text holds at most this many bytes with its terminator.
inline constexpr size_t kInfoBytes = 256;

class Device {
 public:
  virtual ~Device() = default;

  virtual int PollFd() const = 0;
  // One packet into buffer: 0 with length set; 997 when none is waiting;
  // ERROR_MORE_DATA (234) when it was longer than buffer (the rest is lost).
  virtual uint32_t Read(std::span<uint8_t> buffer, size_t& length) = 0;
  virtual uint32_t Write(std::span<const uint8_t> packet) = 0;
  // Releases the device; the interface stays (it is persistent).
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // The six requests.
  virtual uint32_t GetMac(std::array<uint8_t, 6>& mac) = 0;
  virtual uint32_t GetVersion(DriverVersion& version) = 0;
  virtual uint32_t GetMtu(uint32_t& mtu) = 0;
  // Zero-terminated text of at most kInfoBytes bytes.
  virtual uint32_t GetInfo(std::string& info) = 0;
  // Addresses in network order; recorded: a TUN link has no neighbours to
  // answer for, every packet goes to the far end. 6 when closed.
  virtual uint32_t SetPointToPoint(uint32_t local, uint32_t remote);
  // Connected = the interface is up.
  virtual uint32_t SetMediaStatus(bool connected) = 0;

  // What SetPointToPoint recorded (0, 0 before it).
  uint32_t PointToPointLocal() const { return p2pLocal_; }
  uint32_t PointToPointRemote() const { return p2pRemote_; }

  // Batches: as many packets as fit, in order; count tells how many were
  // done, and the result is that of the call that stopped the batch (0 when
  // all were done). One Read each.
  uint32_t ReadPackets(std::span<const std::span<uint8_t>> buffers, std::span<size_t> lengths,
                       size_t& count);
  // One Write each, or fewer calls where the device merges packets (with
  // offloads on Linux: consecutive TCP segments of one stream); a merged
  // write counts all its packets done or none.
  virtual uint32_t WritePackets(std::span<const std::span<const uint8_t>> packets, size_t& count);

 private:
  uint32_t p2pLocal_ = 0;
  uint32_t p2pRemote_ = 0;
};

// Opens the existing interface ifname (IFF_TUN | IFF_NO_PI, non-blocking).
// 2 when there is no such interface, 5 without the right to attach to it,
// else a Win32 code from errno.
uint32_t OpenTun(const std::string& ifname, std::unique_ptr<Device>& out);

}  // namespace platform::tun
