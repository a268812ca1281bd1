#include "tools/icmp_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/ones_sum.h"
#include "platform/byte_order.h"
#include "platform/unique_fd.h"

namespace vqtools {
namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr size_t kDataSize = 56;

uint16_t Checksum(const uint8_t* data, size_t length) {
  return static_cast<uint16_t>(~vqtest::OnesSum({data, length}));
}

using platform::GetU16BE;
using platform::PutU16BE;

}  // namespace

EchoResult IcmpEcho(const std::string& dest, uint16_t id, uint16_t sequence, int timeoutMs) {
  EchoResult result;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (::inet_pton(AF_INET, dest.c_str(), &to.sin_addr) != 1) {
    result.error = "not an IPv4 address: " + dest;
    return result;
  }
  platform::UniqueFd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!fd.valid()) {
    result.error = std::string("raw socket: ") + std::strerror(errno);
    return result;
  }

  std::vector<uint8_t> request(8 + kDataSize);
  request[0] = kEchoRequest;
  PutU16BE(&request[4], id);
  PutU16BE(&request[6], sequence);
  for (size_t i = 0; i < kDataSize; ++i) request[8 + i] = static_cast<uint8_t>(i);
  PutU16BE(&request[2], Checksum(request.data(), request.size()));

  const auto start = std::chrono::steady_clock::now();
  if (::sendto(fd.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(request.size())) {
    result.error = std::string("send: ") + std::strerror(errno);
    return result;
  }

  // The raw socket sees every ICMP packet of the namespace: only the reply
  // to this request counts.
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.error = "no reply within " + std::to_string(timeoutMs) + " ms";
      return result;
    }
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      result.error = std::string("poll: ") + std::strerror(errno);
      return result;
    }
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 20) continue;
    const size_t header = (buffer[0] & 0x0F) * 4u;
    if (header < 20 || static_cast<size_t>(n) < header + 8) continue;
    const uint8_t* icmp = buffer.data() + header;
    const size_t icmpLength = static_cast<size_t>(n) - header;
    if (from.sin_addr.s_addr != to.sin_addr.s_addr || icmp[0] != kEchoReply || GetU16BE(icmp + 4) != id ||
        GetU16BE(icmp + 6) != sequence) {
      continue;
    }
    if (Checksum(icmp, icmpLength) != 0 || icmpLength != request.size() ||
        std::memcmp(icmp + 8, request.data() + 8, kDataSize) != 0) {
      result.error = "reply with wrong checksum or data";
      return result;
    }
    result.ok = true;
    result.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return result;
  }
}

}  // namespace vqtools
