// Reading and writing whole control messages on the channel session's TLS
// connection. A read hands out at most one message, so a request that waits
// sees the state after each message; bytes of further messages stay in the
// framer and are taken before the socket is asked again.
#include <openssl/err.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/socket_wait.h"
#include "support/log.h"

namespace brindleway {
namespace {

int ParseOnly(const uint8_t* bytes, size_t length) {
  CtrlMessage message;
  if (const int result = message.Load(bytes, length); result != 0) return result;
  return message.Parse();
}

}  // namespace

bool CChannelSession::HasPendingInput() const {
  if (m_framer.HasWholeMessage()) return true;
  return m_pSsl && SSL_pending(m_pSsl.get()) > 0;
}

bool CChannelSession::WaitReadable(int waitMs) const {
  // A close cancels the wait as well as the socket ending it.
  const platform::Event* cancel = m_pCancel.load();
  const platform::Event* stop = m_pStop.load();
  pollfd fds[3] = {{m_sock.get(), POLLIN, 0},
                   {cancel != nullptr ? cancel->Fd() : -1, POLLIN, 0},
                   {stop != nullptr ? stop->Fd() : -1, POLLIN, 0}};
  if (!m_sock.valid() && cancel == nullptr && stop == nullptr) {
    // Nothing to wake up for: the pause still must not turn into a spin.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(waitMs, 0)));
    return true;
  }
  const int n = ::poll(fds, 3, std::max(waitMs, 0));
  return n >= 0 || errno == EINTR;
}

bool CChannelSession::Cancelled() const {
  const platform::Event* cancel = m_pCancel.load();
  const platform::Event* stop = m_pStop.load();
  return (cancel != nullptr && cancel->IsSet()) || (stop != nullptr && stop->IsSet());
}

int CChannelSession::ReadChannel() {
  std::vector<uint8_t> message;
  auto dispatch = [&]() -> int {
    if (m_messageHandler) return m_messageHandler(message.data(), message.size());
    return ParseOnly(message.data(), message.size());
  };

  // A whole message already here goes first; the socket may stay quiet.
  if (const int result = m_framer.Next(message); result != 0) return result;
  if (!message.empty()) return dispatch();

  if (!m_sock.valid()) return 0;
  if (!m_pSsl || SSL_pending(m_pSsl.get()) == 0) {
    pollfd fd{m_sock.get(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, 0);
    if (ready < 0) {
      if (errno == EINTR) return 0;
      LogPrint(LOG_ERR, "Socket select error [0x%x]\n", static_cast<unsigned>(errno));
      return VQ_ERR_SOCKET_SELECT;
    }
    if (ready == 0) return 0;
  }
  if (!m_pSsl) {
    LogPrint(LOG_ERR, "SSL is null\n");
    return VQ_ERR_SSL_READ;
  }
  if (m_readBuffer.size() < kChannelReadBufferSize) m_readBuffer.resize(kChannelReadBufferSize);

  ERR_clear_error();
  const int n = SSL_read(m_pSsl.get(), m_readBuffer.data(), static_cast<int>(kChannelReadBufferSize));
  switch (ClassifyTlsResult(m_pSsl.get(), n)) {
    case TlsIoStatus::Done:
      break;
    case TlsIoStatus::WantRead:
    case TlsIoStatus::WantWrite:
      return 0;
    case TlsIoStatus::PeerClosed:
      LogPrint(LOG_ERR, "SSL connection closed\n");
      return VQ_ERR_SSL_CLOSED;
    case TlsIoStatus::Failed:
      LogPrint(LOG_ERR, "Error(%d) occurred during SSL reading\n", SSL_get_error(m_pSsl.get(), n));
      ERR_clear_error();
      return VQ_ERR_SSL_READ;
  }
  m_framer.Append(m_readBuffer.data(), static_cast<size_t>(n));
  if (const int result = m_framer.Next(message); result != 0) return result;
  if (message.empty()) return 0;
  return dispatch();
}

int CChannelSession::WriteChannel(const uint8_t* bytes, size_t length, size_t* sent) {
  size_t done = 0;
  auto finish = [&](int result) {
    if (sent != nullptr) *sent = done;
    return result;
  };
  if (!m_pSsl || !m_sock.valid()) return finish(VQ_ERR_SEND);
  const SocketDeadline deadline(m_requestWaitMs, m_pCancel.load());
  while (done < length) {
    const int chunk = static_cast<int>(std::min<size_t>(length - done, INT_MAX));
    ERR_clear_error();
    const int n = SSL_write(m_pSsl.get(), bytes + done, chunk);
    const TlsIoStatus status = ClassifyTlsResult(m_pSsl.get(), n);
    if (status == TlsIoStatus::Done) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (status == TlsIoStatus::WantRead || status == TlsIoStatus::WantWrite) {
      const short events = status == TlsIoStatus::WantRead ? POLLIN : POLLOUT;
      if (WaitSocket(m_sock.get(), events, deadline) == SocketWait::Ready) continue;
    }
    LogPrint(LOG_ERR, "SSL write error [%d], %u of %u bytes sent\n", SSL_get_error(m_pSsl.get(), n),
             static_cast<uint64_t>(done), static_cast<uint64_t>(length));
    ERR_clear_error();
    return finish(VQ_ERR_SEND);
  }
  return finish(0);
}

}  // namespace brindleway
