#include "Brindleway/hostcheck/host_check_setup.h"

namespace brindleway {

void AttachHostCheck(SessionParts& parts, CSecurityCheck& check,
                     std::function<std::optional<Md5Digest>()> keepAliveDigest) {
  parts.hostCheckDigest = [&check](CChannelSession& channel) {
    Md5Digest digest{};
    return check.GetVBSMD5(channel, digest.data());
  };
  parts.hostCheck = [&check](CChannelSession& channel) {
    check.SetCheckLink(&channel);
    bool scriptFailed = false;
    const int code = check.RunSetupCheck(channel, &scriptFailed);
    return HostCheckOutcome{code, !scriptFailed};
  };
  parts.startHostCheckCycle = [&check] { check.StartHostCheckCycle(); };
  parts.stopHostCheckCycle = [&check] { check.StopHostCheckCycle(); };
  parts.hostCheckOnce = [&check, keepAliveDigest = std::move(keepAliveDigest)] {
    if (!keepAliveDigest) return;
    if (const std::optional<Md5Digest> digest = keepAliveDigest()) check.OnHostCheckDigest(digest->data(), 1);
  };
}

}  // namespace brindleway
