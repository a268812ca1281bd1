#include "Brindleway/channel/channel_session.h"

#include <chrono>
#include <ctime>
#include <string>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/negotiation_requests.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/traffic_counters.h"
#include "support/guarded.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

// Events of the set-up that the client application acts on.
constexpr uint32_t VQ_EVT_HIDE_WINDOW = 120;
constexpr int VQ_ERR_PROX_IP_RECONNECT = 107;
constexpr int VQ_ERR_SETUP_TUNNEL = 41;

// The preferred-gateway hand-over: poll for the detection, pause between
// entries, and the longest wait for the detection to finish.
constexpr int kProximityPollMs = 50;
constexpr int kPreferServerPauseMs = 20;
constexpr int kProximityWaitLimitMs = 30000;

DispatchEnv MakeDispatchEnv(ChannelSessionEnv& env) {
  DispatchEnv d = ChannelDispatchEnv(env.gui, env.ctx, env.network);
  d.startProximity = env.parts.startProximity;
  return d;
}

// Clears the set-up's cancel event from the session on every way out, so
// the watch threads' waits answer only to their own stop event.
struct CancelScope {
  CChannelSession& session;
  CancelScope(CChannelSession& s, const platform::Event& cancel) : session(s) { session.SetCancelEvent(&cancel); }
  ~CancelScope() { session.SetCancelEvent(nullptr); }
};

}  // namespace

DispatchEnv ChannelDispatchEnv(GuiReports& gui, ChannelContext& ctx, NetworkView network) {
  DispatchEnv d;
  d.reports = &gui;
  d.connInfo = &ctx.connInfo;
  d.channelState = &ctx.channelState;
  d.network = std::move(network);
  return d;
}

NewConnectEnv ChannelConnectEnv(const conn_info& info, GuiReports& gui,
                                std::function<bool(const conn_info&)> setUsbKeyPin) {
  NewConnectEnv connect;
  connect.conn = info;
  connect.reports = &gui;
  connect.setUsbKeyPin = std::move(setUsbKeyPin);
  return connect;
}

ChannelSession::ChannelSession(ChannelSessionEnv env)
    : env_(std::move(env)),
      session_(env_.gui),
      dispatch_(session_, MakeDispatchEnv(env_)),
      guiKeepAlive_(env_.ctx, env_.post, env_.clock != nullptr ? *env_.clock : platform::SystemClock()),
      channelKeepAlive_(env_.ctx, env_.post, env_.clock != nullptr ? *env_.clock : platform::SystemClock()) {
  dispatch_.Attach();
  // A close's stop of the heart-beat also ends the request it waits in.
  session_.SetStopEvent(&env_.ctx.heartBeatStop);
}

ChannelSession::~ChannelSession() {
  channelKeepAlive_.Stop();
  guiKeepAlive_.Stop();
}

int ChannelSession::Fail(int code, const char* text, const conn_info& info, uint32_t reconnect) {
  if (env_.closeTunnelChannel) env_.closeTunnelChannel();
  LogPrint(LOG_ERR, text, info.host);
  ReportFailure(code, reconnect);
  return code;
}

void ChannelSession::ReportFailure(int code, uint32_t reconnect) {
  if (reconnect == 0 && !session_.Cancelled()) env_.gui.NotifyGuiEvent(static_cast<uint32_t>(code));
}

bool ChannelSession::UsbKeyPinStep(const conn_info& info) {
  if ((info.init & CONN_FLAG_USB_KEY) == 0) return true;
  return env_.parts.setUsbKeyPin && env_.parts.setUsbKeyPin(info);
}

int ChannelSession::Connect(const conn_info& info) {
  int certChoice = static_cast<int>(info.init & CONN_FLAG_USB_KEY);
  if ((info.init & CONN_FLAG_WEB_CONNECT) != 0) {
    LogPrint(LOG_ERR, "Connect with CONN_FLAG_WEB_CONNECT\n");
    certChoice = 4;
  }
  return session_.ConnectChannel(info.host, static_cast<uint16_t>(info.port & 0xFFFF), certChoice,
                                 (info.init & CONN_FLAG_NEW_SERVER_CERT) != 0);
}

