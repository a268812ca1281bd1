// The gateway's side of a whole negotiation as one script, for a version-1
// (0x10) or version-2 (0x20) gateway:
//   1. read the login            -> login reply
//   2. read the client info      -> client-info reply
//   3. SET_IP, SET_ROUTE, KEY_DONE, unasked
//   4. read the new-key request  -> key reply (the connection record keeps
//                                   the decoded request and its key block)
//   5. idle: answer rekey requests, and for version 1 heart-beats, until
//      the client closes.
// Every message the script builds carries the chosen version byte. Extra
// actions (unsolicited or hostile messages, stalls, a close) go in before
// any step, and any step can be replaced.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "gateway/esp_peer.h"
#include "gateway/key_request.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"

namespace vqgw {

enum class Step {
  ReadLogin,
  LoginReply,
  ReadClientInfo,
  ClientInfoReply,
  SetIp,
  SetRoute,
  KeyDone,
  ReadNewKey,
  KeyReply,
  Idle,
};

struct NegotiationOptions {
  uint8_t version = kVersion1;
  LoginReplyOptions login{};
  ClientInfoReplyOptions clientInfo{};
  SetIpOptions setIp{};
  std::vector<Route> routes = {{Ipv4{192, 168, 50, 0}, Ipv4{255, 255, 255, 0}, 1}};
  std::optional<int32_t> keyDoneStatus = kStatusOk;
  // Its type is set by the step: 5 for the first key, 10 for each rekey.
  // Rekey replies carry the same payloads, URL and title included, so a
  // client that wrongly reports them on a rekey shows it.
  KeyReplyOptions key{};
  // Version 1: how many heart-beats are answered before the gateway falls
  // silent (negative: every one).
  int heartBeats = -1;
  std::map<Step, std::vector<Action>> insertBefore{};
  std::map<Step, std::vector<Action>> replace{};
};

std::vector<Action> HappyPathScript(const NegotiationOptions& options = {});

// The idle step's answers on their own: rekey requests get a key reply of
// type 10, heart-beats (version 1 only) a status-1 reply up to the limit.
Responder IdleResponder(const NegotiationOptions& options);

// The gateway's data plane for a recorded key request and the key reply
// that answered it: its SPI and algorithms, the client's SPI, and the key
// block the gateway derived.
vqgateway::EspPeerConfig EspPeerConfigFor(const KeyRequest& request, const KeyReplyOptions& reply);

}  // namespace vqgw
