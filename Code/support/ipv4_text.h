// IPv4 addresses as text, for log lines.
#pragma once

#include <cstdint>
#include <string>

// "a.b.c.d" of an address in network order, as the socket layer holds it.
std::string DottedIPv4(uint32_t addrNetworkOrder);
