#include "platform/com/class_registry.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <vector>

#include "platform/registry/name_fold.h"
#include "platform/text/utf16.h"
#include "platform/win32/win32_error.h"

namespace platform::com {

namespace reg = platform::registry;

namespace {

std::string Join(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!b.empty()) {
    out += '\\';
    out += b;
  }
  return out;
}

std::vector<uint8_t> TextBytes(std::string_view text) {
  const std::string units = Utf16LeBytes(Utf8ToUtf16(text));
  std::vector<uint8_t> out(units.begin(), units.end());
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::string BytesText(const std::vector<uint8_t>& data) {
  std::u16string units = Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (const size_t end = units.find(u'\0'); end != std::u16string::npos) units.resize(end);
  return Utf16ToUtf8(units);
}

// The key below HKCU's classes, else HKLM's.
uint32_t OpenMerged(std::string_view subkey, reg::Key& out) {
  const std::string path = Join(kClassesKey, subkey);
  if (reg::Key::Open(reg::HKEY_CURRENT_USER, path, reg::Access::Read, out) == 0) return 0;
  return reg::Key::Open(reg::HKEY_LOCAL_MACHINE, path, reg::Access::Read, out);
}

}  // namespace

uint32_t ClassesWriter::Open(bool machine, ClassesWriter& out) {
  out.machine_ = machine;
  return reg::Key::Create(machine ? reg::HKEY_LOCAL_MACHINE : reg::HKEY_CURRENT_USER, kClassesKey,
                          reg::Access::Write, out.root_);
}

uint32_t ClassesWriter::OpenForRegistration(ClassesWriter& out) {
  return Open(reg::IsMachineAdministrator(), out);
}

uint32_t ClassesWriter::SetText(std::string_view subkey, std::string_view name, std::string_view text) const {
  reg::Key key;
  if (const uint32_t rc = root_.CreateSubKey(subkey, reg::Access::Write, key)) return rc;
  return key.SetValue(name, reg::REG_SZ, TextBytes(text));
}

uint32_t ClassesWriter::CreateKey(std::string_view subkey) const {
  reg::Key key;
  return root_.CreateSubKey(subkey, reg::Access::Write, key);
}

uint32_t ClassesWriter::DeleteTree(std::string_view subkey) const {
  const uint32_t rc = root_.DeleteTree(subkey);
  return rc == ERROR_FILE_NOT_FOUND ? 0 : rc;
}

void ClassesWriter::DeleteIfEmpty(std::string_view subkey) const {
  reg::Key key;
  if (root_.OpenSubKey(subkey, reg::Access::Read, key) != 0) return;
  std::string name;
  reg::Value value;
  if (key.EnumKey(0, name) == 0 || key.EnumValue(0, value) == 0) return;
  key.Close();
  root_.DeleteSubKey(subkey);
}

uint32_t ClassesWriter::DeleteTreeExcept(std::string_view subkey, std::string_view keep) const {
  reg::Key key;
  uint32_t rc = root_.OpenSubKey(subkey, reg::Access::Write, key);
  if (rc == ERROR_FILE_NOT_FOUND) return 0;
  if (rc) return rc;
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; key.EnumKey(i, name) == 0; ++i) names.push_back(name);
  bool kept = false;
  for (const std::string& n : names) {
    if (reg::detail::FoldName(n) == reg::detail::FoldName(keep)) {
      kept = true;
      continue;
    }
    if ((rc = key.DeleteTree(n))) return rc;
  }
  std::vector<std::string> values;
  reg::Value value;
  for (uint32_t i = 0; key.EnumValue(i, value) == 0; ++i) values.push_back(value.name);
  for (const std::string& v : values)
    if ((rc = key.DeleteValue(v))) return rc;
  key.Close();
  return kept ? 0 : DeleteTree(subkey);
}

