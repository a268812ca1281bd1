// The tunnel service's traffic counters: bytes read from the adapter (sent
// into the tunnel) and written to it (received). Each is a u32 with a lock
// of its own, taken around every single read or write.
#pragma once

#include <cstdint>

uint32_t GetSendByteCount();
void SetSendByteCount(uint32_t value);
uint32_t GetRecvByteCount();
void SetRecvByteCount(uint32_t value);
