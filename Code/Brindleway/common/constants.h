// The tunnel service's constants: names, thread messages, timers, channel
// states and the event codes its channel thread raises.
#pragma once

#include <cstdint>

#include "platform/sync/message_queue.h"

namespace brindleway {

// Service and kernel object names.
inline constexpr const char* kServiceName = "Marrowlantern";
inline constexpr const char* kServiceDisplayName = "Tarnwickgate Marrowlantern";
inline constexpr const char* kServiceMutexName = "Global\\VardenlowBrindleway";
inline constexpr const char* kChannelSemaphoreName = "Global\\SemaphoreVardenlowBrindleway";
inline constexpr const char* kCommandPipeName = "\\\\.\\pipe\\VardenlowBrindleway";
inline constexpr const char* kServiceControlArgument = "-s control";
// Service type reported by the service (own process, interactive).
inline constexpr uint32_t kServiceType = 0x30;

// Thread messages of the channel thread.
inline constexpr uint32_t WM_CHANNEL_OPEN = platform::WM_USER + 0x64;
inline constexpr uint32_t WM_CHANNEL_CLOSE = platform::WM_USER + 0x65;
inline constexpr uint32_t WM_CHANNEL_REOPEN = platform::WM_USER + 0x66;
inline constexpr uint32_t WM_CHANNEL_ERROR = platform::WM_USER + 0x67;
inline constexpr uint32_t WM_CHANNEL_UNUSED = platform::WM_USER + 0x68;
inline constexpr uint32_t WM_CHANNEL_EXIT = platform::WM_USER + 0x69;
inline constexpr uint32_t WM_CHANNEL_REKEY = platform::WM_USER + 0x6A;
inline constexpr uint32_t WM_CHANNEL_OPENED = platform::WM_USER + 0x6B;
inline constexpr uint32_t WM_CHANNEL_HOST_CHECK = platform::WM_USER + 0x6C;
inline constexpr uint32_t WM_CHANNEL_NEW_PASSWORD = platform::WM_USER + 0x6D;
inline constexpr uint32_t WM_CHANNEL_SMS_AUTH = platform::WM_USER + 0x6E;
inline constexpr uint32_t WM_CHANNEL_SMS_AUTH_REQ = platform::WM_USER + 0x6F;
inline constexpr uint32_t WM_CHANNEL_REOPEN_RESULT = platform::WM_USER + 0x70;

// Channel thread timers (ms).
inline constexpr uint32_t kReconnectFirstPeriodMs = 5000;
inline constexpr uint32_t kReconnectRetryPeriodMs = 60000;
inline constexpr uint32_t kRekeyPeriodMs = 3600000;
inline constexpr uint32_t kAgingPeriodMs = 30000;
// Pause before a reopen starts its set-up.
inline constexpr int64_t kReopenPauseMs = 1000;
// Ticks of the reconnect timer after which a USB-key-only login without
// auto logon gives up.
inline constexpr uint32_t kUsbKeyOnlyMaxReconnects = 9;

// Channel state reported by the status query.
inline constexpr uint32_t CHANNEL_STATE_CLOSING = 0;
inline constexpr uint32_t CHANNEL_STATE_IDLE = 1;
inline constexpr uint32_t CHANNEL_STATE_CONNECTING = 2;
inline constexpr uint32_t CHANNEL_STATE_RECONNECTING = 3;
inline constexpr uint32_t CHANNEL_STATE_CONNECTED = 4;

// Event and error codes the channel thread raises or tests.
inline constexpr uint32_t VQ_EVT_CONNECTED = 13;
inline constexpr uint32_t VQ_EVT_PASSWORD_CHANGED = 16;
inline constexpr uint32_t VQ_ERR_SMS_AUTH_NEEDED = 26;
inline constexpr uint32_t VQ_ERR_KEEPALIVE_TIMEOUT = 52;
inline constexpr uint32_t VQ_ERR_LOGGED_IN_ELSEWHERE = 79;
inline constexpr uint32_t VQ_ERR_FORCED_OFF = 80;
inline constexpr uint32_t VQ_ERR_CHANNEL_BUSY = 106;
inline constexpr uint32_t VQ_ERR_SESSION_EXPIRED = 1013;
inline constexpr uint32_t VQ_ERR_REKEY_FAILED = 4015;

// Results of the control message codec and framer.
inline constexpr int VQ_ERR_OUT_OF_MEMORY = 61;
inline constexpr int VQ_ERR_PARSE_MESSAGE = 75;
inline constexpr int VQ_ERR_UNKNOWN_PAYLOAD = 86;
inline constexpr int VQ_ERR_SERVER_TOO_NEW = 1003;
inline constexpr int VQ_ERR_VERSION_MISMATCH = 4010;

// Results of the control channel connection.
inline constexpr int VQ_ERR_CREATE_SOCKET = 2;
inline constexpr int VQ_ERR_BAD_HOST = 3;
inline constexpr int VQ_ERR_CONNECT = 4;
inline constexpr int VQ_ERR_SEND = 5;
inline constexpr int VQ_ERR_RECEIVE = 6;
inline constexpr int VQ_ERR_SSL_CONNECT = 7;
inline constexpr int VQ_ERR_SERVER_CERT_CHANGED = 1001;
// Reported after a completed handshake with a gateway certificate outside
// its validity period.
inline constexpr uint32_t VQ_EVT_CERT_NOT_YET_VALID = 1008;
inline constexpr uint32_t VQ_EVT_CERT_EXPIRED = 1009;
// The whole connect (TCP, proxy, TLS handshake) ends within this time.
inline constexpr int64_t kChannelConnectLimitMs = 30000;

// Results of the message dispatch: the gateway's answers and messages.
inline constexpr int VQ_ERR_SET_IP = 72;
inline constexpr int VQ_ERR_SET_ROUTE = 73;
inline constexpr int VQ_ERR_KEY_DONE = 74;
inline constexpr int VQ_ERR_SERVER_DISCONNECT = 76;
inline constexpr int VQ_ERR_SERVER_TIMEOUT = 77;
inline constexpr int VQ_ERR_SERVER_CONFIG = 78;
inline constexpr int VQ_ERR_AUTH_RESPONSE = 82;
inline constexpr int VQ_ERR_CLIENT_INFO_RESPONSE = 83;
inline constexpr int VQ_ERR_KEY_RESPONSE = 84;
inline constexpr int VQ_ERR_KEEPALIVE_RESPONSE = 85;
inline constexpr int VQ_ERR_CHANGE_PWD_RESPONSE = 17;
inline constexpr int VQ_ERR_HOST_CHECK_MESSAGE = 101;
inline constexpr int VQ_ERR_TUNNEL_NOT_IN_SUBNET = 103;
inline constexpr int VQ_ERR_TUNNEL_ADDRESS_CONFLICT = 104;
inline constexpr int VQ_ERR_CONNECTION_TIMEOUT = 1002;
inline constexpr int VQ_ERR_HOST_CHECK_FAILED = 1012;
inline constexpr int VQ_ERR_SERVER_TEXT = 1014;
inline constexpr int VQ_ERR_NO_IP_RESOURCE = 1020;
inline constexpr int VQ_ERR_IP_USED = 1021;
// The worker loops' timers. A timer lives in memory, so it can't fail to
// be created (4001 is never returned).
inline constexpr int VQ_ERR_CREATE_TIMER = 4001;
inline constexpr int VQ_ERR_SET_TIMER = 4002;
inline constexpr int VQ_ERR_WAIT_OBJECTS = 4003;
// VQ_PASSWORD_RESULT after a login: the user may change the password.
inline constexpr uint32_t VQ_PASSWORD_CHANGE_ALLOWED = 18;
// Longest text (bytes) the dispatch passes on to the client application.
inline constexpr size_t kNotifyTextLimit = 259;
// More preferred gateways than this and none are taken.
inline constexpr size_t kMaxPreferredGateways = 4;

// Bits of the debug-trace mask.
inline constexpr uint32_t TRACE_SETUP = 0x1;
inline constexpr uint32_t TRACE_TIMING = 0x2;
inline constexpr uint32_t TRACE_PACKETS = 0x4;

// Data packets: algorithm identifiers of the key exchange, the ESP header
// and the key block the security associations are cut from.
inline constexpr uint16_t ESP_ENC_DES = 2;
inline constexpr uint16_t ESP_ENC_3DES = 3;
inline constexpr uint16_t ESP_ENC_NULL = 11;
inline constexpr uint16_t ESP_ENC_AES = 12;
inline constexpr uint16_t ESP_ENC_AES192 = 14;
inline constexpr uint16_t ESP_ENC_AES256 = 15;
inline constexpr uint16_t ESP_HASH_MD5 = 1;
inline constexpr uint16_t ESP_HASH_SHA1 = 2;
inline constexpr uint16_t ESP_HASH_SHA256 = 5;
inline constexpr uint16_t ESP_HASH_SHA384 = 6;
inline constexpr uint16_t ESP_HASH_SHA512 = 7;
inline constexpr uint16_t ESP_HASH_NULL = 8;
// SPI and sequence number.
inline constexpr uint32_t ESP_HEADER_LENGTH = 8;
// Next header of every data packet: IP in IP.
inline constexpr uint8_t ESP_NEXT_HEADER_IPIP = 4;
inline constexpr uint16_t ESP_SA_PORT = 4500;
inline constexpr uint32_t KEY_BLOCK_LENGTH = 200;

// Negotiation states of the control channel (CChannelSession::m_iState).
inline constexpr uint8_t NEG_STATE_NONE = 0;
inline constexpr uint8_t NEG_STATE_CONNECTED = 1;
inline constexpr uint8_t NEG_STATE_AUTHENTICATED = 2;
inline constexpr uint8_t NEG_STATE_KEY_REFUSED = 3;
inline constexpr uint8_t NEG_STATE_CLIENT_INFO_DONE = 4;
inline constexpr uint8_t NEG_STATE_KEY_READY = 5;
inline constexpr uint8_t NEG_STATE_KEY_DONE = 6;
inline constexpr uint8_t NEG_STATE_IDLE = 7;
inline constexpr uint8_t NEG_STATE_HEARTBEAT_ANSWERED = 8;
inline constexpr uint8_t NEG_STATE_FAILED = 10;
inline constexpr uint8_t NEG_STATE_HOST_CHECK_DIGEST = 11;
inline constexpr uint8_t NEG_STATE_HOST_CHECK_LENGTH = 12;
inline constexpr uint8_t NEG_STATE_HOST_CHECK_DATA = 13;
inline constexpr uint8_t NEG_STATE_HOST_CHECK_ANSWERED = 14;
inline constexpr uint8_t NEG_STATE_PASSWORD_CHANGED = 16;
inline constexpr uint8_t NEG_STATE_SMS_CODE_SENT = 17;

// Results of the negotiation requests and of reading the control channel.
inline constexpr int VQ_ERR_SSL_READ = 7;
inline constexpr int VQ_ERR_SSL_CLOSED = 8;
inline constexpr int VQ_ERR_SOCKET_SELECT = 9;
inline constexpr int VQ_ERR_PROTOCOL_MISMATCH = 10;
inline constexpr int VQ_ERR_AUTH_FAILED = 11;
inline constexpr int VQ_ERR_LOGIN_TIMEOUT = 12;
inline constexpr int VQ_ERR_CHANGE_PWD_FAILED = 14;
inline constexpr int VQ_ERR_CHANGE_PWD_TIMEOUT = 15;
inline constexpr int VQ_ERR_CLIENT_INFO_FAILED = 21;
inline constexpr int VQ_ERR_CLIENT_INFO_TIMEOUT = 22;
inline constexpr int VQ_ERR_CLIENT_PARAMS_FAILED = 23;
inline constexpr int VQ_ERR_CLIENT_PARAMS_TIMEOUT = 24;
inline constexpr int VQ_ERR_NEW_KEY_FAILED = 31;
inline constexpr int VQ_ERR_NEW_KEY_TIMEOUT = 32;
inline constexpr int VQ_ERR_HEARTBEAT_FAILED = 51;
inline constexpr int VQ_ERR_HEARTBEAT_TIMEOUT = 52;
inline constexpr int VQ_ERR_USB_KEY_PIN = 99;
inline constexpr int VQ_ERR_SMS_TIMEOUT = 1024;
inline constexpr int VQ_ERR_SMS_REQUEST_FAILED = 1027;
inline constexpr int VQ_ERR_HOST_CHECK_SKIPPED = 1031;
inline constexpr int VQ_ERR_CHANNEL_SETUP = 4016;
// The wait of one request for its response, and the pauses between reads.
inline constexpr int64_t kRequestWaitMs = 30000;
inline constexpr int kRequestSleepMs = 50;
inline constexpr int kHeartBeatSleepMs = 1000;
inline constexpr int kHeartBeatWriteTries = 5;

// IP compression: algorithm identifiers of the key exchange, the IPComp
// header, and the results of the compressors and of the packet operations.
inline constexpr uint16_t IPCOMP_ALGORITHM_NONE = 0;
inline constexpr uint16_t IPCOMP_ALGORITHM_ZLIB = 2;
inline constexpr uint8_t IPCOMP_PROTOCOL = 108;
// Next header, flags and CPI, behind the 20-byte IPv4 header.
inline constexpr uint32_t IPCOMP_HEADER_LENGTH = 4;
// Payloads of this many bytes or fewer are sent as they are.
inline constexpr uint32_t IPCOMP_PAYLOAD_MIN_SIZE = 90;
inline constexpr int COMP_OK = 0;
inline constexpr int COMP_ERROR_FAILED = 1;
inline constexpr int COMP_ERROR_CRASH = 2;
// The output does not fit, or memory ran short: retry with more room.
inline constexpr int COMP_ERROR_MEM_NOT_ENOUGH = 3;
inline constexpr int IPCOMP_OK = 0;
inline constexpr int IPCOMP_ERROR_FAILED = 1;
inline constexpr int IPCOMP_ERROR_CRASH = 2;
inline constexpr int IPCOMP_ERROR_NO_COMPRESS = 3;
inline constexpr int IPCOMP_ERROR_NOT_IPCOMP_PACKAGE = 4;
inline constexpr int IPCOMP_ERROR_CPI_INVALID = 5;
inline constexpr int IPCOMP_ERROR_PAYLOAD_TOO_SMALL = 6;
inline constexpr int IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW = 7;

// Data path: the I/O loop, the tunnel keep-alive and the tunnel control
// packets inside the encrypted channel.
inline constexpr uint32_t VQ_ERR_TUN_IO = 4004;
inline constexpr int VQ_TUN_KEEPALIVE_STOPPED = 4012;
// Operations of each kind per pass of the I/O loop, so both sides interleave.
inline constexpr int kTunIoOpsPerPass = 10;
// Packets waiting for the adapter or for the socket, past which more are
// dropped rather than held until the buffers run out.
inline constexpr size_t kTunIoQueueLimit = 512;
// Packets handed to the adapter in one call at most (its device may write
// a TCP stream's consecutive segments of them as one).
inline constexpr size_t kAdapterWriteBatch = 64;
// The one-byte heart-beat (0xFF) and the encapsulated keep-alive.
inline constexpr uint8_t TUN_HEARTBEAT_BYTE = 0xFF;
inline constexpr int64_t kTunHeartBeatFirstMs = 1000;
inline constexpr int64_t kTunHeartBeatPeriodMs = 5000;
inline constexpr int64_t kTunKeepAliveFirstMs = 1000;
inline constexpr int64_t kTunKeepAlivePeriodMs = 30000;
inline constexpr int64_t kTunKeepAliveFastPeriodMs = 2000;
inline constexpr int64_t kTunKeepAliveRearmMs = 100;
// Silence from the gateway that starts the fast keep-alives, and past which
// the channel is dead (error 52).
inline constexpr int64_t kTunFastModeSilenceMs = 30000;
inline constexpr int64_t kTunChannelTimeoutMs = 60000;
// Tunnel control packets: sizes, and the u32 value of a disconnect packet
// (the gateway's notice, our logout).
inline constexpr uint32_t TUN_KEEPALIVE_SHORT_LENGTH = 32;
inline constexpr uint32_t TUN_KEEPALIVE_LONG_LENGTH = 44;
inline constexpr uint32_t TUN_DISCONNECT_LENGTH = 32;
inline constexpr uint32_t TUN_DISCONNECT_NOTICE = 1;
inline constexpr uint32_t TUN_DISCONNECT_LOGOUT = 2;

}  // namespace brindleway
