// libFuzzer target for the compressibility proof: whatever it claims of an
// input, zlib's compress() at the default level makes at least that many
// bytes of it. Each input is asked at the packet path's threshold (sent as
// it is unless compression saves more than a quarter) and just past what
// compress() really makes, where any claim is false.
//
// Input: byte 0 picks how far past the real length the second target
// lies, the rest is the payload (up to the proof's longest).
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Brindleway/datapath/deflate_bound.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t past = 1 + data[0] % 8;
  const uint8_t* payload = data + 1;
  const auto length = static_cast<uint32_t>(std::min<size_t>(size - 1, brindleway::DeflateBound::kMaxInput));
  std::vector<uint8_t> out(compressBound(length));
  uLongf produced = out.size();
  Check(compress(out.data(), &produced, payload, length) == Z_OK);
  // One proof for all inputs, as one thread keeps one for all its packets:
  // what an input leaves in it must not sway the next.
  static brindleway::DeflateBound bound;
  if (bound.AtLeast(payload, length, length - length / 4)) Check(produced >= length - length / 4);
  Check(!bound.AtLeast(payload, length, static_cast<uint32_t>(produced) + past));
  return 0;
}
