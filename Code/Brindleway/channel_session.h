// The channel session: the control channel to the gateway and everything
// the set-up builds on it. Its negotiation, data path and host check grow
// into this object; until they exist a set-up fails at once and a close
// has nothing to tear down.
#pragma once

#include <functional>

#include "Brindleway/channel_ops.h"

namespace brindleway {

class ChannelSession final : public ChannelOps {
 public:
  // closeTunnelChannel: the channel thread's close, which a failed set-up runs.
  explicit ChannelSession(std::function<int()> closeTunnelChannel);

  int SetupChannel(const conn_info& info, uint32_t reconnect, uint32_t rekey,
                   const platform::Event& cancel) override;
  int CloseChannelSequence() override;
  void RemoveAgingPeer() override {}
  void StartHostCheckOnce() override {}
  void StopHostCheckCycle() override {}
  int SendChangePassword(const change_pwd_info& info) override;
  void SendSmsAuthCodeToServer(const std::string& code) override;
  void ReqSmsAuthCode() override {}
  ChannelStatus QueryStatus() override { return {}; }

 private:
  std::function<int()> closeTunnelChannel_;
};

}  // namespace brindleway
