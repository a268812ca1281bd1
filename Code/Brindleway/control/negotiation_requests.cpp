#include "Brindleway/control/negotiation_requests.h"

#include <arpa/inet.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "Brindleway/control/ctrl_protocol.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace brindleway {
namespace {

using Clock = std::chrono::steady_clock;

// The caller's capacity for ProductVer, as the login's text buffer.
constexpr uint32_t kTextBufferSize = 260;

enum class WaitEnd { Reached, TimedOut, Failed };

// Rounded up: a wait never ends before the deadline.
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

// Reads until the state reaches target, leaves entry (nullopt: any state
// is fine) or the wait limit passes; stop may end the wait early (Failed).
// 0 with end set, or the code of a read.
int AwaitState(CChannelSession& session, std::optional<uint8_t> entry, uint8_t target, int sleepMs, WaitEnd& end,
               const std::function<bool()>& stop = {}) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(session.RequestWaitMs());
  for (;;) {
    if (session.m_iState == target) {
      end = WaitEnd::Reached;
      return 0;
    }
    if (entry && session.m_iState != *entry) {
      end = WaitEnd::Failed;
      return 0;
    }
    if (const int result = session.ReadChannel(); result != 0) return result;
    if (session.m_iState == target) {
      end = WaitEnd::Reached;
      return 0;
    }
    if ((stop && stop()) || session.Cancelled()) {
      end = WaitEnd::Failed;
      return 0;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) {
      end = WaitEnd::TimedOut;
      return 0;
    }
    // More is buffered: no pause. Else wait for the socket, at most one pause.
    if (!session.HasPendingInput() && !session.WaitReadable(std::min(sleepMs, left))) {
      LogPrint(LOG_ERR, "Socket select error [0x%x]\n", static_cast<unsigned>(errno));
      return VQ_ERR_SOCKET_SELECT;
    }
  }
}

int WriteMessage(CChannelSession& session, const CtrlMessage& message) {
  if (!message.HasBuffer()) return VQ_ERR_SEND;
  return session.WriteChannel(message.Data(), message.Size());
}

// Writes the request, marks the awaited response and waits.
int Exchange(CChannelSession& session, const CtrlMessage& message, uint16_t expected, std::optional<uint8_t> entry,
             uint8_t target, int sleepMs, WaitEnd& end) {
  if (const int result = WriteMessage(session, message); result != 0) return result;
  session.m_dwResponseFlags |= CChannelSession::kResponseAwaited;
  session.m_wExpectedResponse = expected;
  return AwaitState(session, entry, target, sleepMs, end);
}

// One request's three outcome lines and codes.
struct Outcome {
  int successLevel;
  const char* success;
  const char* timeout;
  int timeoutCode;
  const char* failure;
  int failureCode;
};

int Finish(const Outcome& o, WaitEnd end) {
  switch (end) {
    case WaitEnd::Reached:
      LogPrint(o.successLevel, o.success);
      return 0;
    case WaitEnd::TimedOut:
      LogPrint(LOG_ERR, o.timeout);
      return o.timeoutCode;
    case WaitEnd::Failed:
      break;
  }
  LogPrint(LOG_ERR, o.failure);
  return o.failureCode;
}

bool Put(int result) { return result == 0; }

// A 31-bit SPI from the TLS library's generator: never 0 and never one of
// the SPIs still in use, so packets of two keys can't be mixed up.
bool DrawLocalSpi(uint32_t current, uint32_t aging, uint32_t& spi) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint8_t bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    const uint32_t value = ((static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
                            (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3]) &
                           0x7FFFFFFFu;
    if (value != 0 && value != current && value != aging) {
      spi = value;
      return true;
    }
  }
  return false;
}

int SendHostCheckResultUnlocked(CChannelSession& session, uint32_t result) {
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_HOST_CHECK)) ||
      !Put(message.WriteU32Payload(CM_PAYLOAD_HOST_CHECK_DATA, result))) {
    return VQ_ERR_SEND;
  }
  return WriteMessage(session, message);
}

}  // namespace