int ChannelSession::SetupChannel(const conn_info& info, uint32_t reconnect, uint32_t rekey,
                                 const platform::Event& cancel) {
  const CancelScope scope(session_, cancel);
  session_.m_bSetIpSeen = false;
  LogPrint(LOG_INFO, "Connect to %s ...\n", info.host);
  if (rekey != 0) return Rekey(info);

  TheTrafficCounters().Clear();
  TheIpComp().Reset();
  // Nothing the gateway assigned to an earlier channel carries over.
  session_.m_dwResponseFlags = 0;
  session_.m_dwSetIpFlags = 0;
  session_.m_dnsList.clear();
  session_.m_winsList.clear();
  session_.m_routeList.clear();
  session_.m_preferredGateways.clear();

  LogPrint(LOG_INFO, "SetupChannel pConn->init = %d \n", info.init);
  if (!UsbKeyPinStep(info)) {
    LogPrint(LOG_ERR, "Set USB key PIN failed 2......\n");
    if (env_.closeTunnelChannel) env_.closeTunnelChannel();
    // The user typed the PIN for this open: tell them it was refused.
    if (reconnect == 0) env_.gui.NotifyGuiEvent(VQ_ERR_USB_KEY_PIN);
    return VQ_ERR_USB_KEY_PIN;
  }
  if (const int r = Connect(info); r != 0) return Fail(r, "Connect to %s failed\n", info, reconnect);

  if (reconnect != 0 && previousClientAddress_ != 0 && session_.LocalAddress() != previousClientAddress_) {
    LogPrint(LOG_ERR, "The client IP address %d is different from previous one %d\n", session_.LocalAddress(),
             previousClientAddress_);
    if (env_.post) env_.post(WM_CHANNEL_CLOSE, 0);
    return -1;
  }

  int r = SendLogin(session_, info.auth_type, info.user, info.secret1, reconnect != 0);
  if (r == static_cast<int>(VQ_ERR_SMS_AUTH_NEEDED)) {
    LogPrint(LOG_DEBUG, "VQ_ERR_SMS_AUTH_NEEDED.....! ");
    env_.ctx.smsNeeded = VQ_ERR_SMS_AUTH_NEEDED;
    r = env_.parts.smsExchange ? env_.parts.smsExchange(session_) : VQ_ERR_SMS_REQUEST_FAILED;
    if (r != 0) return Fail(r, "Sms Auth failed!\n", info, reconnect);
  } else if (r != 0) {
    return Fail(r, "Can't login %s\n", info, reconnect);
  }
  LogPrint(LOG_INFO, "Login ok! ");

  if (r = SendClientInfo(session_); r != 0) return Fail(r, "Send client info to server %s failed\n", info, reconnect);
  if (r = HandPreferredGateways(cancel); r != 0) {
    return Fail(r, "SetupChannel return VQ_ERR_PROX_IP_RECCONNECT \n", info, reconnect);
  }
  if (r = RunHostCheck(reconnect); r != 0) return r;

  session_.m_iState = NEG_STATE_CLIENT_INFO_DONE;
  if (session_.m_bSetIpSeen) {
    session_.m_bSetIpSeen = false;
    session_.m_iState = NEG_STATE_KEY_READY;
  } else if (r = WaitClientParameters(session_); r != 0) {
    return Fail(r, "Send client paramters failed\n", info, reconnect);
  }
  if (r = SendNewKey(session_, 0, TheIpComp().DrawOwnCpi()); r != 0) {
    return Fail(r, "Send new key to server %s failed\n", info, reconnect);
  }
  const bool v2 = IsProtocolV2OrLater();
  if (v2) session_.CloseChannel();
  env_.gui.NotifyGuiEvent(VQ_EVT_HIDE_WINDOW);

  r = env_.parts.startTunnel ? env_.parts.startTunnel(session_) : VQ_ERR_SETUP_TUNNEL;
  if (r != 0) return Fail(r, "Setup connection failed\n", info, reconnect);

  env_.ctx.channelState = CHANNEL_STATE_CONNECTED;
  if (env_.parts.startHostCheckCycle) env_.parts.startHostCheckCycle();
  env_.gui.NotifyGuiEvent(VQ_EVT_CONNECTED);
  previousClientAddress_ = session_.LocalAddress();
  if (!v2) {
    channelKeepAlive_.Start(&session_);
    heartBeatStarted_ = true;
  }
  guiKeepAlive_.Start();
  return 0;
}

