// One saved connection as the client application keeps it in memory. The
// field names are those of the XML elements they mirror; secrets are plain
// here and sealed only in the file.
#pragma once

#include <string>
#include <vector>

namespace client {

struct user_info {
  std::string NAME;       // user name
  std::string HOST;       // gateway host name or address
  std::string PORT;       // decimal text
  std::string PASSWORD;   // plain, in memory only
  std::string USBKEY;     // the USB-key PIN, plain, in memory only
  std::string LOGINMODE;  // "0" password, "1" password and USB key, "2" USB key only
  std::string ISCURRENT;  // written into an ISCURRENT element that exists; never read back
  std::string ALIASID;    // the connection's alias, its key
  std::string REMPASSWORD;  // "1": the password is remembered
  std::string REMPINWORD;   // "1": the PIN is remembered
  std::vector<std::string> PROXSERVER;  // preferred gateways "address:port", in file order
  std::string PROXDETECT;   // "1": proximity auto detection on

  bool operator==(const user_info&) const = default;
};

// Every field of src into dst, the preferred-gateway list as a copy.
void CopyUserInfo(user_info& dst, const user_info& src);

// NAME "@" HOST ":" PORT: how a login handed over from outside is matched
// with a saved connection.
std::string LoginText(const user_info& record);

}  // namespace client
