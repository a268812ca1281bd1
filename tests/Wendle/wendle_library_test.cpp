// libWendle.so as a container meets it: registered by its own export,
// created by ProgID through the component layer, scripted by name, and
// unloaded once nothing of it is left.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "Wendle/wendle_ids.h"
#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/com/class_registry.h"
#include "platform/com/component_loader.h"
#include "platform/com/dispatch.h"
#include "tools/vqregedit/reg_file.h"

namespace {

using namespace platform::com;

const std::string kLibrary = WENDLE_LIBRARY_PATH;

// The library's own export, from a handle of its own (closed at the end).
HRESULT CallExport(const char* name) {
  void* handle = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return E_FAIL;
  const auto fn = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, name));
  const HRESULT hr = fn ? fn() : E_FAIL;
  dlclose(handle);
  return hr;
}

// The machine's classes as .reg text, the library's path as @LIB@.
std::string MachineClasses() {
  std::string text;
  EXPECT_EQ(regfile::ExportText(platform::registry::HKEY_LOCAL_MACHINE, kClassesKey, regfile::Format::Regedit4, text),
            0u);
  std::string real = std::filesystem::canonical(kLibrary).string();
  for (size_t at; (at = text.find(real)) != std::string::npos;) text.replace(at, real.size(), "@LIB@");
  return text;
}

std::string Golden(const std::string& name) {
  return vqtest::ReadFileBytes(std::string(VQ_TEST_DATA_DIR) + "/Wendle/" + name);
}

