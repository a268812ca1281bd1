// The open request's record for a password login to the test gateway, which
// takes any user and password.
#pragma once

#include <cstdint>
#include <string>

#include "support/conn_info.h"

namespace brindleway {

inline conn_info PasswordLogin(const std::string& host, uint32_t port) {
  conn_info info;
  info.host = host;
  info.port = port;
  info.auth_type = AUTH_TYPE_PASSWORD;
  info.user = "alice";
  info.secret1 = "secret";
  return info;
}

}  // namespace brindleway
