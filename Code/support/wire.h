// Little-endian, unaligned field access for wire records.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/byte_order.h"

namespace wire {

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutF64(uint8_t* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}
inline double GetF64(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(p[i]) << (8 * i);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Big-endian (network order) field access, for the gateway's control
// protocol.
using platform::GetU16BE;
using platform::GetU32BE;
using platform::PutU16BE;
using platform::PutU32BE;

// A zero-terminated text field of `size` bytes. False when no terminator
// lies inside the field.
inline bool GetText(const uint8_t* p, size_t size, std::string& out) {
  const void* nul = std::memchr(p, 0, size);
  if (nul == nullptr) return false;
  out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(static_cast<const uint8_t*>(nul) - p));
  return true;
}

// Writes text and zero-fills the rest of the field. False (field zeroed)
// when the text and its terminator do not fit.
inline bool PutText(uint8_t* p, size_t size, std::string_view text) {
  std::memset(p, 0, size);
  if (text.size() >= size || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(p, text.data(), text.size());
  return true;
}

}  // namespace wire
