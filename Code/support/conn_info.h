// The records that travel between the deliverables: the connection record
// and the password-change record. Field sizes are those of the wire form
// (terminator included); text fields hold narrow text.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t CONN_FLAG_NEW_SERVER_CERT = 0x01;
inline constexpr uint32_t CONN_FLAG_USB_KEY = 0x02;
inline constexpr uint32_t CONN_FLAG_WEB_CONNECT = 0x04;
inline constexpr uint32_t CONN_FLAG_AUTO_LOGON = 0x08;
inline constexpr uint32_t CONN_FLAG_USB_KEY_ONLY = 0x10;

inline constexpr uint32_t AUTH_TYPE_PASSWORD = 1;
inline constexpr uint32_t AUTH_TYPE_COOKIE = 2;
inline constexpr uint32_t AUTH_TYPE_USB_KEY_ONLY = 3;

struct conn_info {
  static constexpr size_t kHostSize = 256;
  static constexpr size_t kUserSize = 64;
  static constexpr size_t kSecretSize = 128;
  static constexpr size_t kWireSize = 588;

  std::string host;
  uint32_t port = 0;
  uint32_t auth_type = 0;
  uint32_t init = 0;
  std::string user;
  std::string secret1;  // password, or the portal cookie / session id
  std::string secret2;  // USB-key PIN
};

struct change_pwd_info {
  static constexpr size_t kWireSize = 320;

  std::string user;
  std::string old_password;
  std::string new_password;
};
