// The client's top-most boxes: title, flags and owner, from the UI thread
// and from a worker, and the last-error report.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "client/app/client_constants.h"
#include "client/app/top_most_message.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "platform/ui/dialog.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

namespace {

using namespace vqtest;
namespace ui = platform::ui;

constexpr uint32_t kTopMost = ui::MB_SETFOREGROUND | ui::MB_TOPMOST;

TEST(ClientTopMostMessage, UiThreadBoxHasTheProductTitleAndTopMostFlags) {
  ClientRun run;
  client::ShowTopMostMessage(run.app, ui::BoxText("Hello", 42), ui::MB_ICONWARNING);
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  const ui::PendingBox& box = run.host.PendingBoxes()[0];
  EXPECT_EQ(box.text.text, "Hello");
  EXPECT_EQ(box.text.stringId, 42u);
  EXPECT_EQ(box.caption, client::kProductTitle);
  EXPECT_EQ(box.flags, ui::MB_ICONWARNING | kTopMost);
  EXPECT_EQ(box.ownerTemplate, 0);
}

TEST(ClientTopMostMessage, AWorkersBoxForADialogIsOwnedByIt) {
  ClientRun run;
  static const ui::DialogTemplate login(156, {});
  ui::Dialog* owner =
      run.host.OpenDialog(login, nullptr, std::make_unique<ui::DialogLogic>(), ui::Modality::Modeless);
  ASSERT_NE(owner, nullptr);
  std::thread worker([&] { client::ShowTopMostMessageFor(run.app, 156, "Login failed", ui::MB_ICONERROR); });
  worker.join();  // it does not wait for the answer
  run.host.RunUntilIdle();
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run.host.PendingBoxes()[0].ownerTemplate, 156);
  EXPECT_EQ(run.host.PendingBoxes()[0].flags, ui::MB_ICONERROR | kTopMost);
  EXPECT_TRUE(owner->Blocked());
}

// The UI thread may be joining that worker, so it never waits for the box.
TEST(ClientTopMostMessage, AWorkersBoxIsPostedAndItsAnswerComesBackOnTheUiThread) {
  ClientRun run;
  std::atomic<int> answer{0};
  std::atomic<bool> answeredOnUi{false};
  std::thread worker([&] {
    client::ShowTopMostMessage(run.app, "Cannot connect", ui::MB_ICONERROR, [&](int result) {
      answeredOnUi = run.host.IsUiThread();
      answer = result;
    });
  });
  worker.join();
  run.host.RunUntilIdle();
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  EXPECT_TRUE(run.host.Answer("Cannot connect", ui::IDOK));
  run.host.RunUntilIdle();
  EXPECT_EQ(answer, ui::IDOK);
  EXPECT_TRUE(answeredOnUi);
}

TEST(ClientTopMostMessage, ReportLastErrorShowsAndLogsTheCodeWithItsText) {
  ClientRun run;
  LogInit(nullptr);
  errno = ENOENT;
  client::ReportLastError(run.app, "CreateFile");
  const std::string expected = "CreateFile: error 2: The system cannot find the file specified.";
  ASSERT_EQ(run.host.PendingBoxes().size(), 1u);
  EXPECT_EQ(run.host.PendingBoxes()[0].text.text, expected);
  EXPECT_EQ(run.host.PendingBoxes()[0].flags, ui::MB_ICONERROR | kTopMost);
  EXPECT_NE(ReadLogText().find("LOG_ERR [" + std::to_string(::getpid()) + ":"), std::string::npos);
  EXPECT_NE(ReadLogText().find(expected), std::string::npos) << ReadLogText();
  LogCleanup();
}

}  // namespace