int SendLogin(CChannelSession& session, uint32_t authType, std::string_view user, std::string_view secret,
              bool reconnecting) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  g_btProtocolVersion.store(0x10);
  uint16_t secretPayload = 0;
  switch (authType) {
    case AUTH_TYPE_PASSWORD:
    case AUTH_TYPE_USB_KEY_ONLY:
      secretPayload = CM_PAYLOAD_PASSWORD;
      break;
    case AUTH_TYPE_COOKIE:
      secretPayload = CM_PAYLOAD_COOKIE;
      break;
    default:
      LogPrint(LOG_ERR, "Auth type invalid, aut_type = [%d]\n", authType);
      return VQ_ERR_AUTH_FAILED;
  }

  CtrlMessage message;
  bool ok = Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_AUTH)) &&
            Put(message.WriteU16Payload(CM_PAYLOAD_AUTH_TYPE, static_cast<uint16_t>(authType))) &&
            Put(message.WritePayload(CM_PAYLOAD_USER_NAME, user.data(), user.size())) &&
            Put(message.WritePayload(secretPayload, secret.data(), secret.size()));

  std::string productVer;
  uint32_t size = kTextBufferSize;
  if (RegReadProductValue("ProductVer", productVer, size) == 0) {
    ok = ok && Put(message.WritePayload(CM_PAYLOAD_PRODUCT_VER, productVer.data(), productVer.size()));
  } else {
    LogPrint(LOG_ERR, "Get product version failed\n");
  }
  if (!session.m_strHostId.empty()) {
    LogPrint(LOG_INFO, "HostID = %s\n", session.m_strHostId);
    ok = ok && Put(message.WritePayload(CM_PAYLOAD_HOST_ID, session.m_strHostId.data(), session.m_strHostId.size()));
  } else {
    LogPrint(LOG_INFO, "Cannot Get HostID\n");
  }
  LogPrint(LOG_INFO, "HOST_NAME = %s\n", session.m_strHostName);
  ok =
      ok && Put(message.WritePayload(CM_PAYLOAD_HOST_NAME, session.m_strHostName.data(), session.m_strHostName.size()));
  if (reconnecting) ok = ok && Put(message.WriteU32Payload(CM_PAYLOAD_SESSION_ID, session.m_dwSessionId));
  if (!ok) return VQ_ERR_SEND;

  WaitEnd end = WaitEnd::Failed;
  if (const int result = Exchange(session, message, CTRLMSG_TYPE_AUTH, NEG_STATE_CONNECTED, NEG_STATE_AUTHENTICATED,
                                  kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  return Finish({LOG_INFO, "Authenticaton OK\n", "Login time out\n", VQ_ERR_LOGIN_TIMEOUT, "Authentication failed\n",
                 VQ_ERR_AUTH_FAILED},
                end);
}

int SendClientInfo(CChannelSession& session) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_CLIENT_INFO)) ||
      !Put(message.WriteAddrPayload(CM_PAYLOAD_CLIENT_IPV4, session.LocalAddress())) ||
      !Put(message.WriteAddrPayload(CM_PAYLOAD_SERVER_IPV4, session.ServerAddress()))) {
    return VQ_ERR_SEND;
  }
  WaitEnd end = WaitEnd::Failed;
  if (const int result = Exchange(session, message, CTRLMSG_TYPE_CLIENT_INFO, NEG_STATE_AUTHENTICATED,
                                  NEG_STATE_CLIENT_INFO_DONE, kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  if (end == WaitEnd::Failed) {
    LogPrint(LOG_ERR, "Client setting failed! m_iState = %d\n", session.m_iState);
    return VQ_ERR_CLIENT_INFO_FAILED;
  }
  return Finish({LOG_INFO, "Send client info OK!\n", "Send client info time out!\n", VQ_ERR_CLIENT_INFO_TIMEOUT, "",
                 VQ_ERR_CLIENT_INFO_FAILED},
                end);
}

int WaitClientParameters(CChannelSession& session) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  WaitEnd end = WaitEnd::Failed;
  if (const int result = AwaitState(session, NEG_STATE_CLIENT_INFO_DONE, NEG_STATE_KEY_READY, kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  return Finish({LOG_INFO, "Set client parameters OK\n", "Set client parameters time out\n",
                 VQ_ERR_CLIENT_PARAMS_TIMEOUT, "Set client parameters failed\n", VQ_ERR_CLIENT_PARAMS_FAILED},
                end);
}

int SendHeartBeat(CChannelSession& session, const std::atomic<uint32_t>& channelState) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  if (channelState.load() != CHANNEL_STATE_CONNECTED) return 0;
  if (session.Ssl() == nullptr) return VQ_ERR_HEARTBEAT_FAILED;

  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_KEEPALIVE)) ||
      !Put(message.WriteU32Payload(CM_PAYLOAD_KEEPALIVE, 1))) {
    return VQ_ERR_HEARTBEAT_FAILED;
  }
  // A retry is safe only while nothing of the message went out: a second
  // copy after a partial one would corrupt the stream.
  bool written = false;
  for (int attempt = 0; attempt < kHeartBeatWriteTries && !written; ++attempt) {
    size_t sent = 0;
    written = session.WriteChannel(message.Data(), message.Size(), &sent) == 0;
    if (!written && sent > 0) break;
  }
  if (!written) {
    LogPrint(LOG_ERR, "Send SSL heart-beat message failed\n");
    return VQ_ERR_HEARTBEAT_FAILED;
  }
  session.m_dwResponseFlags |= CChannelSession::kResponseAwaited;
  session.m_wExpectedResponse = CTRLMSG_TYPE_KEEPALIVE;

  WaitEnd end = WaitEnd::Failed;
  // A close sets the state away from 4 and then joins this thread: stop
  // waiting for the answer then, rather than hold the close for the whole
  // wait limit.
  if (const int result = AwaitState(session, NEG_STATE_IDLE, NEG_STATE_HEARTBEAT_ANSWERED, kHeartBeatSleepMs, end,
                                    [&] { return channelState.load() != CHANNEL_STATE_CONNECTED; });
      result != 0) {
    return result;
  }
  if (channelState.load() != CHANNEL_STATE_CONNECTED) return 0;
  switch (end) {
    case WaitEnd::Reached:
      DebugTrace(TRACE_SETUP, "Get SSL heart-beat response OK\n");
      session.m_iState = NEG_STATE_IDLE;
      return 0;
    case WaitEnd::TimedOut:
      LogPrint(LOG_ERR, "Get SSL heart-beat response time out\n");
      return VQ_ERR_HEARTBEAT_TIMEOUT;
    case WaitEnd::Failed:
      break;
  }
  LogPrint(LOG_ERR, "Get SSL heart-beat response failed\n");
  return VQ_ERR_HEARTBEAT_FAILED;
}

