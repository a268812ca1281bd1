#include "gateway/hostile_messages.h"

#include <algorithm>
#include <stdexcept>

namespace vqgw {
namespace {

constexpr uint16_t kIgnoredPayload = 10;

void SetLength(Bytes& message, uint32_t total) {
  if (message.size() < kHeaderBytes) throw std::invalid_argument("not a control message");
  for (int i = 0; i < 4; ++i) message[4 + i] = static_cast<uint8_t>(total >> (24 - 8 * i));
}

Message MustDecode(const Bytes& bytes) {
  std::optional<Message> m = Decode(bytes);
  if (!m) throw std::invalid_argument("message does not decode");
  return *m;
}

}  // namespace

Bytes WithLengthField(Bytes message, uint32_t total) {
  SetLength(message, total);
  return message;
}

Bytes TruncateLastPayload(Bytes message, size_t cut) {
  if (message.size() < kHeaderBytes + cut) throw std::invalid_argument("cut longer than the message");
  message.resize(message.size() - cut);
  SetLength(message, static_cast<uint32_t>(message.size()));
  return message;
}

Bytes WithTrailingBytes(Bytes message, size_t extra) {
  message.resize(message.size() + extra, 0);
  SetLength(message, static_cast<uint32_t>(message.size()));
  return message;
}

Bytes WithUnknownPayload(const Bytes& message, uint16_t payloadType, const Bytes& value) {
  Message m = MustDecode(message);
  m.Add(payloadType, value);
  return Encode(m);
}

Bytes ReplacePayload(const Bytes& message, uint16_t payloadType, const Bytes& value) {
  Message m = MustDecode(message);
  auto it = std::find_if(m.payloads.begin(), m.payloads.end(), [&](const Payload& p) { return p.type == payloadType; });
  if (it == m.payloads.end()) {
    m.Add(payloadType, value);
  } else {
    it->value = value;
  }
  return Encode(m);
}

Bytes WithFlags(Bytes message, uint8_t flags) {
  if (message.size() < kHeaderBytes) throw std::invalid_argument("not a control message");
  message[1] = flags;
  return message;
}

Bytes UnexpectedResponse(uint16_t type, int32_t status) {
  Message m;
  m.flags = kFlagResponse;
  m.type = type;
  m.AddU32(kPayloadStatus, static_cast<uint32_t>(status));
  return Encode(m);
}

Bytes ManyPayloads(uint16_t type, uint8_t flags, size_t count) {
  Message m;
  m.type = type;
  m.flags = flags;
  for (size_t i = 0; i < count; ++i) m.Add(kIgnoredPayload, {});
  return Encode(m);
}

Bytes OversizedMessage(uint16_t type, uint8_t flags, size_t totalBytes) {
  constexpr size_t kChunk = 4096;
  Message m;
  m.type = type;
  m.flags = flags;
  size_t total = kHeaderBytes;
  do {
    m.Add(kIgnoredPayload, Bytes(kChunk, 0x41));
    total += 4 + kChunk;
  } while (total < totalBytes);
  return Encode(m);
}

}  // namespace vqgw
