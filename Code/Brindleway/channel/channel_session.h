// The channel session: the control channel to the gateway, the dispatch of
// what it reads, the watch threads, and what the set-up builds on them.
//
// SetupChannel (open, reopen):
//   1. USB-key PIN (when the record asks for the key's certificate)
//   2. TCP and TLS connect; on a reopen, give up when our address changed
//   3. login, with the SMS exchange when the gateway asks for it
//   4. client information; preferred gateways to the client application
//   5. host check (skipped when the gateway sends its parameters instead)
//   6. the gateway's parameters (SET_IP, SET_ROUTE, KEY_DONE), new key
//   7. version 2 gateways: TLS closed; report 120
//   8. data path; channel state 4; report 13; watch threads
// Rekey: connect, new key (type 10), TLS closed. Every failure closes the
// channel through the channel thread's close; a first open reports it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Brindleway/channel/keep_alive_threads.h"
#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/channel_ops.h"
#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/message_dispatch.h"
#include "Brindleway/control/negotiation_requests.h"
#include "platform/sync/event.h"

namespace brindleway {

// One preferred gateway of the proximity detection, as stored.
struct ProximityEntry {
  uint32_t address = 0;  // network order
  uint32_t port = 0;
};

// What the set-up and the close call that other parts of the service
// provide. An empty function means that part is not there.
// How the set-up's host check ended: code 0 goes on. A script that could not
// run ends the set-up without a report; the gateway's refusal is reported.
struct HostCheckOutcome {
  int code = 0;
  bool report = true;
};

struct SessionParts {
  // The data path: adapter, data socket, routes, DNS, data-path threads.
  // 0 or the start's code. The stop undoes it and logs out.
  std::function<int(CChannelSession&)> startTunnel;
  std::function<void(CChannelSession&)> stopTunnel;
  // The SMS exchange after a login that asked for it: request the code,
  // open the dialog, wait for the user. 0 when the gateway took the code.
  std::function<int(CChannelSession&)> smsExchange;
  std::function<void(const std::string& code)> smsCode;
  std::function<void()> smsResend;
  // The set-up's request for the host-check script's digest: 0 when the
  // gateway announced one, 1031 when it needs no host check, else a failure.
  // Without it the set-up asks the gateway itself.
  std::function<int(CChannelSession&)> hostCheckDigest;
  // After the script digest: fetch and run the script, send the result,
  // wait for the verdict. 0, or the code that ends the set-up.
  std::function<HostCheckOutcome(CChannelSession&)> hostCheck;
  std::function<void()> startHostCheckCycle;
  std::function<void()> stopHostCheckCycle;
  std::function<void()> hostCheckOnce;
  // The proximity detection over the preferred gateways the client
  // information brought: started by the dispatch, stopped by every close;
  // finished yet, and its sorted list.
  std::function<void()> startProximity;
  std::function<void()> stopProximity;
  std::function<bool()> proximityFinished;
  std::function<std::vector<ProximityEntry>()> proximityList;
  // Hands the record's PIN to the USB key's provider; false when refused.
  std::function<bool(const conn_info&)> setUsbKeyPin;
};

struct ChannelSessionEnv {
  ChannelContext& ctx;
  GuiReports& gui;
  // The channel thread's close (CloseTunnelChannel) and PostThreadMessage.
  std::function<int()> closeTunnelChannel;
  PostToChannelThread post;
  SessionParts parts;
  NetworkView network = SystemNetworkView();
  // The watch threads' clock (null: the system's).
  platform::Clock* clock = nullptr;
};

// What a dispatch and a connect of this service are given, for the
// channel and for the connections of its own that the host check makes.
DispatchEnv ChannelDispatchEnv(GuiReports& gui, ChannelContext& ctx, NetworkView network);
NewConnectEnv ChannelConnectEnv(const conn_info& info, GuiReports& gui,
                                std::function<bool(const conn_info&)> setUsbKeyPin);

class ChannelSession final : public ChannelOps {
 public:
  explicit ChannelSession(ChannelSessionEnv env);
  ~ChannelSession() override;

  int SetupChannel(const conn_info& info, uint32_t reconnect, uint32_t rekey,
                   const platform::Event& cancel) override;
  int CloseChannelSequence() override;
  void RemoveAgingPeer() override;
  void StartHostCheckOnce() override;
  void StopHostCheckCycle() override;
  int SendChangePassword(const change_pwd_info& info) override;
  void SendSmsAuthCodeToServer(const std::string& code) override;
  void ReqSmsAuthCode() override;
  ChannelStatus QueryStatus() override;

  // The control channel (the service sets the host texts on it; tests
  // read its state) and the limits of its waits.
  void SetRequestWaitMs(int64_t waitMs) { session_.SetRequestWaitMs(waitMs); }
  void SetConnectLimitMs(int64_t limitMs) { session_.SetConnectLimitMs(limitMs); }
  CChannelSession& Session() { return session_; }

 private:
  // The failure path: close, log the text (with the host where it has a
  // place for it), report on a first open, return the code.
  int Fail(int code, const char* text, const conn_info& info, uint32_t reconnect);
  // A first open's failure goes to the client application, unless a close
  // cancelled the set-up: the user asked for the end.
  void ReportFailure(int code, uint32_t reconnect);
  int Rekey(const conn_info& info);
  bool UsbKeyPinStep(const conn_info& info);
  int Connect(const conn_info& info);
  // 0, or 107 when the client application took the first preferred gateway.
  int HandPreferredGateways(const platform::Event& cancel);
  int RunHostCheck(uint32_t reconnect);
  NewConnectEnv ConnectEnv(const conn_info& info) const;

  ChannelSessionEnv env_;
  CChannelSession session_;
  MessageDispatch dispatch_;
  GuiKeepAliveThread guiKeepAlive_;
  ChannelKeepAliveThread channelKeepAlive_;
  // The local address at the end of the last successful set-up.
  uint32_t previousClientAddress_ = 0;
  bool heartBeatStarted_ = false;
};

}  // namespace brindleway
