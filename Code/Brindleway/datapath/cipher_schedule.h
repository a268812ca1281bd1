// One keyed CBC cipher in one direction: what a security association keeps
// as its key schedule. The key is set once; the IV comes with each call.
#pragma once

#include <cstdint>
#include <memory>

namespace brindleway {

class CipherSchedule {
 public:
  virtual ~CipherSchedule() = default;

  virtual bool Encrypts() const = 0;
  // CBC over len bytes in place; len is a multiple of the block size (0 does
  // nothing). iv holds the chaining value on entry and the last ciphertext
  // block on return, in both directions. 0, or -1 when the primitive failed.
  virtual int Cbc(uint8_t* iv, uint8_t* data, uint32_t len) = 0;
};

using CipherSchedulePtr = std::unique_ptr<CipherSchedule>;

}  // namespace brindleway
