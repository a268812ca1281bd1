#include "support/ipv4_text.h"

#include <arpa/inet.h>

std::string DottedIPv4(uint32_t addrNetworkOrder) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr addr{};
  addr.s_addr = addrNetworkOrder;
  ::inet_ntop(AF_INET, &addr, text, sizeof(text));
  return text;
}
