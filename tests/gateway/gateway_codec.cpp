#include "gateway/gateway_codec.h"

#include <stdexcept>

namespace vqgw {
namespace {

uint32_t ReadBig(const uint8_t* p, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

void AppendBig(Bytes& out, uint32_t v, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

size_t Padded(size_t n) { return (n + 3) / 4 * 4; }

}  // namespace

Message& Message::Add(uint16_t payloadType, Bytes value) {
  payloads.push_back(Payload{payloadType, std::move(value)});
  return *this;
}

Message& Message::AddU32(uint16_t payloadType, uint32_t value) {
  Bytes b;
  AppendBig(b, value, 4);
  return Add(payloadType, std::move(b));
}

Message& Message::AddU16(uint16_t payloadType, uint16_t value) {
  Bytes b;
  AppendBig(b, value, 2);
  return Add(payloadType, std::move(b));
}

Message& Message::AddText(uint16_t payloadType, std::string_view text) {
  return Add(payloadType, Bytes(text.begin(), text.end()));
}

Message& Message::AddIPv4(uint16_t payloadType, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return Add(payloadType, Bytes{a, b, c, d});
}

Message& Message::AddIPv4(uint16_t payloadType, const Ipv4& address) {
  return Add(payloadType, Bytes(address.begin(), address.end()));
}

const Payload* Message::Find(uint16_t payloadType) const {
  for (const Payload& p : payloads) {
    if (p.type == payloadType) return &p;
  }
  return nullptr;
}

std::optional<uint32_t> Message::U32(uint16_t payloadType) const {
  const Payload* p = Find(payloadType);
  if (p == nullptr || p->value.size() != 4) return std::nullopt;
  return ReadBig(p->value.data(), 4);
}

std::optional<uint16_t> Message::U16(uint16_t payloadType) const {
  const Payload* p = Find(payloadType);
  if (p == nullptr || p->value.size() != 2) return std::nullopt;
  return static_cast<uint16_t>(ReadBig(p->value.data(), 2));
}

std::optional<std::string> Message::Text(uint16_t payloadType) const {
  const Payload* p = Find(payloadType);
  if (p == nullptr) return std::nullopt;
  return std::string(p->value.begin(), p->value.end());
}

Bytes Encode(const Message& message) {
  size_t total = kHeaderBytes;
  for (const Payload& p : message.payloads) {
    // The length field has 16 bits: a longer value cannot be written honestly.
    if (p.value.size() > 0xFFFF) throw std::invalid_argument("payload value longer than 65535 bytes");
    total += 4 + Padded(p.value.size());
  }
  Bytes out;
  out.reserve(total);
  out.push_back(message.version);
  out.push_back(message.flags);
  AppendBig(out, message.type, 2);
  AppendBig(out, static_cast<uint32_t>(total), 4);
  for (const Payload& p : message.payloads) {
    AppendBig(out, p.type, 2);
    AppendBig(out, static_cast<uint32_t>(p.value.size()), 2);
    out.insert(out.end(), p.value.begin(), p.value.end());
    out.resize(out.size() + (Padded(p.value.size()) - p.value.size()), 0);
  }
  return out;
}

std::optional<Message> Decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderBytes) return std::nullopt;
  const uint32_t total = ReadBig(&bytes[4], 4);
  if (total != bytes.size()) return std::nullopt;
  Message m;
  m.version = bytes[0];
  m.flags = bytes[1];
  m.type = static_cast<uint16_t>(ReadBig(&bytes[2], 2));
  size_t at = kHeaderBytes;
  while (at < total) {
    if (total - at < 4) return std::nullopt;
    const uint16_t type = static_cast<uint16_t>(ReadBig(&bytes[at], 2));
    const size_t length = ReadBig(&bytes[at + 2], 2);
    const size_t end = at + 4 + Padded(length);
    if (end > total) return std::nullopt;
    for (size_t i = at + 4 + length; i < end; ++i) {
      if (bytes[i] != 0) return std::nullopt;
    }
    m.payloads.push_back(Payload{type, Bytes(bytes.begin() + at + 4, bytes.begin() + at + 4 + length)});
    at = end;
  }
  return m;
}

void StreamReader::Feed(std::span<const uint8_t> bytes) { buffer_.insert(buffer_.end(), bytes.begin(), bytes.end()); }

std::optional<Bytes> StreamReader::Next() {
  if (broken_ || buffer_.size() < kHeaderBytes) return std::nullopt;
  const uint32_t total = ReadBig(&buffer_[4], 4);
  if (total < kHeaderBytes || total > kMaxMessageBytes) {
    broken_ = true;
    return std::nullopt;
  }
  if (buffer_.size() < total) return std::nullopt;
  Bytes message(buffer_.begin(), buffer_.begin() + total);
  buffer_.erase(buffer_.begin(), buffer_.begin() + total);
  return message;
}

}  // namespace vqgw
