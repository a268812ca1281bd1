// The component layer on its own: identifiers, variant coercion, the
// dispatch table, the merged classes view and the loader's failures.
#include <gtest/gtest.h>

#include "common/temp_root.h"
#include "platform/com/class_registry.h"
#include "platform/com/component_loader.h"
#include "platform/com/dispatch.h"
#include "platform/com/guid.h"
#include "platform/com/variant.h"

namespace {

using namespace platform::com;

TEST(ComGuidTest, TextFormRoundTripsAndRejectsOthers) {
  const GUID g = {0x93BCCDD4, 0x0770, 0x49AE, {0x9C, 0xD5, 0xB0, 0x54, 0xED, 0x0A, 0x16, 0xEC}};
  EXPECT_EQ(GuidToString(g), "{93BCCDD4-0770-49AE-9CD5-B054ED0A16EC}");
  EXPECT_EQ(GuidFromString("{93bccdd4-0770-49ae-9cd5-b054ed0a16ec}"), g);
  for (const char* bad : {"", "93BCCDD4-0770-49AE-9CD5-B054ED0A16EC", "{93BCCDD4-0770-49AE-9CD5-B054ED0A16E}",
                          "{93BCCDD4-0770-49AE-9CD5-B054ED0A16EX}", "{93BCCDD4-0770-49AE-9CD5B-054ED0A16EC}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(GuidFromString(bad));
  }
}

TEST(ComVariantTest, CoercionAsAScriptHostDoesIt) {
  struct Case {
    Variant in;
    VARTYPE vt;
    HRESULT hr;
    Variant out;
  };
  const Case cases[] = {
      {Variant(), VT_I2, S_OK, Variant::I2(0)},
      {Variant(), VT_BSTR, S_OK, Variant::Bstr("")},
      {Variant::I2(-5), VT_I4, S_OK, Variant::I4(-5)},
      {Variant::I4(32767), VT_I2, S_OK, Variant::I2(32767)},
      {Variant::I4(32768), VT_I2, DISP_E_OVERFLOW, Variant()},
      {Variant::I4(-32769), VT_I2, DISP_E_OVERFLOW, Variant()},
      {Variant::I4(443), VT_BSTR, S_OK, Variant::Bstr("443")},
      {Variant::Bstr(" -12 "), VT_I2, S_OK, Variant::I2(-12)},
      {Variant::Bstr("+7"), VT_I4, S_OK, Variant::I4(7)},
      {Variant::Bstr("443abc"), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant::Bstr(""), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant::Bstr("99999999999"), VT_I4, DISP_E_OVERFLOW, Variant()},
      {Variant::Bstr("text"), VT_BSTR, S_OK, Variant::Bstr("text")},
      {Variant::I2(1), 11, E_INVALIDARG, Variant()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.in) + " -> " + std::to_string(c.vt));
    Variant out;
    EXPECT_EQ(ChangeType(c.in, c.vt, out), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST(ComDispatchTest, TableFindsNamesInAnyCaseAndChecksArguments) {
  const DispatchTable table = {{1, "Add", {VT_I4, VT_I2}, VT_I4}, {2, "Name", {}, VT_BSTR}};
  const std::vector<std::string> names = {"aDD", "name", "nope"};
  DISPID ids[3];
  EXPECT_EQ(table.IdsOfNames(names, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);

  std::vector<Variant> coerced;
  const DispMember* member = nullptr;
  uint32_t argErr = 9;
  const std::vector<Variant> good = {Variant::Bstr("40"), Variant::I4(2)};
  ASSERT_EQ(table.Prepare(1, DISPATCH_METHOD, good, coerced, &argErr, member), S_OK);
  EXPECT_EQ(coerced, (std::vector<Variant>{Variant::I4(40), Variant::I2(2)}));
  const std::vector<Variant> bad = {Variant::I4(1), Variant::Bstr("two")};
  EXPECT_EQ(table.Prepare(1, DISPATCH_METHOD, bad, coerced, &argErr, member), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);
  EXPECT_EQ(table.Prepare(1, DISPATCH_METHOD, {}, coerced, &argErr, member), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(table.Prepare(3, DISPATCH_METHOD, {}, coerced, &argErr, member), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(table.Prepare(2, DISPATCH_PROPERTYGET, {}, coerced, &argErr, member), DISP_E_MEMBERNOTFOUND);
}

TEST(ComClassesTest, TheUsersEntryHidesTheMachines) {
  vqtest::TempRoot root;
  ClassesWriter machine, user;
  ASSERT_EQ(ClassesWriter::Open(true, machine), 0u);
  ASSERT_EQ(ClassesWriter::Open(false, user), 0u);
  ASSERT_EQ(machine.SetText("VQ.Thing.1\\CLSID", "", "{00000001-0000-0000-0000-000000000000}"), 0u);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("vq.thing.1", clsid), S_OK);
  EXPECT_EQ(clsid.Data1, 1u);
  ASSERT_EQ(user.SetText("VQ.Thing.1\\CLSID", "", "{00000002-0000-0000-0000-000000000000}"), 0u);
  ASSERT_EQ(CLSIDFromProgID("VQ.Thing.1", clsid), S_OK);
  EXPECT_EQ(clsid.Data1, 2u);
  ASSERT_EQ(user.SetText("VQ.Broken.1\\CLSID", "", "not a guid"), 0u);
  EXPECT_EQ(CLSIDFromProgID("VQ.Broken.1", clsid), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CLSIDFromProgID("VQ.Missing.1", clsid), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CLSIDFromProgID("", clsid), REGDB_E_CLASSNOTREG);

  // Everything but the kept subkey goes; with nothing kept, the key too.
  ASSERT_EQ(machine.SetText("CLSID\\{X}\\InprocServer32", "", "lib.so"), 0u);
  ASSERT_EQ(machine.CreateKey("CLSID\\{X}\\Implemented Categories\\{C}"), 0u);
  ASSERT_EQ(machine.SetText("CLSID\\{X}", "", "name"), 0u);
  ASSERT_EQ(machine.DeleteTreeExcept("CLSID\\{X}", "implemented categories"), 0u);
  EXPECT_TRUE(ClassesKeyExists("CLSID\\{X}\\Implemented Categories\\{C}"));
  EXPECT_FALSE(ClassesKeyExists("CLSID\\{X}\\InprocServer32"));
  std::string text;
  EXPECT_NE(ReadClassesText("CLSID\\{X}", "", text), 0u);
  ASSERT_EQ(machine.SetText("CLSID\\{Y}\\InprocServer32", "", "lib.so"), 0u);
  ASSERT_EQ(machine.DeleteTreeExcept("CLSID\\{Y}", "Implemented Categories"), 0u);
  EXPECT_FALSE(ClassesKeyExists("CLSID\\{Y}"));
  EXPECT_EQ(machine.DeleteTreeExcept("CLSID\\{Z}", "Implemented Categories"), 0u);
}

TEST(ComLoaderTest, LibrariesThatAreNoServers) {
  vqtest::TempRoot root;
  ClassesWriter machine;
  ASSERT_EQ(ClassesWriter::Open(true, machine), 0u);
  const struct {
    const char* clsid;
    std::string library;
    HRESULT hr;
  } cases[] = {
      {"{00000000-0000-0000-0000-0000000000A1}", root.At("/missing.so"), CO_E_DLLNOTFOUND},
      // A real library without the exports of a server.
      {"{00000000-0000-0000-0000-0000000000A2}", PELLDORN_LIBRARY_PATH, CO_E_ERRORINDLL},
      {"{00000000-0000-0000-0000-0000000000A3}", "", REGDB_E_CLASSNOTREG},
  };
  ComponentLoader loader;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clsid);
    ASSERT_EQ(machine.SetText(std::string("CLSID\\") + c.clsid + "\\InprocServer32", "", c.library), 0u);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(loader.CreateInstance(*GuidFromString(c.clsid), IID_IUnknown, &out), c.hr);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(loader.LoadedCount(), 0u);
}

}  // namespace
