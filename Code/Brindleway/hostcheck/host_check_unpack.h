// Unpacking the host-check script: the gateway sends gzip-compressed UTF-8
// text, the interpreter gets UTF-16LE. The stream is read and converted in
// chunks; a character cut by a chunk's end waits for the next chunk.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brindleway {

// The unpacked text may be no longer than this (a small gzip file can
// unpack to gigabytes).
inline constexpr size_t kMaxUnpackedScriptBytes = 32u << 20;
inline constexpr size_t kUnpackChunkBytes = 4096;

// UTF-8 in pieces -> UTF-16LE bytes, the same as converting the whole text
// at once. Invalid bytes become U+FFFD.
class Utf8ChunkDecoder {
 public:
  // The UTF-16LE bytes of every character that is complete so far.
  std::string Feed(std::string_view chunk);
  // The end of the text: an unfinished character becomes U+FFFD.
  std::string Finish();

 private:
  std::string carry_;
};

// Reads the gzip stream on fd (not taken over) in chunks of chunkBytes and
// returns the text as UTF-16LE bytes. Nothing for an empty stream, data that
// is not gzip, a damaged stream, or more than limit bytes of text.
std::optional<std::string> UnpackScript(int fd, size_t chunkBytes = kUnpackChunkBytes,
                                        size_t limit = kMaxUnpackedScriptBytes);

}  // namespace brindleway