int SendNewKey(CChannelSession& session, int rekey, uint16_t localCpi) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  std::array<uint8_t, 48> key{};
  uint32_t spi = 0;
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1 ||
      !DrawLocalSpi(session.m_dwLocalSpi, session.m_dwAgingLocalSpi, spi)) {
    LogPrint(LOG_ERR, "Send new key failed\n");
    return VQ_ERR_NEW_KEY_FAILED;
  }
  session.m_keyMaterial = key;
  // The previous SPI still names the aging SAs until they are dropped.
  if (rekey != 0) session.m_dwAgingLocalSpi = session.m_dwLocalSpi;
  session.m_dwLocalSpi = spi;
  LogPrint(LOG_DEBUG, "Local SPI = %d\n", spi);
  LogPrint(LOG_DEBUG, "Local CPI = %d\n", localCpi);

  const uint16_t type = rekey != 0 ? CTRLMSG_TYPE_REKEY : CTRLMSG_TYPE_NEW_KEY;
  CtrlMessage message;
  bool ok = Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, type)) &&
            Put(message.WriteU16Payload(CM_PAYLOAD_KEY_FORMAT, 3)) &&
            Put(message.WritePayload(CM_PAYLOAD_KEY_MATERIAL, key.data(), key.size())) &&
            Put(message.WriteAddrPayload(CM_PAYLOAD_SPI, htonl(spi))) &&
            Put(message.WriteU16Payload(CM_PAYLOAD_IPCOMP_CPI, localCpi));
  if (rekey != 0) {
    LogPrint(LOG_DEBUG, "Session ID: %d\n", session.m_dwSessionId);
    ok = ok && Put(message.WriteU32Payload(CM_PAYLOAD_SESSION_ID, session.m_dwSessionId));
    session.m_iState = NEG_STATE_KEY_READY;
  }
  if (!ok) return VQ_ERR_NEW_KEY_FAILED;

  WaitEnd end = WaitEnd::Failed;
  if (const int result =
          Exchange(session, message, type, NEG_STATE_KEY_READY, NEG_STATE_KEY_DONE, kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  if (end == WaitEnd::Reached) session.m_iState = NEG_STATE_IDLE;
  return Finish({LOG_INFO, "Send new key OK\n", "Send new key time out\n", VQ_ERR_NEW_KEY_TIMEOUT,
                 "Send new key failed\n", VQ_ERR_NEW_KEY_FAILED},
                end);
}

int SendLogout(CChannelSession& session, const std::function<void(const uint8_t*, size_t)>& sendOnDataChannel) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_LOGOUT)) ||
      !Put(message.WriteU16Payload(CM_PAYLOAD_LOGOUT_REASON, 0))) {
    return 0;
  }
  if (session.Ssl() != nullptr) WriteMessage(session, message);
  if (IsProtocolV2OrLater() && sendOnDataChannel) sendOnDataChannel(message.Data(), message.Size());
  return 0;
}

