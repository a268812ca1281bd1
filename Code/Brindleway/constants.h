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

}  // namespace brindleway
