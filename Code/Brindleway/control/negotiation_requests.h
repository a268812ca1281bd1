// The requests of the control protocol on a channel session: each builds its
// message, writes it, marks the response it awaits and reads the connection
// until the negotiation state reaches its target or the session's request
// wait limit (30 s) passes. Every request holds the session's request lock
// for its whole run, so requests from different threads never interleave on
// one TLS connection.
//
// Results: 0, the request's own failure and time-out codes, 5 when the
// request could not be written, or any code ReadChannel returns (the
// dispatch's codes, 7, 8, 9, 75).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "Brindleway/common/channel_ops.h"
#include "Brindleway/control/control_channel.h"
#include "support/conn_info.h"

namespace brindleway {

// Authentication types 1 (password, secret in payload 2), 2 (portal cookie,
// payload 82) and 3 (USB key only, payload 2); any other: 11, nothing sent.
// 0 / 12 time-out / 11 failure.
int SendLogin(CChannelSession& session, uint32_t authType, std::string_view user, std::string_view secret,
              bool reconnecting);
// 0 / 22 / 21.
int SendClientInfo(CChannelSession& session);
// Sends nothing: waits for the gateway's KEY_DONE. 0 / 24 / 23.
int WaitClientParameters(CChannelSession& session);
// Only while channelState is 4 (connected), else 0 at once. 0 / 52 / 51.
int SendHeartBeat(CChannelSession& session, const std::atomic<uint32_t>& channelState);
// A key exchange (rekey 0, type 5) or rekey (1, type 10). Draws fresh key
// material and a fresh local SPI; localCpi is the IP compression's own CPI.
// 0 / 32 / 31 (also when no random bytes could be drawn).
int SendNewKey(CChannelSession& session, int rekey, uint16_t localCpi);
// Type 7 when there is a TLS connection; for gateways of protocol 2 or
// later the same bytes also go to sendOnDataChannel (when given). 0.
int SendLogout(CChannelSession& session, const std::function<void(const uint8_t*, size_t)>& sendOnDataChannel = {});
// 0 / 1024 / 1027.
int RequestSmsCode(CChannelSession& session);
// 0 (also after a refusal: the SMS status tells the outcome) / 1024.
int SendSmsCode(CChannelSession& session, std::string_view code);
// Writes raw bytes; -1 when none are given, else WriteChannel's result.
int SendChannelData(CChannelSession& session, const uint8_t* bytes, size_t length);

// What opening a second connection needs from the service.
struct NewConnectEnv {
  conn_info conn;
  GuiReports* reports = nullptr;
  // Posts a thread message (WM_CHANNEL_ERROR, code) to the channel thread.
  std::function<void(uint32_t message, uint32_t code)> postToChannelThread;
  // Hands the PIN of conn to the USB key's provider; false when refused.
  std::function<bool(const conn_info& conn)> setUsbKeyPin;
};
// Connects session to the gateway of env.conn. 0, 99 (USB key PIN
// refused) or a code of ConnectChannel.
int SetupNewConnect(CChannelSession& session, int quiet, const NewConnectEnv& env);
// On a connection of its own: session must not be the live control channel.
// It is connected with SetupNewConnect (quiet), used and closed again.
// 0 / 15 / 14, or the connect's code when no connection could be made.
int SendChangePassword(CChannelSession& session, std::string_view user, std::string_view oldPassword,
                       std::string_view newPassword, const NewConnectEnv& env);

// Host check. 0, -1 time-out, -2 failure, 1031 when the gateway skipped the
// check (a SET_IP arrived), or a read code.
int WaitHostCheckDigest(CChannelSession& session);
// Receives the script until the announced length; storeFile keeps it (true:
// stored). Then reports the outcome with SendHostCheckResult. 0 or -1.
int ReceiveHostCheckScript(CChannelSession& session, const std::function<bool()>& storeFile);
// Type 11 with the result; no response awaited. 0, or 5 when not written.
int SendHostCheckResult(CChannelSession& session, uint32_t result);
// 0 (answered or timed out) or a read code.
int WaitHostCheckAnswer(CChannelSession& session);

}  // namespace brindleway
