// A preferred gateway's UDP data port as the proximity detection meets it:
// every datagram is recorded and echoed to its sender after a set delay,
// or never (silent). The echo may leave from another address of ours (a
// foreign echo). One socket (two with a foreign echo) and one thread.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace vqgateway {

struct UdpEchoOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  int delayMs = 0;
  bool silent = false;
  // The echo leaves from this address instead (any free port).
  std::optional<std::string> replyFrom{};
};

class UdpEchoResponder {
 public:
  // Binds and starts; throws std::runtime_error on failure.
  explicit UdpEchoResponder(UdpEchoOptions options);
  ~UdpEchoResponder();
  UdpEchoResponder(const UdpEchoResponder&) = delete;
  UdpEchoResponder& operator=(const UdpEchoResponder&) = delete;

  uint16_t Port() const { return port_; }
  // Network order.
  uint32_t Address() const { return address_; }
  // Every datagram received, in order.
  std::vector<std::vector<uint8_t>> Received() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> data;
    sockaddr_in to{};
  };
  void Loop();

  UdpEchoOptions options_;
  platform::UniqueFd socket_;
  platform::UniqueFd replySocket_;
  uint16_t port_ = 0;
  uint32_t address_ = 0;
  platform::Event stop_{platform::Event::Reset::Manual};
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> received_;
  std::thread thread_;
};

}  // namespace vqgateway