int RequestSmsCode(CChannelSession& session) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_SMS_AUTH_REQ)) ||
      !Put(message.WriteU32Payload(CM_PAYLOAD_STATUS, 1))) {
    return VQ_ERR_SMS_REQUEST_FAILED;
  }
  WaitEnd end = WaitEnd::Failed;
  if (const int result = Exchange(session, message, CTRLMSG_TYPE_SMS_AUTH_REQ_RSP, std::nullopt,
                                  NEG_STATE_SMS_CODE_SENT, kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  // The code is in the user's hands; the next step is the SMS login.
  if (end == WaitEnd::Reached) session.m_iState = NEG_STATE_CONNECTED;
  return Finish({LOG_INFO, "sms auth req OK\n", "Sms Auth reqest time out\n", VQ_ERR_SMS_TIMEOUT,
                 "Sms Auth req failed\n", VQ_ERR_SMS_REQUEST_FAILED},
                end);
}

int SendSmsCode(CChannelSession& session, std::string_view code) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  LogPrint(LOG_INFO, "SendSmsCode = %s\n", std::string(code));
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_SMS_AUTH)) ||
      !Put(message.WritePayload(CM_PAYLOAD_SMS_CODE, code.data(), code.size()))) {
    return VQ_ERR_SEND;
  }
  WaitEnd end = WaitEnd::Failed;
  if (const int result = Exchange(session, message, CTRLMSG_TYPE_SMS_AUTH_RSP, NEG_STATE_CONNECTED,
                                  NEG_STATE_AUTHENTICATED, kRequestSleepMs, end);
      result != 0) {
    return result;
  }
  switch (end) {
    case WaitEnd::Reached:
      LogPrint(LOG_INFO, "sms auth OK\n");
      return 0;
    case WaitEnd::TimedOut:
      LogPrint(LOG_ERR, "Sms Auth time out\n");
      return VQ_ERR_SMS_TIMEOUT;
    case WaitEnd::Failed:
      break;
  }
  // The SMS status reported by the dispatch tells the caller what went wrong.
  LogPrint(LOG_ERR, "Sms Auth failed because:[%d]\n", session.m_iState);
  return 0;
}

