// The AF_UNIX address of a pipe's socket file.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform::pipe::detail {

struct SocketAddress {
  sockaddr_un addr{};
  socklen_t length = 0;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

// sun_path holds only 107 bytes. A longer path is reached through a
// descriptor of its folder ("/proc/self/fd/N/NAME"): folder is used when
// valid, else opened here, and must stay open while the address is in use.
// 0, ERROR_INVALID_NAME when even that does not fit, or the error opening
// the folder.
uint32_t MakeAddress(const std::string& path, UniqueFd& folder, SocketAddress& out);

// The folder part of a socket file's path.
std::string FolderOf(const std::string& path);

}  // namespace platform::pipe::detail
