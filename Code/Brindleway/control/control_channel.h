// CChannelSession: the control channel to the gateway, one TCP connection
// (optionally through an HTTP proxy) with TLS on top, and the negotiation
// state the control protocol builds on it. Driven by one thread at a time.
//
// Lifecycle: closed -> ConnectTcp -> TCP open -> ConnectChannel -> TLS open
// with m_iState 1 -> negotiation -> CloseChannel -> closed. Every failure of
// ConnectTcp or ConnectChannel leaves the session closed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Brindleway/adapter/session_lists.h"
#include "Brindleway/common/channel_ops.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/control/ctrl_stream_framer.h"
#include "Brindleway/control/tls_context.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace brindleway {

class SocketDeadline;

// Negotiation state after the addresses of a new connection were captured.
inline constexpr uint8_t CHANNEL_NEGOTIATION_CONNECTED = 1;
// The gateway's UDP port when SET_IP names none.
inline constexpr uint16_t kDefaultGatewayUdpPort = 4500;
// Largest host-check script the gateway may announce.
inline constexpr uint32_t kMaxHostCheckScriptBytes = 16u << 20;
// The read buffer of the control channel.
inline constexpr size_t kChannelReadBufferSize = 16384;

class CChannelSession {
 public:
  // Reports go to the client application's pipe.
  CChannelSession();
  explicit CChannelSession(GuiReports& reports);
  ~CChannelSession();
  CChannelSession(const CChannelSession&) = delete;
  CChannelSession& operator=(const CChannelSession&) = delete;

  void SetProxy(std::string host, uint16_t port, bool use);
  // The limit of one whole connect (TCP, proxy exchange, TLS handshake).
  void SetConnectLimitMs(int64_t limitMs) { m_connectLimitMs = limitMs; }
  // Every wait of a connect ends early once cancel is set (null: none).
  void SetCancelEvent(const platform::Event* cancel) { m_pCancel.store(cancel); }
  const platform::Event* CancelEvent() const { return m_pCancel.load(); }
  // A second such event for the whole life of the session (a close's stop
  // of the heart-beat), beside the set-up's cancel event.
  void SetStopEvent(const platform::Event* stop) { m_pStop.store(stop); }

  // 0, or 2 (socket), 3 (host), 4 (connect), 5/6 (proxy send/receive),
  // 7 (proxy refused).
  int ConnectTcp(const std::string& host, uint16_t port);
  // 0, 7, 61, 1001 or a code of ConnectTcp. newServerCert: the connection
  // record's CONN_FLAG_NEW_SERVER_CERT (the gateway's certificate replaces
  // its stored copy).
  int ConnectChannel(const std::string& host, uint16_t port, int useUsbKey, bool newServerCert = false);
  // 0 or -1.
  int GetChannelAddresses();
  // 0 or 61.
  int PrepareChannelRead();
  void CloseTcp();
  // Sends close_notify when TLS is up; always 0.
  int CloseChannel();

  // Seconds since the connect time, 0 while none is set.
  double GetConnectedSeconds() const;
  void SetConnectTime(std::time_t seconds) { m_tConnectTime.store(seconds); }

  // What the status query reports; readable from any thread.
  uint32_t ReportedGatewayAddress() const { return m_dwReportedGatewayAddr.load(); }
  uint32_t ReportedLocalAddress() const { return m_dwReportedLocalAddr.load(); }
  uint16_t ProtocolId() const { return m_wProtocolId.load(); }
  // The status query shows no gateway once the data path of a version 2
  // gateway is gone.
  void ClearReportedAddresses() {
    m_dwReportedGatewayAddr = 0;
    m_dwReportedLocalAddr = 0;
    m_wProtocolId = 0;
  }

  int Socket() const { return m_sock.get(); }
  SSL* Ssl() const { return m_pSsl.get(); }
  uint32_t IsConnected() const { return m_dwConnected; }
  // The negotiation state; the negotiation steps move it on from 1.
  uint8_t m_iState = 0;
  // Network order.
  uint32_t LocalAddress() const { return m_dwLocalAddr; }
  uint32_t ServerAddress() const { return m_dwServerAddr; }
  uint16_t ServerTcpPort() const { return m_wServerTcpPort; }
  // The connection's two ends as GetChannelAddresses records them; for a
  // session whose messages come from elsewhere than its own socket.
  void SetChannelAddresses(uint32_t local, uint32_t server) {
    m_dwLocalAddr = local;
    m_dwServerAddr = server;
  }
  std::vector<uint8_t>& ReadBuffer() { return m_readBuffer; }

  // --- Negotiation (negotiation_requests.h drives these) ---

  // Receives each whole control message that ReadChannel takes off the
  // connection; its result is ReadChannel's. Without one a message is only
  // parsed.
  using MessageHandler = std::function<int(const uint8_t* bytes, size_t length)>;
  void SetMessageHandler(MessageHandler handler) { m_messageHandler = std::move(handler); }
  // How long one request waits for its response.
  void SetRequestWaitMs(int64_t waitMs) { m_requestWaitMs = waitMs; }
  int64_t RequestWaitMs() const { return m_requestWaitMs; }
  // Held by every request for its whole run: one request at a time on the
  // TLS connection, whichever thread asks.
  std::mutex& RequestLock() { return m_requestLock; }