int SendChannelData(CChannelSession& session, const uint8_t* bytes, size_t length) {
  if (bytes == nullptr) return -1;
  std::lock_guard<std::mutex> lock(session.RequestLock());
  return session.WriteChannel(bytes, length);
}

int SetupNewConnect(CChannelSession& session, int quiet, const NewConnectEnv& env) {
  LogPrint(LOG_DEBUG, "SetupNewConnect begin\n");
  LogPrint(LOG_INFO, "SetupNewChannel pConn->init = %d \n", env.conn.init);
  if ((env.conn.init & CONN_FLAG_USB_KEY) != 0 && (!env.setUsbKeyPin || !env.setUsbKeyPin(env.conn))) {
    LogPrint(LOG_ERR, "Set USB key PIN failed\n");
    return VQ_ERR_USB_KEY_PIN;
  }
  const int certChoice =
      (env.conn.init & CONN_FLAG_WEB_CONNECT) != 0 ? 4 : static_cast<int>(env.conn.init & CONN_FLAG_USB_KEY);
  const int result = session.ConnectChannel(env.conn.host, static_cast<uint16_t>(env.conn.port), certChoice,
                                            (env.conn.init & CONN_FLAG_NEW_SERVER_CERT) != 0);
  if (result != 0) {
    if (quiet == 0 && env.reports != nullptr) env.reports->NotifyGuiEvent(static_cast<uint32_t>(result));
    if (env.postToChannelThread) env.postToChannelThread(WM_CHANNEL_ERROR, VQ_ERR_CHANNEL_SETUP);
  }
  return result;
}

int SendChangePassword(CChannelSession& session, std::string_view user, std::string_view oldPassword,
                       std::string_view newPassword, const NewConnectEnv& env) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  // A fresh connection every time: the change never rides on a channel the
  // heart-beat also uses.
  session.CloseChannel();
  const int connect = SetupNewConnect(session, 1, env);
  if (connect != 0) {
    LogPrint(LOG_DEBUG, "Tamblin said ChangePassword CreateNewConnect Failed \n");
    session.CloseChannel();
    return connect;
  }
  LogPrint(LOG_DEBUG, "Tamblin said ChangePassword CreateNewConnect succeed \n");

  int result = 0;
  CtrlMessage message;
  if (!Put(message.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_CHANGE_PWD)) ||
      !Put(message.WritePayload(CM_PAYLOAD_USER_NAME, user.data(), user.size())) ||
      !Put(message.WritePayload(CM_PAYLOAD_PASSWORD, oldPassword.data(), oldPassword.size())) ||
      !Put(message.WritePayload(CM_PAYLOAD_NEW_PASSWORD, newPassword.data(), newPassword.size()))) {
    result = VQ_ERR_SEND;
  } else {
    WaitEnd end = WaitEnd::Failed;
    result = Exchange(session, message, CTRLMSG_TYPE_CHANGE_PWD_RSP, NEG_STATE_CONNECTED, NEG_STATE_PASSWORD_CHANGED,
                      kRequestSleepMs, end);
    if (result == 0) {
      result = Finish({LOG_INFO, "ChangePassword OK\n", "ChangePassword time out\n", VQ_ERR_CHANGE_PWD_TIMEOUT,
                       "ChangePassword failed\n", VQ_ERR_CHANGE_PWD_FAILED},
                      end);
    }
  }
  session.CloseChannel();
  return result;
}

