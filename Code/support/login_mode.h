// The login modes kept in the key=value settings list: the current one under
// LoginModeCurrent and one per gateway server under the server's name.
// Modes: 0 password, 1 password and USB key, 2 USB key only, 3 not set.
#pragma once

#include <string_view>

#include "support/config_list.h"

inline constexpr int LOGIN_MODE_NOT_SET = 3;

// The decimal value of LoginModeCurrent, 3 when it is empty or missing. 0.
int GetLoginModeCurrent(const ConfigList& list, int* mode);
int SetLoginModeCurrent(ConfigList& list, int mode);

// login is "user@server:port"; the key is the server, the text between the
// first "@" and the first ":". -1 when either is missing or the ":" comes
// first. Else 0 with the key's decimal value, 3 when it is empty.
int GetServerLoginMode(const ConfigList& list, std::string_view login, int* mode);
int SetServerLoginMode(ConfigList& list, std::string_view login, int mode);
