// Packet dumps of the data path, written only when the per-packet trace
// bit is set.
#pragma once

#include <cstdint>

namespace brindleway {

// With a title: "title (length):" first. Then one line per 16 bytes:
// offset, the byte values and the bytes as characters ('.' when not
// printable). Never reads past length bytes.
void hex_dump(const char* title, const uint8_t* data, int length);

}  // namespace brindleway
