// The process-wide protocol version set for one test (or one part of it),
// and the earlier value given back at the end, failed assertions included.
#pragma once

#include <cstdint>

#include "Brindleway/common/protocol_version.h"

namespace brindleway {

class ProtocolVersionScope {
 public:
  explicit ProtocolVersionScope(uint8_t version) : m_saved(g_btProtocolVersion.load()) {
    g_btProtocolVersion = version;
  }
  ~ProtocolVersionScope() { g_btProtocolVersion = m_saved; }
  ProtocolVersionScope(const ProtocolVersionScope&) = delete;
  ProtocolVersionScope& operator=(const ProtocolVersionScope&) = delete;

 private:
  uint8_t m_saved;
};

}  // namespace brindleway