  // Hands one whole message to the handler: a buffered one first, else one
  // TLS read when the socket (or TLS) has bytes. 0 (also when nothing
  // complete arrived), 7 (no TLS, read error), 8 (closed by the peer), 9
  // (poll failed), 75 (the stream can't be framed) or the handler's code.
  int ReadChannel();
  // True while a whole message is buffered or TLS holds decrypted bytes.
  bool HasPendingInput() const;
  // Waits up to waitMs for the socket to become readable or the cancel
  // event to be set; false on poll failure.
  bool WaitReadable(int waitMs) const;
  // The cancel event is set: a close wants every wait to end.
  bool Cancelled() const;
  // Writes every byte within the request wait limit. 0, or 5 (no TLS,
  // failed or timed out); sent tells how many bytes went out.
  int WriteChannel(const uint8_t* bytes, size_t length, size_t* sent = nullptr);

  // Bit 0 of the response flags: a response is awaited. Bits 1 and 2: the
  // gateway saw another client or gateway address than ours.
  static constexpr uint32_t kResponseAwaited = 0x1;
  static constexpr uint32_t kClientAddressDiffers = 0x2;
  static constexpr uint32_t kServerAddressDiffers = 0x4;
  uint32_t m_dwResponseFlags = 0;
  uint16_t m_wExpectedResponse = 0;
  // clear nonzero: the response flags keep only bits; else bits are added
  // and the host check's answer (type 11) is the one awaited.
  void SetAwaitFlags(uint32_t bits, int clear) {
    if (clear != 0) {
      m_dwResponseFlags &= bits;
    } else {
      m_dwResponseFlags |= bits;
      m_wExpectedResponse = 11;
    }
  }
  // A SET_IP arrived (the gateway skipped the host check).
  bool m_bSetIpSeen = false;
  uint32_t m_dwSessionId = 0;
  // Host order; the aging one still decrypts packets of the previous key.
  uint32_t m_dwLocalSpi = 0;
  uint32_t m_dwAgingLocalSpi = 0;
  std::array<uint8_t, 48> m_keyMaterial{};
  uint32_t m_dwHostCheckTotal = 0;
  uint32_t m_dwHostCheckReceived = 0;
  // --- What the gateway assigned (the message dispatch fills these) ---
  // SET_IP flags: tunnel address, netmask, UDP port given.
  static constexpr uint32_t kSetIpAddress = 0x1;
  static constexpr uint32_t kSetIpNetmask = 0x2;
  static constexpr uint32_t kSetIpUdpPort = 0x10;
  uint32_t m_dwSetIpFlags = 0;
  // Network order.
  uint32_t m_dwTunnelAddr = 0;
  uint32_t m_dwGatewayTunnelAddr = 0;
  uint32_t m_dwTunnelMask = 0;
  uint16_t m_wGatewayUdpPort = kDefaultGatewayUdpPort;
  std::vector<uint32_t> m_dnsList;
  std::vector<uint32_t> m_winsList;
  std::vector<RouteRecord> m_routeList;
  std::vector<PreferredGateway> m_preferredGateways;
  // Host order.
  uint32_t m_dwGatewaySpi = 0;
  std::array<uint8_t, KEY_BLOCK_LENGTH> m_keyBlock{};
  std::array<uint8_t, 16> m_hostCheckDigest{};
  uint32_t m_dwHostCheckCycle = 0;
  // Set while the host-check script is being received; its pieces land in
  // m_hostCheckScript.
  bool m_bHostCheckDownload = false;
  std::vector<uint8_t> m_hostCheckScript;

  // What the login tells the gateway about this machine (empty: not known).
  std::string m_strHostId;
  std::string m_strHostName;

 private:
  int ConnectTcpUntil(const std::string& host, uint16_t port, const SocketDeadline& deadline);
  // Handshake steps until done or the deadline; the result of ConnectChannel's step 6-8.
  int Handshake(const SocketDeadline& deadline);
  void FreeTls();

  GuiReports& m_reports;
  platform::UniqueFd m_sock;
  uint32_t m_dwConnected = 0;
  std::string m_strProxyHost;
  uint16_t m_wProxyPort = 0;
  uint32_t m_dwUseProxy = 0;
  uint32_t m_dwLocalAddr = 0;
  uint32_t m_dwServerAddr = 0;
  uint16_t m_wServerTcpPort = 0;
  SslCtxPtr m_pSslCtx;
  SslPtr m_pSsl;
  std::atomic<std::time_t> m_tConnectTime{0};
  std::vector<uint8_t> m_readBuffer;
  int64_t m_connectLimitMs = kChannelConnectLimitMs;
  // Set and cleared by the set-up while the watch threads may read them.
  std::atomic<const platform::Event*> m_pCancel{nullptr};
  std::atomic<const platform::Event*> m_pStop{nullptr};
  std::atomic<uint32_t> m_dwReportedGatewayAddr{0};
  std::atomic<uint32_t> m_dwReportedLocalAddr{0};
  std::atomic<uint16_t> m_wProtocolId{0};
  CtrlStreamFramer m_framer;
  MessageHandler m_messageHandler;
  int64_t m_requestWaitMs = kRequestWaitMs;
  std::mutex m_requestLock;
};

}  // namespace brindleway