bool Loaded() {
  void* handle = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

TEST(WendleLibraryTest, RegistrationWritesExactlyTheControlsEntries) {
  vqtest::TempRoot root;
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  std::string folder = std::filesystem::canonical(kLibrary).parent_path().string();
  std::string text = MachineClasses();
  for (size_t at; (at = text.find(folder)) != std::string::npos;) text.replace(at, folder.size(), "@DIR@");
  EXPECT_EQ(text, Golden("registered.reg"));
  // Again: the same entries, nothing twice.
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  std::string again = MachineClasses();
  for (size_t at; (at = again.find(folder)) != std::string::npos;) again.replace(at, folder.size(), "@DIR@");
  EXPECT_EQ(again, text);
}

TEST(WendleLibraryTest, UnregisteringKeepsTheCategories) {
  vqtest::TempRoot root;
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
  EXPECT_EQ(MachineClasses(), Golden("unregistered.reg"));
  ComponentLoader loader;
  ComPtr<IDispatch> control;
  EXPECT_EQ(loader.CreateInstanceByProgId(wendle::WENDLE_PROGID, IID_IDispatch, control.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(loader.CreateInstance(wendle::CLSID_Wendle, IID_IDispatch, control.PutVoid()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(loader.LoadedCount(), 0u);
}

TEST(WendleLibraryTest, ScriptedByNameInAnyCase) {
  vqtest::TempRoot root;
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  ComponentLoader loader;
  ComPtr<IDispatch> control;
  ASSERT_EQ(loader.CreateInstanceByProgId("wendle.wendlectrl.1", IID_IDispatch, control.PutVoid()), S_OK);

  const std::vector<std::string> names = {"aboutbox", "INIT", "Connect", "isclientinstalled", "GetConnStat",
                                          "DISCONNECT", "setClientAuthFlag", "userexist", "IsSessionExpire"};
  std::vector<DISPID> ids(names.size());
  ASSERT_EQ(control->GetIDsOfNames(names, ids.data()), S_OK);
  EXPECT_EQ(ids, (std::vector<DISPID>{-552, 1, 2, 3, 4, 5, 6, 7, 8}));
  const std::vector<std::string> mixed = {"Init", "Launch"};
  EXPECT_EQ(control->GetIDsOfNames(mixed, ids.data()), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);

  struct Case {
    const char* what;
    DISPID id;
    std::vector<Variant> args;
    HRESULT hr;
    uint32_t argErr;
    Variant result;
  };
  const Case cases[] = {
      {"no client here", 3, {}, S_OK, 0, Variant::I2(0)},
      {"a number as the flag", 6, {Variant::I4(1)}, S_OK, 0, Variant()},
      {"text that is a number", 6, {Variant::Bstr(" 2 ")}, S_OK, 0, Variant()},
      {"back to no key", 6, {Variant::Bstr("0")}, S_OK, 0, Variant()},
      {"text that is not", 6, {Variant::Bstr("x")}, DISP_E_TYPEMISMATCH, 0, Variant()},
      {"a flag past 16 bits", 6, {Variant::I4(70000)}, DISP_E_OVERFLOW, 0, Variant()},
      {"too few arguments", 1, {Variant::Bstr("a")}, DISP_E_BADPARAMCOUNT, 0, Variant()},
      {"too many", 2, {Variant::I2(1)}, DISP_E_BADPARAMCOUNT, 0, Variant()},
      {"no such member", 9, {}, DISP_E_MEMBERNOTFOUND, 0, Variant()},
      {"the about box does nothing", -552, {}, S_OK, 0, Variant()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Variant result = Variant::Bstr("untouched");
    uint32_t argErr = 99;
    EXPECT_EQ(control->Invoke(c.id, DISPATCH_METHOD, c.args, &result, &argErr), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(result, c.result);
    }
    if (c.hr == DISP_E_TYPEMISMATCH || c.hr == DISP_E_OVERFLOW) {
      EXPECT_EQ(argErr, c.argErr);
    }
  }
  // The fourth text of Init is coerced from a number; the second stays text.
  uint32_t argErr = 99;
  const std::vector<Variant> init = {Variant::Bstr("gw"), Variant::I4(443), Variant::Bstr("u"), Variant()};
  Variant result;
  EXPECT_EQ(control->Invoke(1, DISPATCH_METHOD, init, &result, &argErr), S_OK);
  EXPECT_EQ(result, Variant::I2(-1));  // no client installed, and no download here
}

TEST(WendleLibraryTest, UnloadedOnlyAfterTheLastReference) {
  vqtest::TempRoot root;
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  ASSERT_FALSE(Loaded());
  ComponentLoader loader;
  ComPtr<IDispatch> control;
  ASSERT_EQ(loader.CreateInstanceByProgId(wendle::WENDLE_PROGID, IID_IDispatch, control.PutVoid()), S_OK);
  ComPtr<IUnknown> second;
  ASSERT_EQ(control.As(IID_IUnknown, second), S_OK);
  control.Reset();
  loader.FreeUnusedLibraries();
  EXPECT_TRUE(Loaded()) << "unloaded under a live object";
  second.Reset();
  EXPECT_TRUE(Loaded());
  loader.FreeUnusedLibraries();
  EXPECT_FALSE(Loaded());
  EXPECT_EQ(loader.LoadedCount(), 0u);

  // A locked server stays too.
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(loader.GetClassObject(wendle::CLSID_Wendle, IID_IClassFactory, factory.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(true), S_OK);
  factory.Reset();
  loader.FreeUnusedLibraries();
  EXPECT_TRUE(Loaded());
  ASSERT_EQ(loader.GetClassObject(wendle::CLSID_Wendle, IID_IClassFactory, factory.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(false), S_OK);
  factory.Reset();
  loader.FreeUnusedLibraries();
  EXPECT_FALSE(Loaded());
}

TEST(WendleLibraryTest, AUserRegistersForThemselves) {
  vqtest::TempRoot root;
  const std::string config = root.At("/nobody/.config");
  std::filesystem::create_directories(config);
  ASSERT_EQ(::chown(root.At("/nobody").c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
  ASSERT_EQ(::chown(config.c_str(), vqtest::kNobodyUid, vqtest::kNobodyGid), 0);
  ::chmod(root.path().c_str(), 0755);
  const int rc = vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, [&] {
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (CallExport("DllRegisterServer") != S_OK) return 1;
    std::string path;
    if (ReadClassesText("CLSID\\" + GuidToString(wendle::CLSID_Wendle) + "\\InprocServer32", "", path) != 0)
      return 2;
    ComponentLoader loader;
    ComPtr<IDispatch> control;
    if (loader.CreateInstanceByProgId(wendle::WENDLE_PROGID, IID_IDispatch, control.PutVoid()) != S_OK) return 3;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  // Nothing went into the machine's classes, and the machine does not see it.
  EXPECT_FALSE(ClassesKeyExists(wendle::WENDLE_PROGID));
}

}  // namespace
