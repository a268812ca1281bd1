// Wire constants of the gateway's control protocol: header layout, flags,
// message types and payload types.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindleway {

// Header: version (1), flags (1), message type (2), total length (4), all
// big-endian; the payloads follow.
inline constexpr size_t CTRLMSG_HEADER_LEN = 8;
inline constexpr size_t CTRLMSG_LENGTH_OFFSET = 4;
// Payload header: type (2), value length without padding (2).
inline constexpr size_t CTRLMSG_PAYLOAD_HEADER_LEN = 4;
// A message longer than this is never valid: the stream framer calls the
// connection dead, and a received one is never loaded.
inline constexpr size_t CTRLMSG_MAX_LENGTH = 65536;

// Header flags.
inline constexpr uint8_t CTRLMSG_FLAG_REQUEST = 0x00;
inline constexpr uint8_t CTRLMSG_FLAG_RESPONSE = 0x02;

// Message types.
inline constexpr uint16_t CTRLMSG_TYPE_AUTH = 1;
inline constexpr uint16_t CTRLMSG_TYPE_CLIENT_INFO = 2;
inline constexpr uint16_t CTRLMSG_TYPE_SET_IP = 3;
inline constexpr uint16_t CTRLMSG_TYPE_SET_ROUTE = 4;
inline constexpr uint16_t CTRLMSG_TYPE_NEW_KEY = 5;
inline constexpr uint16_t CTRLMSG_TYPE_KEY_DONE = 6;
inline constexpr uint16_t CTRLMSG_TYPE_LOGOUT = 7;
inline constexpr uint16_t CTRLMSG_TYPE_SVR_DISCONN = 8;
inline constexpr uint16_t CTRLMSG_TYPE_KEEPALIVE = 9;
inline constexpr uint16_t CTRLMSG_TYPE_REKEY = 10;
inline constexpr uint16_t CTRLMSG_TYPE_HOST_CHECK = 11;
// The host check's digest answer on a connection of its own (with the
// session identifier).
inline constexpr uint16_t CTRLMSG_TYPE_HOST_CHECK_LINK = 12;
inline constexpr uint16_t CTRLMSG_TYPE_CHANGE_PWD = 13;
inline constexpr uint16_t CTRLMSG_TYPE_CHANGE_PWD_RSP = 14;
inline constexpr uint16_t CTRLMSG_TYPE_SMS_AUTH_REQ = 15;
inline constexpr uint16_t CTRLMSG_TYPE_SMS_AUTH_REQ_RSP = 16;
inline constexpr uint16_t CTRLMSG_TYPE_SMS_AUTH = 17;
inline constexpr uint16_t CTRLMSG_TYPE_SMS_AUTH_RSP = 18;

// Payload types.
inline constexpr uint16_t CM_PAYLOAD_USER_NAME = 1;            // text
inline constexpr uint16_t CM_PAYLOAD_PASSWORD = 2;             // text; old password in 13
inline constexpr uint16_t CM_PAYLOAD_NEW_PASSWORD = 3;         // text
inline constexpr uint16_t CM_PAYLOAD_STATUS = 4;               // u32, signed
inline constexpr uint16_t CM_PAYLOAD_CLIENT_IPV4 = 5;          // 4 bytes
inline constexpr uint16_t CM_PAYLOAD_SERVER_IPV4 = 6;          // 4 bytes
inline constexpr uint16_t CM_PAYLOAD_PRIVATE_IPV4 = 7;         // 4 bytes
inline constexpr uint16_t CM_PAYLOAD_SERVER_PRIVATE_IPV4 = 8;  // 4 bytes
inline constexpr uint16_t CM_PAYLOAD_UDP_PORT = 9;             // u16
inline constexpr uint16_t CM_PAYLOAD_NETMASK = 11;             // 4 bytes
inline constexpr uint16_t CM_PAYLOAD_KEY_MATERIAL = 16;        // 48 bytes
inline constexpr uint16_t CM_PAYLOAD_DNS_IPV4 = 17;            // n x 4 bytes
inline constexpr uint16_t CM_PAYLOAD_WINS_IPV4 = 18;           // n x 4 bytes
inline constexpr uint16_t CM_PAYLOAD_ROUTE_IPV4 = 19;          // n x 12 bytes
inline constexpr uint16_t CM_PAYLOAD_PERFE_SRV_IPV4 = 20;      // n x 12 bytes, list only
inline constexpr uint16_t CM_PAYLOAD_PERFE_SRV_IPV4_DETECT = 21;  // n x 12 bytes, with proximity detection
inline constexpr uint16_t CM_PAYLOAD_KEY_FORMAT = 32;          // u16, always 3
inline constexpr uint16_t CM_PAYLOAD_SPI = 48;                 // 4 bytes, network order
inline constexpr uint16_t CM_PAYLOAD_ENCRYPT_ALG = 49;         // u16
inline constexpr uint16_t CM_PAYLOAD_HASH_ALG = 50;            // u16
inline constexpr uint16_t CM_PAYLOAD_SESSION_ID = 51;          // u32
inline constexpr uint16_t CM_PAYLOAD_MESSAGE_EN = 53;          // text
inline constexpr uint16_t CM_PAYLOAD_MESSAGE_CN = 54;          // text
inline constexpr uint16_t CM_PAYLOAD_KEEPALIVE = 64;           // u32, always 1
inline constexpr uint16_t CM_PAYLOAD_AUTH_TYPE = 81;           // u16
inline constexpr uint16_t CM_PAYLOAD_COOKIE = 82;              // text
inline constexpr uint16_t CM_PAYLOAD_LOGOUT_REASON = 83;       // u16, always 0
inline constexpr uint16_t CM_PAYLOAD_PRODUCT_VER = 84;         // text
inline constexpr uint16_t CM_PAYLOAD_HOST_ID = 96;             // text
inline constexpr uint16_t CM_PAYLOAD_HOST_NAME = 97;           // text
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_MD5 = 112;     // 16 bytes
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_FILESIZE = 113;  // u32
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_DATA = 114;    // u32 (client) or bytes (gateway)
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_RESULT = 115;  // bytes, a piece of the check result
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_RESULT_SIZE = 116;  // u32, length of the check result
inline constexpr uint16_t CM_PAYLOAD_HOST_CHECK_CYCLE = 117;   // u32, minutes
inline constexpr uint16_t CM_PAYLOAD_IPCOMP_CPI = 128;         // u16
inline constexpr uint16_t CM_PAYLOAD_IPCOMP_ALG = 129;         // u16
inline constexpr uint16_t CM_PAYLOAD_PORTAL_URL = 130;         // text
inline constexpr uint16_t CM_PAYLOAD_PORTAL_TITLE = 131;       // text
inline constexpr uint16_t CM_PAYLOAD_ALLOW_PWD = 132;          // u32
inline constexpr uint16_t CM_PAYLOAD_SMS_AUTH = 133;           // u32
inline constexpr uint16_t CM_PAYLOAD_SMS_CODE = 134;           // text

// The payload types a response may carry; any other one means the gateway
// speaks a newer protocol than this client.
constexpr bool IsKnownResponsePayloadType(uint16_t wType) {
  return (wType >= 1 && wType <= 21) || wType == 32 || (wType >= 48 && wType <= 51) || wType == 53 ||
         wType == 54 || wType == 64 || (wType >= 81 && wType <= 84) || wType == 96 || wType == 97 ||
         (wType >= 112 && wType <= 117) || (wType >= 128 && wType <= 133);
}

}  // namespace brindleway
