// The Options dialog under the headless host: a fresh root with its own
// XDG_CONFIG_HOME, the store's file in it, and a fake tunnel service on the
// command pipe that answers VQ_SET_AUTO_LOGON and records what it got.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/cert/usb_key_user_name.h"
#include "client/cert_token.h"
#include "client/store/process_store.h"
#include "client/store/store_fixture.h"
#include "client/ui/options_autostart.h"
#include "client/ui/options_dialog.h"
#include "client/ui/options_general_page.h"
#include "client/ui/saved_connection_page.h"
#include "common/fake_pipe_server.h"
#include "support/command_pipe.h"
#include "common/temp_root.h"
#include "platform/shell/autostart.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"

namespace optionstest {

using platform::ui::Dialog;
using platform::ui::TreeHandle;
using Bytes = vqtest::FakePipeServer::Bytes;

// A connection with its secrets remembered or not.
inline client::user_info Connection(const std::string& alias, const std::string& mode = "0",
                                    const std::string& password = "", const std::string& pin = "") {
  client::user_info r = storetest::Record(alias, "bob", "10.0.0.1", "443");
  r.LOGINMODE = mode;
  r.PASSWORD = password;
  r.REMPASSWORD = password.empty() ? "0" : "1";
  r.USBKEY = pin;
  r.REMPINWORD = pin.empty() ? "0" : "1";
  return r;
}

class OptionsTest : public ::testing::Test {
 public:
  OptionsTest() : app_(host_) {}

  void SetUp() override {
    host_.SetStrings(vqtest::ClientStrings(1033));
    ASSERT_EQ(client::LoadXmlConfig(store_), 0);
    path_ = store_.Path();
    service_.SetCommandScript(VQ_SET_AUTO_LOGON, [](const Bytes& r) {
      return std::optional<Bytes>(Bytes{r[0], 0, 0, 0, 0});
    });
  }

  // Stored connections, the current one and AUTOLOGIN, as earlier runs
  // left them.
  void Seed(const std::vector<client::user_info>& connections, const std::string& current = "",
            const std::string& autoLogin = "") {
    for (const client::user_info& c : connections) {
      ASSERT_TRUE(store_.AddUser(c));
      ASSERT_TRUE(store_.AddListEntry(c));
    }
    ASSERT_TRUE(store_.SetCurrentUser(current));
    if (const auto entry = store_.FindUser(current)) store_.CopyToCurrentUser(*entry);
    ASSERT_TRUE(store_.SetAutoLogin(autoLogin));
  }

  client::OptionsContext Context() {
    client::OptionsContext c;
    c.store = &store_;
    c.certificates = &app_.Certificates();
    c.applyAutoLogonFlag = [this](bool on) { app_.Link().ApplyAutoLogonFlag(on); };
    client::UseProgramAutoStart(c);
    c.usbKeyUserName = GetUsbKeyUserName;
    return c;
  }

  Dialog* Open() {
    Dialog* d = client::OpenOptionsDialog(host_, nullptr, Context());
    host_.RunUntilIdle();
    return d;
  }
  Dialog* Top() { return host_.FindDialog(client::IDD_OPTIONS); }
  Dialog* General() { return host_.FindDialog(client::IDD_OPTIONS_GENERAL); }
  Dialog* Saved() { return host_.FindDialog(client::IDD_SAVED_CONNECTION); }