int ChannelSession::Rekey(const conn_info& info) {
  const std::time_t now = std::time(nullptr);
  char when[64] = "";
  std::tm local{};
  if (GuardedLocalTime(&local, &now) == 0) std::strftime(when, sizeof when, "%a %b %d %H:%M:%S %Y", &local);
  LogPrint(LOG_DEBUG, "Process ReKey operation at %s\n", when);
  LogPrint(LOG_INFO, "SetupChannel pConn->init = %d \n", info.init);
  if (!UsbKeyPinStep(info)) {
    LogPrint(LOG_ERR, "Set USB key PIN failed 1.......\n");
    if (env_.closeTunnelChannel) env_.closeTunnelChannel();
    return VQ_ERR_USB_KEY_PIN;
  }
  if (const int r = Connect(info); r != 0) return Fail(r, "Connect to %s failed\n", info, 1);
  if (const int r = SendNewKey(session_, 1, TheIpComp().DrawOwnCpi()); r != 0) {
    return Fail(r, "Send new key to server %s failed\n", info, 1);
  }
  session_.CloseChannel();
  return 0;
}

int ChannelSession::HandPreferredGateways(const platform::Event& cancel) {
  if (!env_.parts.proximityList) return 0;
  const auto started = std::chrono::steady_clock::now();
  while (env_.parts.proximityFinished && !env_.parts.proximityFinished()) {
    // The detection ends by itself; a close or a stuck detection ends the wait.
    if (cancel.Wait(kProximityPollMs)) return 0;
    if (std::chrono::steady_clock::now() - started > std::chrono::milliseconds(kProximityWaitLimitMs)) break;
  }
  const std::vector<ProximityEntry> entries = env_.parts.proximityList();
  if (entries.empty()) return 0;

  bool firstTaken = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    LogPrint(LOG_DEBUG, "Pop Ip: %s\n", DottedIPv4(entries[i].address));
    std::vector<uint8_t> payload(kPreferServerSize, 0);
    std::memcpy(payload.data(), &entries[i].address, 4);
    std::memcpy(payload.data() + 4, &entries[i].port, 4);
    std::vector<uint8_t> reply;
    env_.gui.SendPreferServer(payload.data(), payload.size(), reply);
    if (i == 0) {
      LogPrint(LOG_DEBUG, "Send First Prox IP\n");
      if (!reply.empty() && reply[0] == VQ_NOTIFY) LogPrint(LOG_DEBUG, "Receive Gui Processs First Prox IP\n");
      firstTaken = reply.size() >= 6 && reply[0] == VQ_NOTIFY && reply[1] == VQ_NOTIFY_PREFER_SERVER &&
                   wire::GetU32(&reply[2]) == 1;
    }
    if (cancel.Wait(kPreferServerPauseMs)) return 0;
  }
  std::vector<uint8_t> end(kPreferServerSize, 0);
  std::vector<uint8_t> reply;
  env_.gui.SendPreferServer(end.data(), end.size(), reply);
  return firstTaken ? VQ_ERR_PROX_IP_RECONNECT : 0;
}

