// The host check's own messages to the gateway, as bytes ready to write:
//   - the digest answer: type 11 with 112 (u32: 1 the script is current,
//     0 it is not); on a connection of its own type 12 with 51 (the
//     session identifier) before 112;
//   - the check result: type 11 with 116 (u32 total length) and 115 (the
//     first piece), then type 11 with 115 for each further piece; pieces of
//     at most 512 bytes; an empty result is the first message alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brindleway {

inline constexpr size_t kCheckResultPieceBytes = 512;

using WireBytes = std::vector<uint8_t>;

// Nothing when the message can't be built.
std::optional<WireBytes> BuildDigestAnswer(uint32_t same, bool ownLink, uint32_t sessionId);
// Nothing when a message can't be built (a result longer than u32).
std::optional<std::vector<WireBytes>> BuildCheckResultMessages(std::string_view result);

}  // namespace brindleway
