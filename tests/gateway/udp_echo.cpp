#include "gateway/udp_echo.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>

namespace vqgateway {
namespace {

platform::UniqueFd BoundSocket(const std::string& address, uint16_t port, sockaddr_in& bound) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd.valid()) throw std::runtime_error("udp echo: socket");
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) throw std::runtime_error("udp echo: address");
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    throw std::runtime_error("udp echo: bind");
  }
  socklen_t length = sizeof bound;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    throw std::runtime_error("udp echo: getsockname");
  }
  return fd;
}

}  // namespace

UdpEchoResponder::UdpEchoResponder(UdpEchoOptions options) : options_(std::move(options)) {
  sockaddr_in bound{};
  socket_ = BoundSocket(options_.address, options_.port, bound);
  port_ = ntohs(bound.sin_port);
  address_ = bound.sin_addr.s_addr;
  if (options_.replyFrom) {
    sockaddr_in other{};
    replySocket_ = BoundSocket(*options_.replyFrom, 0, other);
  }
  thread_ = std::thread([this] { Loop(); });
}

UdpEchoResponder::~UdpEchoResponder() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
}

std::vector<std::vector<uint8_t>> UdpEchoResponder::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void UdpEchoResponder::Loop() {
  std::deque<Pending> pending;  // in due order: one delay for all
  const int out = replySocket_.valid() ? replySocket_.get() : socket_.get();
  for (;;) {
    int timeoutMs = -1;
    if (!pending.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(pending.front().due - Clock::now()).count();
      timeoutMs = static_cast<int>(std::max<int64_t>(0, left));
    }
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
    const int rc = ::poll(fds, 2, timeoutMs);
    if (rc < 0 && errno != EINTR) return;
    if (rc > 0 && (fds[1].revents & POLLIN) != 0) return;
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      Pending p;
      p.data.resize(65536);
      socklen_t length = sizeof p.to;
      const ssize_t n = ::recvfrom(socket_.get(), p.data.data(), p.data.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&p.to), &length);
      if (n >= 0) {
        p.data.resize(static_cast<size_t>(n));
        {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.push_back(p.data);
        }
        if (!options_.silent) {
          p.due = Clock::now() + std::chrono::milliseconds(options_.delayMs);
          pending.push_back(std::move(p));
        }
      }
    }
    while (!pending.empty() && pending.front().due <= Clock::now()) {
      const Pending& p = pending.front();
      ::sendto(out, p.data.data(), p.data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&p.to),
               sizeof p.to);
      pending.pop_front();
    }
  }
}

}  // namespace vqgateway