int ChannelSession::RunHostCheck(uint32_t reconnect) {
  int r = env_.parts.hostCheckDigest ? env_.parts.hostCheckDigest(session_) : WaitHostCheckDigest(session_);
  if (r == VQ_ERR_HOST_CHECK_SKIPPED) return 0;
  if (r != 0) {
    if (env_.closeTunnelChannel) env_.closeTunnelChannel();
    LogPrint(LOG_DEBUG, "SetupChannel return VQ_ERR_NO_IP_ADDRESS \n");
    ReportFailure(r, reconnect);
    return r;
  }
  if (!env_.parts.hostCheck) {
    if (env_.closeTunnelChannel) env_.closeTunnelChannel();
    LogPrint(LOG_ERR, "ProcessVBS failed\n");
    return VQ_ERR_HOST_CHECK_FAILED;
  }
  if (const HostCheckOutcome outcome = env_.parts.hostCheck(session_); outcome.code != 0) {
    if (env_.closeTunnelChannel) env_.closeTunnelChannel();
    if (outcome.report) ReportFailure(outcome.code, reconnect);
    return outcome.code;
  }
  return 0;
}

// The channel thread's CloseTunnelChannel calls it, one close at a time.
int ChannelSession::CloseChannelSequence() {
  if (env_.parts.stopProximity) env_.parts.stopProximity();
  // The heart-beat uses the connection that the close logs out and frees.
  if (heartBeatStarted_) {
    channelKeepAlive_.Stop();
    heartBeatStarted_ = false;
  }
  if (env_.parts.stopTunnel) {
    env_.parts.stopTunnel(session_);
  } else {
    session_.m_iState = NEG_STATE_NONE;
    SendLogout(session_);
    session_.CloseChannel();
  }
  esp_sa_cleanup();
  TheTrafficCounters().Clear();
  TheIpComp().Reset();
  guiKeepAlive_.Stop();
  return 0;
}

void ChannelSession::RemoveAgingPeer() { remove_aging_peer(); }

void ChannelSession::StartHostCheckOnce() {
  if (env_.parts.hostCheckOnce) env_.parts.hostCheckOnce();
}

void ChannelSession::StopHostCheckCycle() {
  if (env_.parts.stopHostCheckCycle) env_.parts.stopHostCheckCycle();
}

NewConnectEnv ChannelSession::ConnectEnv(const conn_info& info) const {
  NewConnectEnv connect = ChannelConnectEnv(info, env_.gui, env_.parts.setUsbKeyPin);
  if (env_.post) connect.postToChannelThread = env_.post;
  return connect;
}

int ChannelSession::SendChangePassword(const change_pwd_info& info) {
  // A connection of its own, with its own dispatch: the live channel is
  // never borrowed.
  CChannelSession own(env_.gui);
  DispatchEnv dispatchEnv = MakeDispatchEnv(env_);
  MessageDispatch dispatch(own, std::move(dispatchEnv));
  dispatch.Attach();
  own.SetRequestWaitMs(session_.RequestWaitMs());
  return brindleway::SendChangePassword(own, info.user, info.old_password, info.new_password,
                                        ConnectEnv(env_.ctx.connInfo.Get()));
}

void ChannelSession::SendSmsAuthCodeToServer(const std::string& code) {
  if (env_.parts.smsCode) env_.parts.smsCode(code);
}

void ChannelSession::ReqSmsAuthCode() {
  if (env_.parts.smsResend) env_.parts.smsResend();
}

ChannelStatus ChannelSession::QueryStatus() {
  ChannelStatus status;
  status.gatewayAddress = session_.ReportedGatewayAddress();
  status.localAddress = session_.ReportedLocalAddress();
  status.protocolId = session_.ProtocolId();
  status.connectedSeconds = session_.GetConnectedSeconds();
  status.cipherId = esp_cipher_id();
  status.hashId = esp_hash_id();
  FillTrafficStatus(status);
  return status;
}

}  // namespace brindleway