  // The tree's item of a saved connection (0: none).
  TreeHandle Item(const std::string& alias) {
    Dialog* d = Top();
    for (TreeHandle h : d->TreeChildren(client::IDC_OPTIONS_TREE, SavedRoot()))
      if (d->TreeItemText(client::IDC_OPTIONS_TREE, h) == alias) return h;
    return 0;
  }
  TreeHandle SavedRoot() {
    Dialog* d = Top();
    const TreeHandle root = d->TreeChildren(client::IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
    return d->TreeChildren(client::IDC_OPTIONS_TREE, root).at(1);
  }
  TreeHandle GeneralItem() {
    Dialog* d = Top();
    const TreeHandle root = d->TreeChildren(client::IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
    return d->TreeChildren(client::IDC_OPTIONS_TREE, root).at(0);
  }
  std::vector<std::string> TreeAliases() {
    std::vector<std::string> out;
    for (TreeHandle h : Top()->TreeChildren(client::IDC_OPTIONS_TREE, SavedRoot()))
      out.push_back(Top()->TreeItemText(client::IDC_OPTIONS_TREE, h));
    return out;
  }
  void Pick(TreeHandle item) {
    ASSERT_TRUE(host_.SelectTree(client::IDD_OPTIONS, client::IDC_OPTIONS_TREE, item));
    host_.RunUntilIdle();
  }
  void Pick(const std::string& alias) { Pick(Item(alias)); }

  // Saved Connection page input.
  void Type(int id, const std::string& text) {
    ASSERT_TRUE(host_.SetText(client::IDD_SAVED_CONNECTION, id, text)) << id;
  }
  void Tick(int templateId, int id, bool on) { ASSERT_TRUE(host_.Check(templateId, id, on)) << id; }
  void Mode(int mode) {
    ASSERT_TRUE(host_.Select(client::IDD_SAVED_CONNECTION, client::IDC_LOGIN_MODE, mode));
    host_.RunUntilIdle();
  }
  void Click(int templateId, int id) {
    ASSERT_TRUE(host_.Click(templateId, id)) << id;
    host_.RunUntilIdle();
  }
  // A new connection's fields, as the user types them after picking
  // "Saved Connection".
  void FillNew(const std::string& alias, const std::string& server = "gw.example", const std::string& port = "443",
               const std::string& user = "alice") {
    Pick(SavedRoot());
    Type(client::IDC_CONNECTION_NAME, alias);
    Type(client::IDC_CONNECTION_SERVER, server);
    Type(client::IDC_CONNECTION_PORT, port);
    Type(client::IDC_CONNECTION_USER, user);
  }

  // The string entries of the boxes waiting for an answer.
  std::vector<uint32_t> Boxes() {
    host_.RunUntilIdle();
    std::vector<uint32_t> ids;
    for (const auto& box : host_.PendingBoxes()) ids.push_back(box.text.stringId);
    return ids;
  }
  // Answers the first box of that entry; false when none waits.
  bool Answer(uint32_t stringId, int answer = platform::ui::IDOK) {
    host_.RunUntilIdle();
    for (const auto& box : host_.PendingBoxes()) {
      if (box.text.stringId != stringId) continue;
      const bool ok = host_.AnswerBox(box.serial, answer);
      host_.RunUntilIdle();
      return ok;
    }
    return false;
  }
  const platform::ui::PendingBox* BoxOf(uint32_t stringId) {
    for (const auto& box : host_.PendingBoxes())
      if (box.text.stringId == stringId) return &box;
    return nullptr;
  }

  std::string File() const { return vqtest::ReadFileBytes(path_); }
  // What a fresh load of the file holds.
  client::user_info_list Stored() const {
    client::CXmlConfig fresh;
    EXPECT_TRUE(fresh.Load(path_));
    return fresh.GetUserList().value_or(client::user_info_list{});
  }
  std::optional<client::user_info> StoredUser(const std::string& alias) const {
    const client::user_info_list list = Stored();
    const client::user_info* entry = list.FindByAlias(alias);
    return entry ? std::optional<client::user_info>(*entry) : std::nullopt;
  }
  std::vector<std::string> StoredAliases() const {
    std::vector<std::string> out;
    for (const client::user_info& u : Stored()) out.push_back(u.ALIASID);
    return out;
  }
  std::string StoredValue(client::XmlConfigXPath xpath) const {
    client::CXmlConfig fresh;
    EXPECT_TRUE(fresh.Load(path_));
    return fresh.GetNodeText(xpath).value_or("(none)");
  }
  std::vector<Bytes> Sent() { return service_.Messages(); }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  platform::ui::HeadlessHost host_{clock_};
  client::ClientApp app_;
  client::CXmlConfig store_;
  std::string path_;  // the store's file (a test may move XDG_CONFIG_HOME on)
  vqtest::FakePipeServer service_{client::kBrindlewayPipeName};
};

}  // namespace optionstest
