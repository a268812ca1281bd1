// Bytes from a hex string, two digits a byte ("0aff" -> {0x0a, 0xff}), for
// known-answer vectors written as the standards print them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqtest {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace vqtest
