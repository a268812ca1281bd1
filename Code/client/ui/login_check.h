// The checks of the login dialog's Login, in the order the user meets
// them, and the connection record they build:
//   1. server: not empty, fits the record's host field   else 94 at 1003
//   2. port: a number 1..65535                           else 95 at 1004
//   3. modes 0, 1, 3: user name and password not empty and fitting
//                                                  else 96 at 1001, 97 at 1002
//      mode 2: the USB key's user name (GetUsbKeyUserName), password
//      "USBKey"                                      else 100, focus unchanged
//   4. modes 1 and 2: the PIN not empty and fitting      else 98 at 1005;
//      the key's certificate found by the stored choice  else 100 at 1005;
//      the PIN taken by the key's provider               else 99 at 1005
// "Fitting": the text in the ANSI code page, without a character lost to
// "?", fits its field with the terminator (host 256, user 64, secrets 128
// bytes); a cut text would log in to another host or with another secret.
#pragma once

#include <cstdint>
#include <string>

#include "support/conn_info.h"

namespace client {

struct LoginFields {
  std::string server;
  std::string port;
  std::string user;
  std::string password;
  std::string pin;
};

struct LoginCheck {
  // 0 when every check passed; else the string entry of the message.
  uint32_t message = 0;
  // The control to focus with its text selected; 0: the focus stays.
  int focus = 0;
  // After the checks passed: the new connection record, and the user name
  // and password as the pending profile keeps them (UTF-8).
  conn_info conn;
  std::string user;
  std::string password;
};

LoginCheck CheckLogin(const LoginFields& fields, int mode);

// The password a USB-key-only login sends.
inline constexpr char kUsbKeyOnlyPassword[] = "USBKey";

}  // namespace client
