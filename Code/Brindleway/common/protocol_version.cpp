#include "Brindleway/common/protocol_version.h"

namespace brindleway {

std::atomic<uint8_t> g_btProtocolVersion{0};

}  // namespace brindleway
