// A channel session that only answers the status query, with the status
// the test sets; every other operation does nothing and succeeds.
#pragma once

#include <string>

#include "Brindleway/common/channel_ops.h"

namespace brindleway {

class StatusSession : public ChannelOps {
 public:
  int SetupChannel(const conn_info&, uint32_t, uint32_t, const platform::Event&) override { return 0; }
  int CloseChannelSequence() override { return 0; }
  void RemoveAgingPeer() override {}
  void StartHostCheckOnce() override {}
  void StopHostCheckCycle() override {}
  int SendChangePassword(const change_pwd_info&) override { return 0; }
  void SendSmsAuthCodeToServer(const std::string&) override {}
  void ReqSmsAuthCode() override {}
  ChannelStatus QueryStatus() override { return status; }

  ChannelStatus status;
};

}  // namespace brindleway
