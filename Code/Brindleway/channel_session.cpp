#include "Brindleway/channel_session.h"

#include "support/log.h"

namespace brindleway {

ChannelSession::ChannelSession(std::function<int()> closeTunnelChannel)
    : closeTunnelChannel_(std::move(closeTunnelChannel)) {}

int ChannelSession::SetupChannel(const conn_info& info, uint32_t, uint32_t, const platform::Event&) {
  LogPrint(LOG_INFO, "Connect to %s ...\n", info.host);
  if (closeTunnelChannel_) closeTunnelChannel_();
  LogPrint(LOG_ERR, "Connect to %s failed\n", info.host);
  return -1;
}

int ChannelSession::CloseChannelSequence() { return 0; }

int ChannelSession::SendChangePassword(const change_pwd_info&) { return -1; }

void ChannelSession::SendSmsAuthCodeToServer(const std::string&) {}

}  // namespace brindleway
