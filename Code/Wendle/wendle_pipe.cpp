#include "Wendle/wendle_pipe.h"

#include <unistd.h>

#include "platform/pipe/pipe.h"

int TransactWendlePipe(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, size_t replyCapacity,
                       int timeoutMs) {
  reply.clear();
  // A reply still on its way after the time-out lands nowhere: the
  // connection is closed before the call returns.
  // Anyone may make names in the pipe folder: the session id and the PIN go
  // only to a client of root or of this user.
  const uint32_t rc = platform::pipe::Transact(WENDLE_PIPE_NAME, request, reply, replyCapacity, timeoutMs,
                                               WENDLE_BUSY_WAIT_MS, ::geteuid());
  if (rc != 0) {
    reply.clear();
    return -1;
  }
  return 0;
}
