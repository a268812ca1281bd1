// The wire form of conn_info (588 bytes) and change_pwd_info (320 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/conn_info.h"

// False when a text field is too long for its place.
bool EncodeConnInfo(const conn_info& info, uint8_t out[conn_info::kWireSize]);
// False when fewer than 588 bytes are given or a text field is not
// terminated inside its place.
bool DecodeConnInfo(const uint8_t* data, size_t length, conn_info& out);

bool EncodeChangePwdInfo(const change_pwd_info& info, uint8_t out[change_pwd_info::kWireSize]);
bool DecodeChangePwdInfo(const uint8_t* data, size_t length, change_pwd_info& out);
