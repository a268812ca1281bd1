// The gateway's side of the host check, written from the wire layout:
//   1. the announcement: type 11 with 112 (the script's MD5) and 117 (the
//      cycle in minutes), unasked;
//   2. the client's digest answer: type 11 with 112 (u32: 1 current, 0
//      not), or on a connection of its own type 12 with 51 (session) first;
//   3. when not current: the script file, the length message (113, the
//      first piece in 114) and further pieces (114), each piece behind 4
//      bytes; the client answers 114 (u32: 1 stored, 0 not);
//   4. the client's result: 116 (total) with the first piece in 115, then
//      115 pieces;
//   5. once the whole result is in: the verdict, a type 11 response with a
//      status (0 passed, -7 failed and closed).
// A HostCheckPlay answers steps 2 to 5 on any number of connections (the
// set-up's, the cycle's, an on-demand run's) and records each exchange.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "gateway/gateway_codec.h"
#include "gateway/tls_gateway.h"

namespace vqgw {

using Digest = std::array<uint8_t, 16>;

inline constexpr uint16_t kMsgHostCheckLink = 12;
inline constexpr uint16_t kPayloadCheckResult = 115;
inline constexpr uint16_t kPayloadCheckResultSize = 116;
inline constexpr int32_t kStatusHostCheckFailed = -7;

// The script file as a gateway keeps it: gzip of the text.
Bytes GzipText(std::string_view text);
Digest Md5(const Bytes& bytes);

// Step 1 (version byte 0x10; WithVersion for others).
Bytes HostCheckAnnounce(const Digest& digest, std::optional<uint32_t> cycleMinutes);
// Step 3: the length message and the pieces of at most pieceBytes.
std::vector<Bytes> HostCheckScriptMessages(const Bytes& file, size_t pieceBytes);

// One exchange as the gateway saw it.
struct HostCheckExchange {
  uint16_t answerType = 0;
  // Payload types of the digest answer, in order.
  std::vector<uint16_t> answerPayloads;
  std::optional<uint32_t> sessionId;
  std::optional<uint32_t> same;
  bool scriptSent = false;
  std::optional<uint32_t> stored;
  std::optional<uint32_t> resultTotal;
  // The 115 piece of each result message, in order (0: the message had none).
  std::vector<size_t> resultPieces;
  Bytes result;
  bool verdictSent = false;
};

struct HostCheckPlayOptions {
  uint8_t version = 0x10;
  // Sent when the client's script is not current.
  Bytes scriptFile;
  size_t pieceBytes = 1000;
  int32_t verdict = 0;
};

class HostCheckPlay {
 public:
  explicit HostCheckPlay(HostCheckPlayOptions options);

  // Answers steps 2 to 5; one responder may serve many connections.
  Responder MakeResponder() const;
  // A set-up's host check: the announcement, then the answers until the
  // verdict (the script's counts as one answer when it is sent).
  std::vector<Action> SetUpActions(const Digest& announced, std::optional<uint32_t> cycleMinutes,
                                   bool clientHasScript) const;

  std::vector<HostCheckExchange> Exchanges() const;

 private:
  struct State {
    std::mutex mutex;
    std::vector<HostCheckExchange> exchanges;
  };
  HostCheckPlayOptions options_;
  std::shared_ptr<State> state_;
};

}  // namespace vqgw
