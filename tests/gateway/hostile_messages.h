// Broken and hostile control messages the test gateway can send: each one
// is raw bytes, mostly made by damaging a well-formed message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/gateway_codec.h"

namespace vqgw {

// The length field says `total`; the bytes stay as they are.
Bytes WithLengthField(Bytes message, uint32_t total);
// The last `cut` bytes are dropped and the length field follows, so the last
// payload's length runs past the message's end.
Bytes TruncateLastPayload(Bytes message, size_t cut);
// `extra` zero bytes appended and counted in the length field: 1 to 3 leave
// too little for a payload header after the last payload.
Bytes WithTrailingBytes(Bytes message, size_t extra);
// A payload of an unknown type (no meaning to the client) appended.
Bytes WithUnknownPayload(const Bytes& message, uint16_t payloadType = 90, const Bytes& value = {1, 2, 3, 4});
// The first payload of `payloadType` now holds `value` (wrong widths,
// oversized texts and lists); appended when absent. The message must decode.
Bytes ReplacePayload(const Bytes& message, uint16_t payloadType, const Bytes& value);
Bytes WithFlags(Bytes message, uint8_t flags);
// A response (flags 0x02) the client never asked for.
Bytes UnexpectedResponse(uint16_t type, int32_t status = 0);
// A message of `type` and `flags` carrying `count` empty payloads of type 10
// (accepted and ignored by the reader).
Bytes ManyPayloads(uint16_t type, uint8_t flags, size_t count);
// A message of at least `totalBytes` (filler payloads of type 10), e.g.
// larger than one TLS read.
Bytes OversizedMessage(uint16_t type, uint8_t flags, size_t totalBytes);

}  // namespace vqgw
