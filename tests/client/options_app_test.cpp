// The Options dialog in the started client: menu command 40022 opens it over
// the process's store, and the connection the user adds, makes the
// automatic-login default, renames and deletes is what the store's own tool
// (vqstore dump) and the file show after each step.
#include <gtest/gtest.h>

#include <cstdio>

#include "client/options_fixture.h"
#include "client/tray_fixture.h"

namespace {

using namespace client;
using platform::ui::IDOK;

// vqstore dump's output for the file of this root.
std::string Dump() {
  std::string out;
  FILE* pipe = ::popen((std::string(VQSTORE_PATH) + " dump").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// Answers the only box waiting, which must be stringId.
void Answer(platform::ui::HeadlessHost& host, uint32_t stringId) {
  host.RunUntilIdle();
  ASSERT_EQ(host.PendingBoxes().size(), 1u);
  ASSERT_EQ(host.PendingBoxes()[0].text.stringId, stringId);
  ASSERT_TRUE(host.AnswerBox(host.PendingBoxes()[0].serial, IDOK));
  host.RunUntilIdle();
}

TEST(OptionsDialogInTheClient, AddMakeDefaultRenameDelete) {
  vqtest::TrayRun run;
  ASSERT_TRUE(run.started);
  platform::ui::HeadlessHost& host = run.host;
  ASSERT_TRUE(host.ChooseTrayCommand(ID_OPTION));
  host.RunUntilIdle();
  platform::ui::Dialog* d = host.FindDialog(IDD_OPTIONS);
  ASSERT_NE(d, nullptr);
  const auto savedRoot = [d] {
    const auto root = d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
    return d->TreeChildren(IDC_OPTIONS_TREE, root).at(1);
  };
  const auto generalItem = [d] {
    const auto root = d->TreeChildren(IDC_OPTIONS_TREE, platform::ui::kTreeRoot).at(0);
    return d->TreeChildren(IDC_OPTIONS_TREE, root).at(0);
  };
  const auto file = [] { return storetest::Tree(vqtest::ReadFileBytes(XmlConfigPath())); };
  const auto has = [](const std::vector<std::string>& tree, const std::string& line) {
    return std::find(tree.begin(), tree.end(), line) != tree.end();
  };

  // Add "work".
  ASSERT_TRUE(host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, savedRoot()));
  ASSERT_TRUE(host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_NAME, "work"));
  ASSERT_TRUE(host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_SERVER, "gw.example"));
  ASSERT_TRUE(host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_PORT, "443"));
  ASSERT_TRUE(host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_USER, "alice"));
  ASSERT_TRUE(host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY));
  Answer(host, IDS_ADD_CONNECTION);
  // The Auto Login default.
  ASSERT_TRUE(host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, generalItem()));
  ASSERT_TRUE(host.Check(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, true));
  ASSERT_TRUE(host.Select(IDD_OPTIONS_GENERAL, IDC_DEFAULT_CONNECTION, 0));
  ASSERT_TRUE(host.Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY));
  Answer(host, IDS_CHANGE_SETTING);
  std::string dump = Dump();
  std::printf("--- after adding work ---\n%s", dump.c_str());
  EXPECT_NE(dump.find("current: work\nauto login: 1\nconnection work\n"), std::string::npos);
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/CURRENTUSER=work"));
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/AUTOLOGIN=1"));

  // Rename it "office".
  ASSERT_TRUE(host.SelectTree(IDD_OPTIONS, IDC_OPTIONS_TREE, d->TreeChildren(IDC_OPTIONS_TREE, savedRoot()).at(0)));
  ASSERT_TRUE(host.SetText(IDD_SAVED_CONNECTION, IDC_CONNECTION_NAME, "office"));
  ASSERT_TRUE(host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_APPLY));
  Answer(host, IDS_CHANGE_CONNECTION);
  dump = Dump();
  std::printf("--- after renaming it office ---\n%s", dump.c_str());
  EXPECT_NE(dump.find("current: office\nauto login: 1\nconnection office\n"), std::string::npos);
  EXPECT_EQ(dump.find("connection work"), std::string::npos);
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/CURRENTUSER=office"));
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/AUTOLOGIN=1"));

  // Delete it.
  ASSERT_TRUE(host.Click(IDD_SAVED_CONNECTION, IDC_CONNECTION_DELETE));
  Answer(host, IDS_DELETE_CONNECTION);
  dump = Dump();
  std::printf("--- after deleting it ---\n%s", dump.c_str());
  EXPECT_NE(dump.find("current: \nauto login: 0\nno saved connections\n"), std::string::npos);
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/CURRENTUSER="));
  EXPECT_TRUE(has(file(), "/KOVCONFIG/LOGININFO/AUTOLOGIN=0"));

  // The tunnel service heard each auto-logon change.
  std::vector<vqtest::FakePipeServer::Bytes> flags;
  for (const auto& c : run.service.Commands())
    if (c.at(0) == VQ_SET_AUTO_LOGON) flags.push_back(c);
  EXPECT_EQ(flags.back(), (vqtest::FakePipeServer::Bytes{4, 0, 0}));
  EXPECT_NE(std::find(flags.begin(), flags.end(), vqtest::FakePipeServer::Bytes{4, 1, 0}), flags.end());
}

}  // namespace
