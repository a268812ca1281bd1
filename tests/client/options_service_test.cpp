// General Apply against the real tunnel service run in the console: the
// auto-logon flag it sends is taken, not refused as malformed.
#include <gtest/gtest.h>

#include <csignal>

#include "client/app/client_constants.h"
#include "client/cert_token.h"
#include "client/client_fixture.h"
#include "client/store/process_store.h"
#include "client/store/store_fixture.h"
#include "client/ui/options_autostart.h"
#include "client/ui/options_dialog.h"
#include "client/ui/options_general_page.h"
#include "common/child_process.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "common/log_reader.h"
#include "platform/ui/win32_ui.h"
#include "support/command_pipe.h"

namespace {

using namespace client;

TEST(OptionsDialogRealService, GeneralApplysAutoLogonIsTakenByTheConsoleService) {
  vqtest::ClientRun run;
  run.host.SetStrings(vqtest::ClientStrings(1033));
  CXmlConfig store;
  ASSERT_EQ(LoadXmlConfig(store), 0);
  const user_info work = storetest::Record("work");
  ASSERT_TRUE(store.AddUser(work) && store.AddListEntry(work));

  vqtest::ChildProcess service({BRINDLEWAY_PATH});
  ASSERT_TRUE(vqtest::Eventually([&run] { return run.app.Link().SendInqueryCommand() == 0; }));

  OptionsContext context;
  context.store = &store;
  context.applyAutoLogonFlag = [&run](bool on) { run.app.Link().ApplyAutoLogonFlag(on); };
  UseProgramAutoStart(context);
  ASSERT_NE(OpenOptionsDialog(run.host, nullptr, context), nullptr);
  run.host.RunUntilIdle();
  ASSERT_TRUE(run.host.Check(IDD_OPTIONS_GENERAL, IDC_AUTO_LOGIN, true));
  ASSERT_TRUE(run.host.Select(IDD_OPTIONS_GENERAL, IDC_DEFAULT_CONNECTION, 0));
  ASSERT_TRUE(run.host.Click(IDD_OPTIONS_GENERAL, IDC_OPTIONS_APPLY));
  run.host.RunUntilIdle();
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  ASSERT_TRUE(run.host.AnswerBox(run.host.PendingBoxes()[0].serial, platform::ui::IDOK));
  run.host.RunUntilIdle();
  EXPECT_TRUE(run.host.PendingBoxes().empty());
  EXPECT_EQ(store.GetAutoLogin(), "1");

  // The same three bytes the options' sender puts on the pipe (the unit
  // tests pin them) get the service's acceptance.
  std::vector<uint8_t> reply;
  ASSERT_EQ(vqtest::SendCommand({VQ_SET_AUTO_LOGON, 1, 0}, reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{VQ_SET_AUTO_LOGON, 0, 0, 0, 0}));
  const std::string log = vqtest::ReadLogText();
  EXPECT_EQ(log.find("Refused malformed auto logon command"), std::string::npos) << log;
  EXPECT_EQ(log.find("Could not connect the Brindleway service"), std::string::npos) << log;
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20000), 0);
}

}  // namespace
