#include "Wendle/wendle_registration.h"

#include <string>

#include "Wendle/wendle_ids.h"
#include "Wendle/wendle_typelib.h"
#include "platform/com/class_registry.h"

using namespace platform::com;

namespace {

std::string ClassKey(const GUID& clsid) { return "CLSID\\" + GuidToString(clsid); }

bool RegisterClassFactories(const ClassesWriter& w, const std::string& path) {
  using namespace wendle;
  const std::string control = ClassKey(CLSID_Wendle);
  const std::string page = ClassKey(CLSID_WendlePropPage);
  const std::string version = std::to_string(WENDLE_LIB_MAJOR) + "." + std::to_string(WENDLE_LIB_MINOR);
  const std::string progCtl = WENDLE_PROGID;
  const std::string progPage = WENDLE_PROPPAGE_PROGID;
  const struct {
    std::string key;
    const char* name;
    std::string text;
  } entries[] = {
      // The control: apartment threaded, not insertable.
      {control, "", WENDLE_TYPE_NAME},
      {control + "\\InprocServer32", "", path},
      {control + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {control + "\\ProgID", "", progCtl},
      {control + "\\ToolboxBitmap32", "", path + ", " + std::to_string(WENDLE_TOOLBOX_BITMAP)},
      {control + "\\TypeLib", "", GuidToString(LIBID_WendleLib)},
      {control + "\\Version", "", version},
      {control + "\\MiscStatus", "", "0"},
      {control + "\\MiscStatus\\1", "", std::to_string(WENDLE_MISC_STATUS)},
      {progCtl, "", WENDLE_TYPE_NAME},
      {progCtl + "\\CLSID", "", GuidToString(CLSID_Wendle)},
      // The property page.
      {page, "", WENDLE_PROPPAGE_NAME},
      {page + "\\InprocServer32", "", path},
      {page + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {progPage, "", WENDLE_PROPPAGE_NAME},
      {progPage + "\\CLSID", "", GuidToString(CLSID_WendlePropPage)},
  };
  for (const auto& e : entries)
    if (w.SetText(e.key, e.name, e.text)) return false;
  return w.CreateKey(control + "\\Control") == 0;
}

}  // namespace

HRESULT RegisterWendle(const std::string& libraryPath) {
  using namespace wendle;
  ClassesWriter w;
  if (ClassesWriter::OpenForRegistration(w)) return SELFREG_E_TYPELIB;
  if (FAILED(RegisterTypeLib(w, WendleTypeLib(libraryPath)))) return SELFREG_E_TYPELIB;
  if (!RegisterClassFactories(w, libraryPath)) return SELFREG_E_CLASS;
  const CATID categories[] = {CATID_SafeForScripting, CATID_SafeForInitializing};
  if (FAILED(RegisterCategory(w, CATID_SafeForScripting, 0x409, "Controls that are safely scriptable")) ||
      FAILED(RegisterCategory(w, CATID_SafeForInitializing, 0x409,
                              "Controls safely initializable from persistent data")) ||
      FAILED(RegisterClassImplCategories(w, CLSID_Wendle, categories)))
    return SELFREG_E_CLASS;
  return S_OK;
}

HRESULT UnregisterWendle(const std::string& libraryPath) {
  using namespace wendle;
  ClassesWriter w;
  if (ClassesWriter::OpenForRegistration(w)) return SELFREG_E_TYPELIB;
  if (FAILED(UnregisterTypeLib(w, WendleTypeLib(libraryPath)))) return SELFREG_E_TYPELIB;
  if (w.DeleteTreeExcept(ClassKey(CLSID_Wendle), "Implemented Categories") ||
      w.DeleteTree(WENDLE_PROGID) || w.DeleteTree(ClassKey(CLSID_WendlePropPage)) ||
      w.DeleteTree(WENDLE_PROPPAGE_PROGID))
    return SELFREG_E_CLASS;
  return S_OK;
}
