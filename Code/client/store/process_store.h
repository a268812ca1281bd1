// The client application's one store and where it lives:
// <user application data>/Tarnwickgate/Tarnwickgate Marrowlantern/OrlimbConfig.xml
// (folders made 0700, the file written 0600: it holds the user's sealed
// secrets and gateway names).
#pragma once

#include <string>

#include "client/store/xml_config.h"

namespace client {

inline constexpr char kStoreVendorFolder[] = "Tarnwickgate";
inline constexpr char kStoreProductFolder[] = "Tarnwickgate Marrowlantern";

// The process's store, loaded once at start-up.
extern CXmlConfig g_xmlConfig;

// The folder and the file for the user the calling thread acts for.
std::string XmlConfigFolder();
std::string XmlConfigPath();

// Makes the folder when it is missing and loads the file into config; 0,
// or -1 when the folder cannot be made or the load fails.
int LoadXmlConfig(CXmlConfig& config);
// The same for g_xmlConfig.
int LoadXmlConfig();

}  // namespace client