uint32_t ReadClassesText(std::string_view subkey, std::string_view name, std::string& out) {
  reg::Key key;
  if (const uint32_t rc = OpenMerged(subkey, key)) return rc;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (const uint32_t rc = key.QueryValue(name, &type, &data)) return rc;
  if (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  out = BytesText(data);
  return 0;
}

bool ClassesKeyExists(std::string_view subkey) {
  reg::Key key;
  return OpenMerged(subkey, key) == 0;
}

HRESULT CLSIDFromProgID(std::string_view progId, CLSID& out) {
  std::string text;
  if (progId.empty() || ReadClassesText(Join(progId, "CLSID"), "", text) != 0) return REGDB_E_CLASSNOTREG;
  const auto clsid = GuidFromString(text);
  if (!clsid) return REGDB_E_CLASSNOTREG;
  out = *clsid;
  return S_OK;
}

HRESULT InprocServerOf(const CLSID& clsid, std::string& path) {
  if (ReadClassesText("CLSID\\" + GuidToString(clsid) + "\\InprocServer32", "", path) != 0 || path.empty())
    return REGDB_E_CLASSNOTREG;
  return S_OK;
}

HRESULT RegisterCategory(const ClassesWriter& writer, const CATID& catid, uint32_t lcid,
                         std::string_view description) {
  char locale[16];
  std::snprintf(locale, sizeof locale, "%x", lcid);
  const std::string text = CutUtf8ToUnits(description, 127);
  return writer.SetText("Component Categories\\" + GuidToString(catid), locale, text) ? E_FAIL : S_OK;
}

HRESULT RegisterClassImplCategories(const ClassesWriter& writer, const CLSID& clsid,
                                    std::span<const CATID> catids) {
  for (const CATID& catid : catids) {
    if (writer.CreateKey("CLSID\\" + GuidToString(clsid) + "\\Implemented Categories\\" + GuidToString(catid)))
      return E_FAIL;
  }
  return S_OK;
}

namespace {

std::string TypeLibVersionKey(const TypeLibRegistration& lib) {
  char version[16];
  std::snprintf(version, sizeof version, "%x.%x", lib.major, lib.minor);
  return "TypeLib\\" + GuidToString(lib.libid) + "\\" + version;
}

}  // namespace

HRESULT RegisterTypeLib(const ClassesWriter& writer, const TypeLibRegistration& lib) {
  const std::string key = TypeLibVersionKey(lib);
  char locale[16];
  std::snprintf(locale, sizeof locale, "%x", lib.lcid);
  std::string folder = lib.libraryPath;
  if (const size_t slash = folder.rfind('/'); slash != std::string::npos) folder.erase(slash);
  if (writer.SetText(key, "", lib.helpString) || writer.SetText(key + "\\FLAGS", "", "0") ||
      writer.SetText(key + "\\HELPDIR", "", folder) ||
      writer.SetText(key + "\\" + locale + "\\linux", "", lib.libraryPath))
    return SELFREG_E_TYPELIB;
  char version[16];
  std::snprintf(version, sizeof version, "%u.%u", lib.major, lib.minor);
  for (const TypeLibInterface& i : lib.interfaces) {
    const std::string ikey = "Interface\\" + GuidToString(i.iid);
    if (writer.SetText(ikey, "", i.name) || writer.SetText(ikey + "\\TypeLib", "", GuidToString(lib.libid)) ||
        writer.SetText(ikey + "\\TypeLib", "Version", version))
      return SELFREG_E_TYPELIB;
  }
  return S_OK;
}

HRESULT UnregisterTypeLib(const ClassesWriter& writer, const TypeLibRegistration& lib) {
  for (const TypeLibInterface& i : lib.interfaces)
    if (writer.DeleteTree("Interface\\" + GuidToString(i.iid))) return SELFREG_E_TYPELIB;
  if (writer.DeleteTree(TypeLibVersionKey(lib))) return SELFREG_E_TYPELIB;
  // The library's key goes with its last version.
  writer.DeleteIfEmpty("TypeLib\\" + GuidToString(lib.libid));
  return S_OK;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (!realpath(info.dli_fname, resolved)) return info.dli_fname;
  return resolved;
}

}  // namespace platform::com
