// The compressors behind IP compression: a small interface and its zlib
// implementation. Result codes are the COMP_* values of constants.h.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace brindleway {

class CCompressor {
 public:
  CCompressor() = default;
  CCompressor(const CCompressor&) = delete;
  CCompressor& operator=(const CCompressor&) = delete;
  virtual ~CCompressor() = default;

  // Compresses srcLen bytes into dst, which has room for dstLen bytes; on
  // COMP_OK dstLen is the compressed length.
  virtual int Compress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen);
  // Same contract the other way. COMP_ERROR_MEM_NOT_ENOUGH: the output
  // does not fit in dstLen bytes (retry with more room).
  virtual int Uncompress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen);

  // The uncompressed length of src, found by trying rooms of 10, 100, ...
  // times srcLen. No room larger than maxLength is ever tried: data that
  // would expand beyond it yields 0, as does any failure.
  uint32_t UncompressGrow(const uint8_t* src, uint32_t srcLen, uint32_t maxLength);
};

// zlib format (what zlib's compress and uncompress read and write). One
// deflate and one inflate stream are kept and reset for every packet:
// setting a deflate stream up costs far more than compressing a packet.
// The bytes produced are the same as compress() at the default level.
// Each direction may be used from its own thread.
class CZlibCompressor : public CCompressor {
 public:
  CZlibCompressor();
  ~CZlibCompressor() override;

  int Compress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen) override;
  int Uncompress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen) override;

 private:
  struct Deflater;
  struct Inflater;
  std::mutex m_deflateLock;
  std::unique_ptr<Deflater> m_deflater;  // made on first use
  std::mutex m_inflateLock;
  std::unique_ptr<Inflater> m_inflater;  // made on first use
};

}  // namespace brindleway
