// Where classes are registered: HKEY_CLASSES_ROOT as the component layer
// sees it, the user's Software\Classes over the machine's (a user's entry
// hides the machine's of the same name). Registration writes the machine's
// when the process may, else the user's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/registry/registry.h"

namespace platform::com {

inline constexpr char kClassesKey[] = "Software\\Classes";

// The writable classes root of one hive.
class ClassesWriter {
 public:
  // machine: HKEY_LOCAL_MACHINE\Software\Classes, else the user's. A
  // Win32 code when the hive cannot be written.
  static uint32_t Open(bool machine, ClassesWriter& out);
  // The machine's when IsMachineAdministrator(), else the user's.
  static uint32_t OpenForRegistration(ClassesWriter& out);

  bool machine() const { return machine_; }
  // A REG_SZ value (name "" = the key's default), creating the key.
  uint32_t SetText(std::string_view subkey, std::string_view name, std::string_view text) const;
  // Creates the key alone (a mark without values).
  uint32_t CreateKey(std::string_view subkey) const;
  // The key with everything below it; a missing key is no failure.
  uint32_t DeleteTree(std::string_view subkey) const;
  // The key when it has neither values nor subkeys.
  void DeleteIfEmpty(std::string_view subkey) const;
  // The key's values and every subkey but keep; the key goes too when
  // nothing is kept. A missing key is no failure.
  uint32_t DeleteTreeExcept(std::string_view subkey, std::string_view keep) const;

 private:
  registry::Key root_;
  bool machine_ = false;
};

// A REG_SZ value of the merged view; a Win32 code (2 when missing).
uint32_t ReadClassesText(std::string_view subkey, std::string_view name, std::string& out);
// True when the merged view has the key.
bool ClassesKeyExists(std::string_view subkey);

// ProgID -> CLSID (its CLSID subkey); REGDB_E_CLASSNOTREG when unknown.
HRESULT CLSIDFromProgID(std::string_view progId, CLSID& out);
// The library registered for the class; REGDB_E_CLASSNOTREG when none.
HRESULT InprocServerOf(const CLSID& clsid, std::string& path);

// The component categories manager's two writes: a category with its
// description for a locale (cut to 127 characters), and a class marked as
// implementing categories.
HRESULT RegisterCategory(const ClassesWriter& writer, const CATID& catid, uint32_t lcid,
                         std::string_view description);
HRESULT RegisterClassImplCategories(const ClassesWriter& writer, const CLSID& clsid,
                                    std::span<const CATID> catids);

// A type library's registration: TypeLib\{libid}\<major>.<minor> with its
// help string, flags, help folder and the library file for the locale, and
// one Interface\{iid} entry per dispatch interface naming the library.
struct TypeLibInterface {
  IID iid;
  std::string_view name;
};
struct TypeLibRegistration {
  GUID libid;
  uint16_t major = 1;
  uint16_t minor = 0;
  uint32_t lcid = 0;
  std::string_view helpString;
  std::string_view helpFile;
  std::string libraryPath;
  std::span<const TypeLibInterface> interfaces;
};
HRESULT RegisterTypeLib(const ClassesWriter& writer, const TypeLibRegistration& lib);
HRESULT UnregisterTypeLib(const ClassesWriter& writer, const TypeLibRegistration& lib);

// The file of the loaded library that holds address ("" when none).
std::string ModulePathOf(const void* address);

}  // namespace platform::com
