// A saved-connection alias that no stored connection uses yet, for the
// dialogs that make new connections (login, options).
#pragma once

#include <string>
#include <string_view>

#include "client/store/xml_config.h"

namespace client {

// base when no connection has it as ALIASID, else base + "_" + n for the
// smallest n = 1, 2, ... that is free. The list is finite, so the search
// always ends with an alias in use by none.
std::string MakeUniqueAlias(const CXmlConfig& store, std::string_view base);

}  // namespace client
