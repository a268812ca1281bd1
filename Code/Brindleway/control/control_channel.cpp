// A channel connect, start to finish (one deadline covers all of it):
//   1. ConnectTcp: non-blocking IPv4 socket; the target is the proxy when
//      one is in use, else the gateway; a name is resolved, its first
//      address taken; connect;
//   2. through a proxy, the CONNECT exchange (proxy_connect.h);
//   3. a fresh TLS context and connection (tls_context.h) on the socket;
//   4. handshake steps, waiting in poll while OpenSSL wants to read or
//      write; a completed handshake reports an expired (1009) or not yet
//      valid (1008) gateway certificate;
//   5. the negotiated protocol goes to the status reply;
//   6. the peer and local addresses are captured, reading is prepared.
#include "Brindleway/control/control_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/proxy_connect.h"
#include "Brindleway/control/socket_wait.h"
#include "platform/net/host_address.h"
#include "support/ipv4_text.h"
#include "support/log.h"

namespace brindleway {
namespace {

GuiReports& PipeReports() {
  static PipeGuiReports reports;
  return reports;
}

using SocketNameCall = int (*)(int, sockaddr*, socklen_t*);

// One end's IPv4 address of a connected socket through call (getpeername
// or getsockname); a failure is logged with callFailed (given errno) or
// notIPv4.
bool SocketEndIPv4(int fd, SocketNameCall call, const char* callFailed, const char* notIPv4, sockaddr_in& out) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (call(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    LogPrint(LOG_ERR, callFailed, static_cast<unsigned>(errno));
    return false;
  }
  if (address.ss_family != AF_INET) {
    LogPrint(LOG_ERR, notIPv4);
    return false;
  }
  std::memcpy(&out, &address, sizeof out);
  return true;
}

}  // namespace

CChannelSession::CChannelSession() : CChannelSession(PipeReports()) {}

CChannelSession::CChannelSession(GuiReports& reports) : m_reports(reports) {
  IgnoreSigPipe();
  m_pSslCtx = NewClientTlsContext();
}

CChannelSession::~CChannelSession() = default;

void CChannelSession::SetProxy(std::string host, uint16_t port, bool use) {
  m_strProxyHost = std::move(host);
  m_wProxyPort = port;
  m_dwUseProxy = use ? 1 : 0;
}

int CChannelSession::ConnectTcp(const std::string& host, uint16_t port) {
  const SocketDeadline deadline(m_connectLimitMs, m_pCancel.load());
  return ConnectTcpUntil(host, port, deadline);
}

int CChannelSession::ConnectTcpUntil(const std::string& host, uint16_t port, const SocketDeadline& deadline) {
  platform::UniqueFd sock(CreateTcpSocket());
  if (!sock.valid()) {
    LogPrint(LOG_ERR, "Create socket error [%d]\n", errno);
    return VQ_ERR_CREATE_SOCKET;
  }

  const bool viaProxy = m_dwUseProxy != 0;
  // The gateway's name travels in the proxy request: refuse one that can't.
  if (viaProxy && !BuildProxyConnectRequest(host, port)) {
    LogPrint(LOG_ERR, "Bad IP address or host name [%d]\n", EINVAL);
    return VQ_ERR_BAD_HOST;
  }
  const std::string& targetHost = viaProxy ? m_strProxyHost : host;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(viaProxy ? m_wProxyPort : port);
  if (const int error = platform::net::ResolveIPv4(targetHost, target.sin_addr); error != 0) {
    LogPrint(LOG_ERR, "Bad IP address or host name [%d]\n", error);
    return VQ_ERR_BAD_HOST;
  }

  if (const int error = ConnectSocket(sock.get(), target, deadline); error != 0) {
    LogPrint(LOG_ERR, "Connect to \"%s\" (%s) error [%d]\n", host, DottedIPv4(target.sin_addr.s_addr), error);
    return VQ_ERR_CONNECT;
  }

  if (viaProxy) {
    if (const int result = ProxyConnect(sock.get(), host, port, deadline); result != 0) return result;
  }

  m_sock = std::move(sock);
  m_dwReportedGatewayAddr = target.sin_addr.s_addr;
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (::getsockname(m_sock.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET) {
    LogPrint(LOG_ERR, "Get client address failed\n");
    m_dwReportedLocalAddr = 0;
  } else {
    m_dwReportedLocalAddr = local.sin_addr.s_addr;
  }
  return 0;
}

int CChannelSession::ConnectChannel(const std::string& host, uint16_t port, int useUsbKey, bool newServerCert) {
  const SocketDeadline deadline(m_connectLimitMs, m_pCancel.load());
  if (const int result = ConnectTcpUntil(host, port, deadline); result != 0) {
    LogPrint(LOG_ERR, "Connect to the server failed\n");
    return result;
  }

  // The stored certificate belongs to the gateway, never to the proxy we
  // reached it through.
  ServerCertKey certKey;
  certKey.newServerCert = newServerCert;
  if (m_dwUseProxy == 0) {
    certKey.gatewayAddress = m_dwReportedGatewayAddr.load();
  } else if (in_addr gateway{}; platform::net::ResolveIPv4(host, gateway) == 0) {
    certKey.gatewayAddress = gateway.s_addr;
  }

  FreeTls();
  m_pSslCtx = NewClientTlsContext();
  m_pSsl = InitSSL(m_pSslCtx.get(), useUsbKey, certKey);
  if (!m_pSsl || SSL_set_fd(m_pSsl.get(), m_sock.get()) != 1) {
    m_wProtocolId = 0;
    FreeTls();
    CloseTcp();
    return VQ_ERR_SSL_CONNECT;
  }

  if (const int result = Handshake(deadline); result != 0) return result;

  if (GetChannelAddresses() != 0) {
    FreeTls();
    CloseTcp();
    return VQ_ERR_SSL_CONNECT;
  }
  return PrepareChannelRead();
}

int CChannelSession::Handshake(const SocketDeadline& deadline) {
  SSL* ssl = m_pSsl.get();
  // The connection's validity result starts unseen (InitSSL) and lives
  // across the steps: a step that saw the certificate may still want to
  // read, and the next one must not forget what it saw.
  bool completed = false;
  for (;;) {
    ERR_clear_error();
    const int ret = SSL_connect(ssl);
    if (ret == 1) {
      completed = true;
      break;
    }
    const TlsIoStatus status = ClassifyTlsResult(ssl, ret);
    if (status == TlsIoStatus::WantRead || status == TlsIoStatus::WantWrite) {
      const short events = status == TlsIoStatus::WantRead ? POLLIN : POLLOUT;
      if (WaitSocket(m_sock.get(), events, deadline) == SocketWait::Ready) continue;
      break;
    }
    LogPrint(LOG_ERR, "SSL connect error [0x%x]\n", static_cast<unsigned>(SSL_get_error(ssl, ret)));
    const uint32_t validity = GetCertValidityResult(ssl);
    FreeTls();
    CloseTcp();
    return validity == CERT_VALIDITY_OK ? VQ_ERR_SERVER_CERT_CHANGED : VQ_ERR_SSL_CONNECT;
  }

  if (completed) {
    const uint32_t validity = GetCertValidityResult(ssl);
    if (validity == CERT_VALIDITY_EXPIRED) m_reports.NotifyGuiEvent(VQ_EVT_CERT_EXPIRED);
    if (validity == CERT_VALIDITY_NOT_YET_VALID) m_reports.NotifyGuiEvent(VQ_EVT_CERT_NOT_YET_VALID);

    const uint16_t id = TlsProtocolId(SSL_version(ssl));
    m_wProtocolId = id;
    switch (id) {
      case 1:
        DebugTrace(TRACE_SETUP, "Use TLSv1\n");
        break;
      case 2:
        DebugTrace(TRACE_SETUP, "Use SSLv2\n");
        break;
      case 3:
        DebugTrace(TRACE_SETUP, "Use SSLv3\n");
        break;
      case 0:
        DebugTrace(TRACE_SETUP, "Unknown SSL version\n");
        break;
      default:
        DebugTrace(TRACE_SETUP, "Use %s\n", SSL_get_version(ssl));
        break;
    }
    LogPrint(LOG_INFO, "SSL connected with %s\n", SSL_get_version(ssl));
    return 0;
  }

  m_wProtocolId = 0;
  LogPrint(LOG_ERR, "SSL connect time out\n");
  FreeTls();
  CloseTcp();
  return VQ_ERR_SSL_CONNECT;
}

int CChannelSession::GetChannelAddresses() {
  sockaddr_in peer{};
  if (!SocketEndIPv4(m_sock.get(), ::getpeername, "Socket getpeername error [0x%x]\n",
                     "Socket getpeername does not return IPv4 address\n", peer)) {
    return -1;
  }
  m_dwServerAddr = peer.sin_addr.s_addr;
  m_wServerTcpPort = ntohs(peer.sin_port);
  DebugTrace(TRACE_SETUP, "Remote: IP %s, port %d\n", DottedIPv4(m_dwServerAddr), m_wServerTcpPort);

  sockaddr_in local{};
  if (!SocketEndIPv4(m_sock.get(), ::getsockname, "Socket getsockname error [0x%x]\n",
                     "Socket getsockname does not return IPv4 address\n", local)) {
    return -1;
  }
  m_dwLocalAddr = local.sin_addr.s_addr;
  DebugTrace(TRACE_SETUP, "Local: IP %s\n", DottedIPv4(m_dwLocalAddr));

  m_iState = CHANNEL_NEGOTIATION_CONNECTED;
  m_dwConnected = 1;
  return 0;
}

int CChannelSession::PrepareChannelRead() {
  // Nothing of an earlier connection belongs to this stream.
  m_framer.Reset();
  if (m_readBuffer.empty()) {
    try {
      m_readBuffer.resize(kChannelReadBufferSize);
    } catch (const std::bad_alloc&) {
      LogPrint(LOG_ERR, "Malloc memory failed\n");
      return VQ_ERR_OUT_OF_MEMORY;
    }
  }
  if (SetNonBlocking(m_sock.get()) != 0) LogPrint(LOG_ERR, "ioctlsocket error\n");
  if (m_pSsl) SSL_set_mode(m_pSsl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return 0;
}

void CChannelSession::CloseTcp() {
  m_dwConnected = 0;
  m_sock.reset();
  // Below version 2 the status shows the control socket's ends, so none
  // once it is closed; later gateways keep the last set-up's.
  if (!IsProtocolV2OrLater()) {
    m_dwReportedGatewayAddr = 0;
    m_dwReportedLocalAddr = 0;
  }
}

int CChannelSession::CloseChannel() {
  if (m_pSsl) {
    // One attempt: close_notify goes out; the gateway's own is not awaited.
    SSL_shutdown(m_pSsl.get());
    ERR_clear_error();
    m_pSsl.reset();
  }
  CloseTcp();
  m_framer.Reset();
  return 0;
}

void CChannelSession::FreeTls() {
  m_pSsl.reset();
  ERR_clear_error();
}

double CChannelSession::GetConnectedSeconds() const {
  const std::time_t since = m_tConnectTime.load();
  if (since == 0) return 0;
  return std::difftime(std::time(nullptr), since);
}

}  // namespace brindleway
