// The client side of the client application's pipe for the web control:
// one request message, one reply whose first byte echoes the command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr char WENDLE_PIPE_NAME[] = "\\\\.\\pipe\\VardenlowWendle";

inline constexpr uint8_t VQ_WEB_LOGIN = 1;
inline constexpr uint8_t VQ_WEB_DISCONNECT = 2;
inline constexpr uint8_t VQ_WEB_STATUS = 3;
inline constexpr uint8_t VQ_WEB_QUERY = 6;
// Sub-codes of VQ_WEB_QUERY.
inline constexpr uint8_t VQ_QUERY_USER_NAME = 3;
inline constexpr uint8_t VQ_QUERY_SESSION_STATE = 5;

// What every caller passes: the reply buffer and the reply wait.
inline constexpr size_t WENDLE_REPLY_BYTES = 4096;
inline constexpr int WENDLE_REPLY_TIMEOUT_MS = 300;
// How long a busy pipe is waited for (the server's default time-out).
inline constexpr int WENDLE_BUSY_WAIT_MS = 5000;
// The pause before each request.
inline constexpr int WENDLE_REQUEST_PAUSE_MS = 50;

// Sends request and reads one reply of at most replyCapacity bytes within
// timeoutMs into reply (empty when the server closed without answering).
// 0, or -1 when nobody (or only another user) serves the pipe, the request
// could not be written, no reply came in time or the reply was larger than
// replyCapacity.
int TransactWendlePipe(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, size_t replyCapacity,
                       int timeoutMs);
