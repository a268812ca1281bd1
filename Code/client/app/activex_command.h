// ProcessActiveXCommand: the answer to one request of the web control (or
// of a second copy of the client) on "\\.\pipe\VardenlowWendle". Byte 0 of
// the reply echoes the request's; integers are little-endian.
//
//   [1][conn_info]  a web login: taken only while disconnected (status 1),
//                   on the UI thread: [1][i32 ConnectToServerWithUsbKey];
//                   otherwise [1]; a record shorter than 588 bytes or with
//                   an unterminated text field: [1][i32 -1], nothing changed
//   [2]             Disconnect posted: [2][u32 0]
//   [3]             [3][u32 0][u32 status]
//   [6][3] / [6][5] [6][3][u32 n][user, no terminator] / [6][5][i32 session]
//   [14]([sub])     Connect (status 1) or Network Information run on the UI
//                   thread; [14] and the sub-code's answer when one was asked
//   anything else   [cmd]
//
// Any thread. The UI thread is waited for only to run a command, never for
// a dialog it opens; during shutdown a web login answers -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace client {

class ClientApp;

inline constexpr size_t kWebLoginRequestSize = 589;

// Empty for an empty request.
std::vector<uint8_t> ProcessActiveXCommand(ClientApp& app, const std::vector<uint8_t>& request);

}  // namespace client
