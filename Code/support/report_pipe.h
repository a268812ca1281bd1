// The client application's report pipe as both of its ends know it: the
// tunnel service writes [type][payload], the client answers some of them.
// Integers little-endian, texts narrow.
#pragma once

#include <cstdint>

// Message types.
inline constexpr uint8_t VQ_NOTIFY = 6;
inline constexpr uint8_t VQ_EVENT = 7;
inline constexpr uint8_t VQ_PASSWORD_RESULT = 8;
inline constexpr uint8_t VQ_SMS_EVENT = 10;
// Sub-codes of VQ_NOTIFY (byte 1).
inline constexpr uint8_t VQ_NOTIFY_PREFER_SERVER = 1;
inline constexpr uint8_t VQ_NOTIFY_HOST_CHECK_FAILED = 2;
inline constexpr uint8_t VQ_NOTIFY_QUERY_PROX = 4;
inline constexpr uint8_t VQ_NOTIFY_URL = 6;
inline constexpr uint8_t VQ_NOTIFY_URL_TITLE = 7;
inline constexpr uint8_t VQ_NOTIFY_SERVER_TEXT = 10;
inline constexpr uint8_t VQ_NOTIFY_CREDENTIAL = 11;
