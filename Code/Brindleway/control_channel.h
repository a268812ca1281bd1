// CChannelSession: the control channel to the gateway, one TCP connection
// (optionally through an HTTP proxy) with TLS on top, and the negotiation
// state the control protocol builds on it. Driven by one thread at a time.
//
// Lifecycle: closed -> ConnectTcp -> TCP open -> ConnectChannel -> TLS open
// with m_iState 1 -> negotiation -> CloseChannel -> closed. Every failure of
// ConnectTcp or ConnectChannel leaves the session closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "Brindleway/channel_ops.h"
#include "Brindleway/constants.h"
#include "Brindleway/tls_context.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace brindleway {

class SocketDeadline;

// Negotiation state after the addresses of a new connection were captured.
inline constexpr uint8_t CHANNEL_NEGOTIATION_CONNECTED = 1;
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
  void SetCancelEvent(const platform::Event* cancel) { m_pCancel = cancel; }

  // 0, or 2 (socket), 3 (host), 4 (connect), 5/6 (proxy send/receive),
  // 7 (proxy refused).
  int ConnectTcp(const std::string& host, uint16_t port);
  // 0, 7, 61, 1001 or a code of ConnectTcp.
  int ConnectChannel(const std::string& host, uint16_t port, int useUsbKey);
  // 0 or -1.
  int GetChannelAddresses();
  // 0 or 61.
  int PrepareChannelRead();
  void CloseTcp();
  // Sends close_notify when TLS is up; always 0.
  int CloseChannel();

  // Seconds since the connect time, 0 while none is set.
  double GetConnectedSeconds() const;
  void SetConnectTime(std::time_t seconds) { m_tConnectTime = seconds; }

  // What the status query reports; readable from any thread.
  uint32_t ReportedGatewayAddress() const { return m_dwReportedGatewayAddr.load(); }
  uint32_t ReportedLocalAddress() const { return m_dwReportedLocalAddr.load(); }
  uint16_t ProtocolId() const { return m_wProtocolId.load(); }

  int Socket() const { return m_sock.get(); }
  SSL* Ssl() const { return m_pSsl.get(); }
  uint32_t IsConnected() const { return m_dwConnected; }
  // The negotiation state; the negotiation steps move it on from 1.
  uint8_t m_iState = 0;
  // Network order.
  uint32_t LocalAddress() const { return m_dwLocalAddr; }
  uint32_t ServerAddress() const { return m_dwServerAddr; }
  uint16_t ServerTcpPort() const { return m_wServerTcpPort; }
  std::vector<uint8_t>& ReadBuffer() { return m_readBuffer; }

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
  std::time_t m_tConnectTime = 0;
  std::vector<uint8_t> m_readBuffer;
  int64_t m_connectLimitMs = kChannelConnectLimitMs;
  const platform::Event* m_pCancel = nullptr;
  std::atomic<uint32_t> m_dwReportedGatewayAddr{0};
  std::atomic<uint32_t> m_dwReportedLocalAddr{0};
  std::atomic<uint16_t> m_wProtocolId{0};
};

}  // namespace brindleway
