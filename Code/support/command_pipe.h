// The tunnel service's command pipe as both of its ends know it: the
// command bytes (byte 0 of a request, echoed in byte 0 of its reply) and
// the size of the status reply. Records: support/conn_info.h.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t VQ_OPEN_CHANNEL = 1;
inline constexpr uint8_t VQ_CLOSE_CHANNEL = 2;
inline constexpr uint8_t VQ_INQUERY = 3;
inline constexpr uint8_t VQ_SET_AUTO_LOGON = 4;
inline constexpr uint8_t VQ_SET_TRACE_MASK = 5;
inline constexpr uint8_t VQ_CHANGE_PASSWORD = 9;
inline constexpr uint8_t VQ_SMS_AUTH = 11;
inline constexpr uint8_t VQ_SMS_AUTH_REQ = 12;

// [3][u32 result][60 bytes of status fields].
inline constexpr size_t kInqueryReplySize = 65;
