// Where the host check meets the channel session: the set-up's check once
// the gateway's digest is in, the cycle's start after a successful set-up
// and its stop at the close, and the one-shot check that a keep-alive
// carrying a new digest asks for (WM_CHANNEL_HOST_CHECK).
#pragma once

#include <functional>
#include <optional>

#include "Brindleway/channel/channel_session.h"
#include "Brindleway/hostcheck/security_check.h"

namespace brindleway {

// keepAliveDigest gives the digest the last such keep-alive carried
// (nothing: no data path). check must outlive every call of the parts.
void AttachHostCheck(SessionParts& parts, CSecurityCheck& check,
                     std::function<std::optional<Md5Digest>()> keepAliveDigest);

}  // namespace brindleway
