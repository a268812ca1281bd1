// One non-blocking packet call of an adapter device, with the results the
// Device contract gives: an interrupted call is made again, EAGAIN is 997
// (nothing waiting, or the queue is full), any other errno its Win32 code.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/win32/win32_error.h"

namespace platform::tun {
namespace detail {

// call()'s count, or its errno's result.
template <typename Call>
uint32_t UninterruptedCall(Call call, ssize_t& n) {
  do {
    n = call();
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return 0;
  return errno == EAGAIN ? ERROR_IO_PENDING : Win32FromErrno(errno);
}

}  // namespace detail

// call() reads one packet and returns the packet's whole length, also when
// it was longer than room (what MSG_TRUNC or an overflow buffer gives). 0
// with length set; 234 with length = room for a longer packet.
template <typename Call>
uint32_t ReadPacketCall(Call call, size_t room, size_t& length) {
  ssize_t n = 0;
  if (const uint32_t err = detail::UninterruptedCall(call, n); err != 0) return err;
  if (static_cast<size_t>(n) > room) {
    length = room;
    return ERROR_MORE_DATA;
  }
  length = static_cast<size_t>(n);
  return 0;
}

// call() writes one packet.
template <typename Call>
uint32_t WritePacketCall(Call call) {
  ssize_t n = 0;
  return detail::UninterruptedCall(call, n);
}

}  // namespace platform::tun
