#include "Wendle/wendle_typelib.h"

#include "Wendle/wendle_ids.h"

using namespace platform::com;

const DispatchTable& WendleDispatchTable() {
  static const DispatchTable table = {
      {DISPID_ABOUTBOX, "AboutBox", {}, VT_EMPTY},
      {wendle::DISPID_Init, "Init", {VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR}, VT_I2},
      {wendle::DISPID_Connect, "Connect", {}, VT_I2},
      {wendle::DISPID_IsClientInstalled, "IsClientInstalled", {}, VT_I2},
      {wendle::DISPID_GetConnStat, "GetConnStat", {}, VT_I2},
      {wendle::DISPID_Disconnect, "Disconnect", {}, VT_EMPTY},
      {wendle::DISPID_SetClientAuthFlag, "SetClientAuthFlag", {VT_I2}, VT_EMPTY},
      {wendle::DISPID_UserExist, "UserExist", {VT_BSTR}, VT_I2},
      {wendle::DISPID_IsSessionExpire, "IsSessionExpire", {}, VT_I2},
  };
  return table;
}

namespace {

constexpr TypeLibInterface kInterfaces[] = {
    {wendle::DIID__DWendle, "_DWendle"},
    {wendle::DIID__DWendleEvents, "_DWendleEvents"},
};

}  // namespace

TypeLibRegistration WendleTypeLib(const std::string& libraryPath) {
  TypeLibRegistration lib;
  lib.libid = wendle::LIBID_WendleLib;
  lib.major = wendle::WENDLE_LIB_MAJOR;
  lib.minor = wendle::WENDLE_LIB_MINOR;
  lib.lcid = wendle::WENDLE_LIB_LCID;
  lib.helpString = wendle::WENDLE_LIB_HELP_STRING;
  lib.helpFile = wendle::WENDLE_LIB_HELP_FILE;
  lib.libraryPath = libraryPath;
  lib.interfaces = kInterfaces;
  return lib;
}
