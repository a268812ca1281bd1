// MD5 of a buffer (the host-check script and its results are compared by
// it; the file encryption derives its keys from it).
#pragma once

#include <cstdint>

inline constexpr int MD5_DIGEST_BYTES = 16;

// 0 with out set; -1 for null data or out, or when the digest cannot be
// computed (out is then unchanged).
int Md5OfBuffer(const uint8_t* data, uint32_t length, uint8_t out[MD5_DIGEST_BYTES]);
