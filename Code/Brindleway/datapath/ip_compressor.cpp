#include "Brindleway/datapath/ip_compressor.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

#include "Brindleway/common/constants.h"

namespace brindleway {

namespace {

// zlib's result as a compressor result.
int MapZlibResult(int rc) {
  switch (rc) {
    case Z_OK:
      return COMP_OK;
    case Z_BUF_ERROR:
    case Z_MEM_ERROR:
    case Z_STREAM_END:
      return COMP_ERROR_MEM_NOT_ENOUGH;
    default:
      return COMP_ERROR_FAILED;
  }
}

// The stream's input and output for one pass over whole buffers.
void SetBuffers(z_stream& s, const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t dstLen) {
  s.next_in = const_cast<Bytef*>(src);
  s.avail_in = srcLen;
  s.next_out = dst;
  s.avail_out = dstLen;
}

// Runs one pass; what it throws becomes a compressor result, so nothing
// escapes into the packet path.
template <typename Pass>
int GuardedPass(Pass&& pass) {
  try {
    return pass();
  } catch (const std::bad_alloc&) {
    return COMP_ERROR_MEM_NOT_ENOUGH;
  } catch (...) {
    return COMP_ERROR_CRASH;
  }
}

}  // namespace

int CCompressor::Compress(const uint8_t*, uint32_t, uint8_t*, uint32_t&) { return COMP_ERROR_FAILED; }

int CCompressor::Uncompress(const uint8_t*, uint32_t, uint8_t*, uint32_t&) { return COMP_ERROR_FAILED; }

uint32_t CCompressor::UncompressGrow(const uint8_t* src, uint32_t srcLen, uint32_t maxLength) {
  uint64_t factor = 1;
  for (int i = 1; i <= 9; ++i) {
    factor *= 10;
    const uint64_t wanted = factor * srcLen;
    const bool last = wanted >= maxLength;
    const uint32_t size = last ? maxLength : static_cast<uint32_t>(wanted);
    std::vector<uint8_t> buffer;
    try {
      buffer.resize(size);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    uint32_t produced = size;
    const int result = Uncompress(src, srcLen, buffer.data(), produced);
    if (result == COMP_OK) return produced;
    if (result != COMP_ERROR_MEM_NOT_ENOUGH || last) return 0;
  }
  return 0;
}

struct CZlibCompressor::Deflater {
  z_stream stream{};
  bool ready = false;
  ~Deflater() {
    if (ready) deflateEnd(&stream);
  }
};

struct CZlibCompressor::Inflater {
  z_stream stream{};
  bool ready = false;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

CZlibCompressor::CZlibCompressor() = default;
CZlibCompressor::~CZlibCompressor() = default;

int CZlibCompressor::Compress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen) {
  std::lock_guard<std::mutex> lock(m_deflateLock);
  return GuardedPass([&] {
    if (!m_deflater) m_deflater = std::make_unique<Deflater>();
    z_stream& s = m_deflater->stream;
    int rc = m_deflater->ready ? deflateReset(&s) : deflateInit(&s, Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK) return MapZlibResult(rc);
    m_deflater->ready = true;
    SetBuffers(s, src, srcLen, dst, dstLen);
    rc = deflate(&s, Z_FINISH);
    if (rc == Z_STREAM_END) {
      dstLen = static_cast<uint32_t>(s.total_out);
      return COMP_OK;
    }
    // Z_OK or Z_BUF_ERROR after Z_FINISH: the output ran out of room.
    if (rc == Z_OK) return COMP_ERROR_MEM_NOT_ENOUGH;
    return MapZlibResult(rc);
  });
}

int CZlibCompressor::Uncompress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen) {
  std::lock_guard<std::mutex> lock(m_inflateLock);
  return GuardedPass([&] {
    if (!m_inflater) m_inflater = std::make_unique<Inflater>();
    z_stream& s = m_inflater->stream;
    int rc = m_inflater->ready ? inflateReset(&s) : inflateInit(&s);
    if (rc != Z_OK) return MapZlibResult(rc);
    m_inflater->ready = true;
    SetBuffers(s, src, srcLen, dst, dstLen);
    rc = inflate(&s, Z_FINISH);
    if (rc == Z_STREAM_END) {
      dstLen = static_cast<uint32_t>(s.total_out);
      return COMP_OK;
    }
    // Stopped with the output full: more room may help. Stopped with room
    // left: the input ended early, which no room can mend.
    if (rc == Z_OK || rc == Z_BUF_ERROR) return s.avail_out == 0 ? COMP_ERROR_MEM_NOT_ENOUGH : COMP_ERROR_FAILED;
    if (rc == Z_MEM_ERROR) return COMP_ERROR_MEM_NOT_ENOUGH;
    return COMP_ERROR_FAILED;
  });
}

}  // namespace brindleway
