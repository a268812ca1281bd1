// What the channel thread asks of the channel session (set-up, close,
// security associations, host check, password change, SMS) and of the
// reports to the client application. The channel thread owns the order of
// things; these do the work.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync/event.h"
#include "support/conn_info.h"

namespace brindleway {

// What the status query reports of the channel; zeros while there is none.
struct ChannelStatus {
  uint32_t gatewayAddress = 0;  // IPv4, network order as the socket layer holds it
  uint32_t localAddress = 0;
  uint32_t packetsReceived = 0;
  uint32_t packetsSent = 0;
  uint32_t bytesReceived = 0;
  uint32_t bytesSent = 0;
  double connectedSeconds = 0;
  uint16_t cipherId = 0;
  uint16_t hashId = 0;
  uint16_t protocolId = 0;
  uint16_t compression0 = 0;
  uint32_t compression[4] = {0, 0, 0, 0};
};

class ChannelOps {
 public:
  virtual ~ChannelOps() = default;

  // One whole negotiation (open: reconnect 0; reopen: reconnect 1; rekey:
  // reconnect 1, rekey 1). 0 on success, else an event or error code. A
  // failure has already closed the channel. Every blocking wait inside
  // returns early once cancel is set.
  virtual int SetupChannel(const conn_info& info, uint32_t reconnect, uint32_t rekey,
                           const platform::Event& cancel) = 0;
  // Tears down an established or half-built channel; returns 0.
  virtual int CloseChannelSequence() = 0;
  // Drops the previous key pair once its aging period ended.
  virtual void RemoveAgingPeer() = 0;
  // The one-shot host check that a keep-alive packet asked for.
  virtual void StartHostCheckOnce() = 0;
  virtual void StopHostCheckCycle() = 0;
  // 0 when the gateway changed the password, else its code.
  virtual int SendChangePassword(const change_pwd_info& info) = 0;
  virtual void SendSmsAuthCodeToServer(const std::string& code) = 0;
  virtual void ReqSmsAuthCode() = 0;
  // Safe from any thread.
  virtual ChannelStatus QueryStatus() = 0;
};

class GuiReports {
 public:
  virtual ~GuiReports() = default;
  // VQ_EVENT with an event or error code.
  virtual void NotifyGuiEvent(uint32_t code) = 0;
  // VQ_PASSWORD_RESULT.
  virtual void NotifyGuiPasswordResult(uint32_t value) = 0;
  // VQ_NOTIFY with a sub-code and a text (URL, title, gateway text, credential).
  virtual void NotifyGuiText(uint8_t subCode, std::string_view text) = 0;
  // True while the client application is switching to a preferred gateway.
  virtual bool IsGuiProcessingProx() = 0;
  // VQ_NOTIFY_PREFER_SERVER with its 260-byte entry; reply holds the
  // client application's answer (empty when none came).
  virtual void SendPreferServer(const uint8_t* data, size_t length, std::vector<uint8_t>& reply) = 0;
};

}  // namespace brindleway
