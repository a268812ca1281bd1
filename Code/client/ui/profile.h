// The saved-connection steps the profile dialogs share.
#pragma once

#include <string_view>

#include "client/store/xml_config.h"

namespace client {

class CProfile {
 public:
  explicit CProfile(CXmlConfig& store) : store_(store) {}

  // Removes the saved connection alias from the file and the list, and
  // empties CURRENTUSER when it was the current one. False when no such
  // connection is stored or the file could not be written (then nothing
  // is removed).
  bool DelUserInfo(std::string_view alias);

 private:
  CXmlConfig& store_;
};

}  // namespace client
