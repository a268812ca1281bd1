// A gateway's host text as an IPv4 address: a dotted literal as it is, else
// the first IPv4 address the resolver gives for the name.
#pragma once

#include <netinet/in.h>

#include <string>

namespace platform::net {

// 0 with out set, or the resolver's error (EAI_*).
int ResolveIPv4(const std::string& host, in_addr& out);

}  // namespace platform::net
