#include "Brindleway/hostcheck/host_check_unpack.h"

#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <memory>

#include "support/utf16.h"

namespace brindleway {
namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Bytes of the sequence a lead byte starts (1 for anything that can't
// start a longer one).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// Where an unfinished sequence at the end of text starts (text.size()
// when the text ends on a whole character). The decoder starts afresh at
// every non-continuation byte, so cutting there converts exactly as the
// whole text would.
size_t UnfinishedTail(std::string_view text) {
  const size_t size = text.size();
  for (size_t back = 1; back <= 4 && back <= size; ++back) {
    const auto b = static_cast<unsigned char>(text[size - back]);
    if (IsContinuation(b)) continue;
    return SequenceLength(b) > back ? size - back : size;
  }
  return size;
}

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose_r(file); }
};

}  // namespace

std::string Utf8ChunkDecoder::Feed(std::string_view chunk) {
  carry_.append(chunk);
  const size_t cut = UnfinishedTail(carry_);
  std::string out = Utf16LeBytes(Utf8ToUtf16(std::string_view(carry_).substr(0, cut)));
  carry_.erase(0, cut);
  return out;
}

std::string Utf8ChunkDecoder::Finish() {
  std::string out = Utf16LeBytes(Utf8ToUtf16(carry_));
  carry_.clear();
  return out;
}

std::optional<std::string> UnpackScript(int fd, size_t chunkBytes, size_t limit) {
  if (chunkBytes == 0 || chunkBytes > INT_MAX) return std::nullopt;
  const int own = ::dup(fd);
  if (own < 0) return std::nullopt;
  std::unique_ptr<gzFile_s, GzCloser> gz(gzdopen(own, "rb"));
  if (!gz) {
    ::close(own);
    return std::nullopt;
  }
  Utf8ChunkDecoder decoder;
  std::string out;
  std::string chunk(chunkBytes, '\0');
  size_t total = 0;
  for (;;) {
    const int n = gzread(gz.get(), chunk.data(), static_cast<unsigned>(chunk.size()));
    if (n < 0) return std::nullopt;
    // zlib passes data that is not gzip through as it stands: refuse it.
    if (gzdirect(gz.get()) != 0) return std::nullopt;
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > limit) return std::nullopt;
    out += decoder.Feed(std::string_view(chunk.data(), static_cast<size_t>(n)));
  }
  int error = Z_OK;
  gzerror(gz.get(), &error);
  if (error != Z_OK || total == 0) return std::nullopt;
  out += decoder.Finish();
  // A damaged trailer (length or CRC) shows only at the close.
  if (gzclose_r(gz.release()) != Z_OK) return std::nullopt;
  return out;
}

}  // namespace brindleway