int WaitHostCheckDigest(CChannelSession& session) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  bool skipped = false;
  WaitEnd end = WaitEnd::Failed;
  const int result =
      AwaitState(session, NEG_STATE_CLIENT_INFO_DONE, NEG_STATE_HOST_CHECK_DIGEST, kRequestSleepMs, end, [&] {
        skipped = session.m_bSetIpSeen;
        return skipped;
      });
  if (result != 0) return result;
  if (skipped && end != WaitEnd::Reached) {
    session.m_bSetIpSeen = false;
    return VQ_ERR_HOST_CHECK_SKIPPED;
  }
  switch (end) {
    case WaitEnd::Reached:
      LogPrint(LOG_INFO, "Recive host check md5 OK\n");
      return 0;
    case WaitEnd::TimedOut:
      LogPrint(LOG_ERR, "Recive host check md5 time out\n");
      return -1;
    case WaitEnd::Failed:
      break;
  }
  LogPrint(LOG_ERR, "Recive host check md5 failed\n");
  return -2;
}

int ReceiveHostCheckScript(CChannelSession& session, const std::function<bool()>& storeFile) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  LogPrint(LOG_DEBUG, "Get New VBS file begin \n");
  // The dispatch takes script bytes only while this download runs.
  session.m_bHostCheckDownload = true;
  struct DownloadEnd {
    CChannelSession& session;
    ~DownloadEnd() { session.m_bHostCheckDownload = false; }
  } downloadEnd{session};
  WaitEnd end = WaitEnd::Failed;
  if (AwaitState(session, NEG_STATE_HOST_CHECK_DIGEST, NEG_STATE_HOST_CHECK_LENGTH, kRequestSleepMs, end) != 0) {
    return -1;
  }
  if (end != WaitEnd::Reached) {
    LogPrint(LOG_ERR,
             end == WaitEnd::TimedOut ? "Receive VBS file lenth time out\n" : "Receive VBS file lenth failed\n");
    return -1;
  }

  // Each piece restarts the wait: a long script on a slow line is fine, a
  // gateway that stops sending is not.
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(session.RequestWaitMs());
  uint32_t seen = session.m_dwHostCheckReceived;
  while (session.m_dwHostCheckReceived < session.m_dwHostCheckTotal) {
    if (session.m_iState != NEG_STATE_HOST_CHECK_LENGTH && session.m_iState != NEG_STATE_HOST_CHECK_DATA) {
      LogPrint(LOG_ERR, "Receive VBS file data failed\n");
      return -1;
    }
    if (session.ReadChannel() != 0) {
      LogPrint(LOG_ERR, "Receive VBS file data failed\n");
      return -1;
    }
    if (session.m_dwHostCheckReceived != seen) {
      seen = session.m_dwHostCheckReceived;
      deadline = Clock::now() + std::chrono::milliseconds(session.RequestWaitMs());
      continue;
    }
    if (session.Cancelled()) {
      LogPrint(LOG_ERR, "Receive VBS file data failed\n");
      return -1;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) {
      LogPrint(LOG_ERR, "Receive VBS file data time out\n");
      return -1;
    }
    if (!session.HasPendingInput() && !session.WaitReadable(std::min(kRequestSleepMs, left))) {
      LogPrint(LOG_ERR, "Receive VBS file data failed\n");
      return -1;
    }
  }
  if (session.m_dwHostCheckReceived > session.m_dwHostCheckTotal) {
    // More than announced: not the script the digest was made for.
    LogPrint(LOG_ERR, "Receive VBS file data failed\n");
    SendHostCheckResultUnlocked(session, 0);
    return -1;
  }
  if (storeFile && storeFile()) {
    SendHostCheckResultUnlocked(session, 1);
    return 0;
  }
  SendHostCheckResultUnlocked(session, 0);
  return -1;
}

int SendHostCheckResult(CChannelSession& session, uint32_t result) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  return SendHostCheckResultUnlocked(session, result);
}

int WaitHostCheckAnswer(CChannelSession& session) {
  std::lock_guard<std::mutex> lock(session.RequestLock());
  WaitEnd end = WaitEnd::Failed;
  return AwaitState(session, std::nullopt, NEG_STATE_HOST_CHECK_ANSWERED, kRequestSleepMs, end);
}

}  // namespace brindleway
