// A stand-in for systemd's notification socket: binds an abstract AF_UNIX
// datagram socket, points NOTIFY_SOCKET at it for the test's lifetime and
// hands out the messages that arrive.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace vqtest {

class NotifyListener {
 public:
  NotifyListener() {
    static std::atomic<int> counter{0};
    name_ = "@vqtest-notify-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name_.data(), name_.size());
    addr.sun_path[0] = '\0';
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr),
                                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size())) == 0;
    if (const char* old = std::getenv("NOTIFY_SOCKET")) saved_ = old;
    ::setenv("NOTIFY_SOCKET", name_.c_str(), 1);
  }
  ~NotifyListener() {
    if (saved_) ::setenv("NOTIFY_SOCKET", saved_->c_str(), 1);
    else ::unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) ::close(fd_);
  }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool bound() const { return bound_; }
  const std::string& name() const { return name_; }

  // The next message, or nothing after timeoutMs.
  std::optional<std::string> Receive(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
  std::optional<std::string> saved_;
};

}  // namespace vqtest
