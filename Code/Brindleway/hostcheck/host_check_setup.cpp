#include "Brindleway/hostcheck/host_check_setup.h"

namespace brindleway {

void AttachHostCheck(SessionParts& parts, CSecurityCheck& check,
                     std::function<std::optional<Md5Digest>()> keepAliveDigest) {
  parts.hostCheck = [&check](CChannelSession& channel) {
    check.SetCheckLink(&channel);
    return check.RunSetupCheck(channel);
  };
  parts.startHostCheckCycle = [&check] { check.StartHostCheckCycle(); };
  parts.stopHostCheckCycle = [&check] { check.StopHostCheckCycle(); };
  parts.hostCheckOnce = [&check, keepAliveDigest = std::move(keepAliveDigest)] {
    if (!keepAliveDigest) return;
    if (const std::optional<Md5Digest> digest = keepAliveDigest()) check.OnHostCheckDigest(digest->data(), 1);
  };
}

}  // namespace brindleway
