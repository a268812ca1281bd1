#include "gateway/host_check_exchange.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "gateway/scripted_replies.h"

namespace vqgw {
namespace {

Bytes WithLead(const uint8_t* piece, size_t length) {
  Bytes value{0, 0, 0, 0};
  value.insert(value.end(), piece, piece + length);
  return value;
}

bool ResultComplete(const HostCheckExchange& e) { return e.resultTotal && e.result.size() >= *e.resultTotal; }

}  // namespace

Bytes GzipText(std::string_view text) {
  z_stream z{};
  // 16 + 15: a gzip wrapper around a full window.
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  Bytes out(deflateBound(&z, static_cast<uLong>(text.size())) + 32);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

Digest Md5(const Bytes& bytes) {
  Digest digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

Bytes HostCheckAnnounce(const Digest& digest, std::optional<uint32_t> cycleMinutes) {
  Message m;
  m.type = kMsgHostCheck;
  m.Add(kPayloadHostCheckDigest, Bytes(digest.begin(), digest.end()));
  if (cycleMinutes) m.AddU32(kPayloadHostCheckCycle, *cycleMinutes);
  return Encode(m);
}

std::vector<Bytes> HostCheckScriptMessages(const Bytes& file, size_t pieceBytes) {
  std::vector<Bytes> messages;
  size_t offset = 0;
  do {
    const size_t piece = std::min(pieceBytes, file.size() - offset);
    Message m;
    m.type = kMsgHostCheck;
    if (offset == 0) m.AddU32(kPayloadHostCheckSize, static_cast<uint32_t>(file.size()));
    m.Add(kPayloadHostCheckData, WithLead(file.data() + offset, piece));
    messages.push_back(Encode(m));
    offset += piece;
  } while (offset < file.size());
  return messages;
}

HostCheckPlay::HostCheckPlay(HostCheckPlayOptions options)
    : options_(std::move(options)), state_(std::make_shared<State>()) {}

Responder HostCheckPlay::MakeResponder() const {
  const HostCheckPlayOptions options = options_;
  const std::shared_ptr<State> state = state_;
  return [options, state](const Message& request) -> std::vector<Bytes> {
    if ((request.flags & kFlagResponse) != 0) return {};
    const bool linkAnswer = request.type == kMsgHostCheckLink;
    if (!linkAnswer && request.type != kMsgHostCheck) return {};
    auto versioned = [&options](std::vector<Bytes> messages) {
      for (Bytes& m : messages) m = WithVersion(std::move(m), options.version);
      return messages;
    };

    std::lock_guard<std::mutex> lock(state->mutex);
    if (linkAnswer || request.Find(kPayloadHostCheckDigest) != nullptr) {
      HostCheckExchange e;
      e.answerType = request.type;
      for (const Payload& p : request.payloads) e.answerPayloads.push_back(p.type);
      e.sessionId = request.U32(kPayloadSessionId);
      e.same = request.U32(kPayloadHostCheckDigest);
      const bool send = e.same == 0u;
      e.scriptSent = send;
      state->exchanges.push_back(e);
      if (!send) return {};
      return versioned(HostCheckScriptMessages(options.scriptFile, options.pieceBytes));
    }
    if (state->exchanges.empty()) return {};
    HostCheckExchange& e = state->exchanges.back();
    if (const std::optional<uint32_t> stored = request.U32(kPayloadHostCheckData)) {
      e.stored = stored;
      return {};
    }
    const std::optional<uint32_t> total = request.U32(kPayloadCheckResultSize);
    const Payload* piece = request.Find(kPayloadCheckResult);
    if (!total && piece == nullptr) return {};
    if (total) e.resultTotal = total;
    e.resultPieces.push_back(piece != nullptr ? piece->value.size() : 0);
    if (piece != nullptr) e.result.insert(e.result.end(), piece->value.begin(), piece->value.end());
    if (!ResultComplete(e) || e.verdictSent) return {};
    e.verdictSent = true;
    return versioned({HostCheckReply(options.verdict)});
  };
}

std::vector<Action> HostCheckPlay::SetUpActions(const Digest& announced, std::optional<uint32_t> cycleMinutes,
                                                bool clientHasScript) const {
  return {Action::Send(WithVersion(HostCheckAnnounce(announced, cycleMinutes), options_.version)),
          Action::Respond(MakeResponder(), clientHasScript ? 1 : 2)};
}

std::vector<HostCheckExchange> HostCheckPlay::Exchanges() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->exchanges;
}

}  // namespace vqgw
