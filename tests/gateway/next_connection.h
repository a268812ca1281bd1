// The accept step of the test gateway's listeners.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <optional>

#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace vqgw {

// Waits for the next connection on listener. nullopt once stop is set or
// the listener fails; an invalid descriptor when that accept failed (the
// caller waits for the next one).
inline std::optional<platform::UniqueFd> NextConnection(int listener, const platform::Event& stop) {
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (fds[1].revents != 0) return std::nullopt;
    if ((fds[0].revents & POLLIN) == 0) continue;
    return platform::UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  }
}

}  // namespace vqgw
