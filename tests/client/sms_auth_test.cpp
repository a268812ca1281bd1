// The SMS Auth dialog in-process under the headless host on a fake clock:
// the tunnel service's steps arrive through the real report pipe (sent with
// the service's own sender), the dialog's commands go to a scripted
// service on the command pipe. A stand-in login dialog (template 111 with
// its password field) shows what the SMS dialog does to the login.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/service/gui_command.h"
#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/ui/sms_auth_dialog.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "common/fake_pipe_server.h"
#include "connect_fixture.h"
#include "platform/pipe/pipe.h"
#include "platform/ui/win32_ui.h"
#include "support/wire.h"

namespace {

using namespace vqtest;
using namespace client;
using Bytes = FakePipeServer::Bytes;
using platform::ui::Dialog;
using platform::ui::DialogTemplate;

constexpr int kLoginTemplate = 111;
constexpr int kLoginPassword = 1002;

const DialogTemplate& StandInLoginTemplate() {
  static const DialogTemplate templ(
      kLoginTemplate, {{.id = kLoginPassword, .kind = platform::ui::ControlKind::Edit, .style = platform::ui::kPassword}});
  return templ;
}

Bytes Accepted(uint8_t command) { return Bytes{command, 0, 0, 0, 0}; }

class SmsAuth : public ::testing::Test {
 protected:
  explicit SmsAuth(uint16_t language = 1033)
      : service_(std::make_unique<FakePipeServer>(kBrindlewayPipeName)),
        host_(clock_),
        app_(host_, Hooks(), Settings(language)) {
    for (uint8_t command : {VQ_SMS_AUTH, VQ_SMS_AUTH_REQ, VQ_CLOSE_CHANNEL})
      service_->SetCommandScript(command, [command](const Bytes&) { return std::optional<Bytes>(Accepted(command)); });
    // The main window's status poll, on every second of the virtual clock,
    // reads a channel that waits for the code, as the service's would;
    // unanswered, each poll would wait out its real-time limit.
    service_->SetCommandScript(VQ_INQUERY, [](const Bytes&) {
      return std::optional<Bytes>(brindleway::EncodeInqueryReply(brindleway::CHANNEL_STATE_CONNECTING, {}));
    });
  }
  void SetUp() override {
    host_.SetLogFile(uiLog_);
    Argv argv = WindowOnly();
    ASSERT_TRUE(app_.Start(argv.argc(), argv.argv()));
    host_.RunUntilIdle();
    ASSERT_TRUE(Eventually([] {
      std::vector<uint8_t> reply;
      return platform::pipe::Transact(kMarrowlanternPipeName, {9}, reply, 16, 500, 500) == 0;
    }));
  }
  ~SmsAuth() override { app_.Shutdown(); }

  ClientApp::Settings Settings(uint16_t language) {
    ClientApp::Settings s;
    s.language = language;
    s.programDir = VQ_CLIENT_DIR;
    s.link.sleep = [](uint32_t) {};
    s.link.managerSleep = [](uint32_t) {};
    return s;
  }
  ClientHooks Hooks() {
    ClientHooks h;
    h.setLoginDialogIdle = [this](ClientApp&, bool idle) { log_.Add(idle ? "idle" : "busy"); };
    h.showLoginDialog = [this](ClientApp& app) {
      log_.Add("show-login");
      if (app.Host().FindDialog(kLoginTemplate) == nullptr)
        app.Host().OpenDialog(StandInLoginTemplate(), nullptr, std::make_unique<platform::ui::DialogLogic>(),
                              platform::ui::Modality::Modeless, {});
    };
    return h;
  }

  // One step of the service through the report pipe, then the UI thread's share.
  void Step(uint32_t code) {
    Bytes report{VQ_SMS_EVENT, 0, 0, 0, 0};
    wire::PutU32(&report[1], code);
    Bytes reply;
    ASSERT_EQ(brindleway::TransactGuiPipe(report, reply, brindleway::kGuiMessageSize, brindleway::kGuiReplyTimeoutMs),
              0u);
    host_.RunUntilIdle();
  }
  Dialog* Sms() { return host_.FindDialog(IDD_SMS_AUTH); }
  Dialog* Login() { return host_.FindDialog(kLoginTemplate); }
  // The dialog open with its count-down run out, and the login's password typed.
  void OpenWithReapplyReady() {
    Step(26);
    ASSERT_NE(Sms(), nullptr);
    Login()->SetText(kLoginPassword, "secret");
    host_.Advance(61 * 1000);
    ASSERT_TRUE(Sms()->IsEnabled(IDC_SMS_REAPPLY));
  }
  // The result the SMS dialog last ended with, from the UI log.
  std::optional<int> EndResult() {
    std::ifstream in(uiLog_);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    static const std::regex end("\"template\":145,\"result\":(-?[0-9]+)");
    std::optional<int> result;
    for (auto it = std::sregex_iterator(all.begin(), all.end(), end); it != std::sregex_iterator(); ++it)
      result = std::stoi((*it)[1]);
    return result;
  }
  std::vector<Bytes> Sent(uint8_t command) {
    std::vector<Bytes> out;
    for (const Bytes& m : service_->Messages())
      if (!m.empty() && m[0] == command) out.push_back(m);
    return out;
  }
  std::string Str(uint32_t id) { return host_.LoadString(id); }

  TempRoot root_;
  std::string uiLog_ = root_.At("/ui.log");
  std::unique_ptr<FakePipeServer> service_;
  platform::FakeClock clock_;
  platform::ui::HeadlessHost host_;
  HookLog log_;
  ClientApp app_;
};

TEST_F(SmsAuth, WithoutALoginDialogOneIsMadeAndTheDialogOpensOverItAtOnce) {
  ASSERT_EQ(Login(), nullptr);
  Step(26);
  ASSERT_NE(Login(), nullptr);
  Dialog* d = Sms();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->owner(), Login());
  EXPECT_FALSE(d->IsEnabled(IDC_SMS_REAPPLY));
  EXPECT_FALSE(d->IsVisible(IDC_SMS_WRONG_CODE));
  EXPECT_FALSE(d->IsVisible(IDC_SMS_HELP_TEXT));
  EXPECT_EQ(d->Text(IDC_SMS_HELP_TOGGLE), ">>>");
  EXPECT_EQ(d->Limit(IDC_SMS_CODE), kSmsCodeChars);
  EXPECT_EQ(log_.Count("show-login"), 1);
}

TEST_F(SmsAuth, ReapplyCountsDownSixtySecondsThenAnotherRequestStartsItAgain) {
  Step(26);
  Dialog* d = Sms();
  ASSERT_NE(d, nullptr);
  host_.Advance(1000);
  EXPECT_EQ(d->Text(IDC_SMS_REAPPLY), "Reapply(59s)");
  EXPECT_FALSE(host_.Click(IDD_SMS_AUTH, IDC_SMS_REAPPLY));
  host_.Advance(59 * 1000);
  EXPECT_EQ(d->Text(IDC_SMS_REAPPLY), "Reapply(0s)");
  EXPECT_FALSE(d->IsEnabled(IDC_SMS_REAPPLY));
  host_.Advance(1000);
  EXPECT_EQ(d->Text(IDC_SMS_REAPPLY), "Reapply");
  EXPECT_TRUE(d->IsEnabled(IDC_SMS_REAPPLY));

  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, IDC_SMS_REAPPLY));
  EXPECT_EQ(Sent(VQ_SMS_AUTH_REQ), (std::vector<Bytes>{{VQ_SMS_AUTH_REQ}}));
  EXPECT_FALSE(d->IsEnabled(IDC_SMS_REAPPLY));
  EXPECT_FALSE(d->IsEnabled(platform::ui::IDOK)) << "no Verify while the request waits";
  Step(27);
  EXPECT_TRUE(d->IsVisible(IDC_SMS_WRONG_CODE));
  EXPECT_EQ(d->Text(IDC_SMS_WRONG_CODE), Str(503));
  EXPECT_TRUE(d->IsEnabled(platform::ui::IDOK));
  EXPECT_FALSE(d->IsEnabled(IDC_SMS_REAPPLY)) << "counting again";
  host_.Advance(1000);
  EXPECT_EQ(d->Text(IDC_SMS_REAPPLY), "Reapply(59s)");
  EXPECT_EQ(log_.Count("idle"), 0);
}

class SmsAuthChinese : public SmsAuth {
 protected:
  SmsAuthChinese() : SmsAuth(2052) {}
};

TEST_F(SmsAuthChinese, TheCountDownReadsInChinese) {
  Step(26);
  ASSERT_NE(Sms(), nullptr);
  host_.Advance(1000);
  EXPECT_EQ(Sms()->Text(IDC_SMS_REAPPLY), "重新申请（59秒）");
}

TEST_F(SmsAuth, VerifyWithAnEmptyCodeSendsNothing) {
  Step(26);
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  EXPECT_TRUE(Sms()->IsVisible(IDC_SMS_WRONG_CODE));
  EXPECT_EQ(Sms()->Text(IDC_SMS_WRONG_CODE), "Required field cannot be left blank!");
  EXPECT_EQ(Sms()->Focus(), IDC_SMS_CODE);
  EXPECT_TRUE(Sent(VQ_SMS_AUTH).empty());
}

// What each answer to a Verify or a Reapply does: closes the dialog (and with what), or
// keeps it with a text; the login dialog idle again; its password emptied.
struct AnswerCase {
  std::optional<uint32_t> step;  // nothing: no answer within 30 s
  std::optional<int> result;     // nothing: the dialog stays
  const char* text;              // the wrong-code line while it stays
  bool idle;
  bool passwordCleared;
};

// Each case is named and printed by its answer, so the test names stay the
// same from build to build (the text pointer is no part of them).
std::string AnswerName(const ::testing::TestParamInfo<AnswerCase>& info) {
  return info.param.step ? "Step" + std::to_string(*info.param.step) : "NoAnswer";
}
void PrintTo(const AnswerCase& c, std::ostream* out) {
  *out << (c.step ? "step " + std::to_string(*c.step) : std::string("no answer"));
}

class SmsVerify : public SmsAuth, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SmsVerify, TheAnswerDecidesTheDialog) {
  const AnswerCase& c = GetParam();
  Step(26);
  Login()->SetText(kLoginPassword, "secret");
  ASSERT_TRUE(host_.SetText(IDD_SMS_AUTH, IDC_SMS_CODE, "123456"));
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  const Bytes code{VQ_SMS_AUTH, '1', '2', '3', '4', '5', '6', 0};
  EXPECT_EQ(Sent(VQ_SMS_AUTH), std::vector<Bytes>{code});
  EXPECT_FALSE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK)) << "a second Verify while the first waits";
  if (c.step) {
    Step(*c.step);
  } else {
    host_.Advance(kSmsAnswerWaitMs);
  }
  if (c.result) {
    EXPECT_EQ(Sms(), nullptr);
    EXPECT_EQ(EndResult(), c.result);
  } else {
    ASSERT_NE(Sms(), nullptr);
    EXPECT_TRUE(Sms()->IsVisible(IDC_SMS_WRONG_CODE));
    EXPECT_EQ(Sms()->Text(IDC_SMS_WRONG_CODE), c.text);
    EXPECT_TRUE(Sms()->IsEnabled(platform::ui::IDOK));
  }
  EXPECT_EQ(log_.Count("idle"), c.idle ? 1 : 0);
  EXPECT_EQ(Login()->Text(kLoginPassword), c.passwordCleared ? "" : "secret");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SmsVerify,
    ::testing::Values(AnswerCase{25, 1, "", false, false},
                      AnswerCase{1028, std::nullopt, "There is wrong auth code,please re-enter!", false, false},
                      AnswerCase{1024, 1, "", true, true}, AnswerCase{1025, 1, "", true, true},
                      AnswerCase{1026, 1, "", true, true}, AnswerCase{1027, 1, "", true, true},
                      AnswerCase{4, 4, "", true, false},
                      AnswerCase{std::nullopt, std::nullopt, "Sms Auth timeout!", false, false}),
    AnswerName);

TEST_F(SmsAuth, AWrongCodeEmptiesTheEditForTheNextTry) {
  Step(26);
  ASSERT_TRUE(host_.SetText(IDD_SMS_AUTH, IDC_SMS_CODE, "000000"));
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  Step(1028);
  EXPECT_EQ(Sms()->Text(IDC_SMS_CODE), "");
  ASSERT_TRUE(host_.SetText(IDD_SMS_AUTH, IDC_SMS_CODE, "123456"));
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  Step(25);
  EXPECT_EQ(Sms(), nullptr);
  EXPECT_EQ(Sent(VQ_SMS_AUTH).size(), 2u);
}

TEST_F(SmsAuth, WithTheServiceAbsentVerifyShowsItsBoxAndWaitsForNothing) {
  Step(26);
  service_.reset();
  ASSERT_TRUE(host_.SetText(IDD_SMS_AUTH, IDC_SMS_CODE, "123456"));
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  host_.RunUntilIdle();
  ASSERT_EQ(host_.PendingBoxes().size(), 1u);
  EXPECT_EQ(host_.PendingBoxes()[0].text.text, "Cannot connect to the service");
  EXPECT_TRUE(Sms()->IsEnabled(platform::ui::IDOK)) << "another try at once";
  host_.Advance(kSmsAnswerWaitMs);
  EXPECT_FALSE(Sms()->IsVisible(IDC_SMS_WRONG_CODE)) << "no time-out for a code that was never sent";
}

class SmsReapply : public SmsAuth, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SmsReapply, TheAnswerDecidesTheDialog) {
  const AnswerCase& c = GetParam();
  OpenWithReapplyReady();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, IDC_SMS_REAPPLY));
  if (c.step) {
    Step(*c.step);
  } else {
    host_.Advance(kSmsAnswerWaitMs);
  }
  if (c.result) {
    EXPECT_EQ(Sms(), nullptr);
    EXPECT_EQ(EndResult(), c.result);
  } else {
    ASSERT_NE(Sms(), nullptr);
    EXPECT_EQ(Sms()->Text(IDC_SMS_WRONG_CODE), c.text);
    EXPECT_TRUE(Sms()->IsEnabled(platform::ui::IDOK));
  }
  EXPECT_EQ(log_.Count("idle"), c.idle ? 1 : 0);
  EXPECT_EQ(Login()->Text(kLoginPassword), c.passwordCleared ? "" : "secret");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SmsReapply,
    ::testing::Values(AnswerCase{27, std::nullopt, "Has reapplied auth code,please pay attention to your phone.", false,
                                  false},
                      AnswerCase{1025, kSmsReapplied, "", true, true}, AnswerCase{1027, kSmsReapplied, "", true, false},
                      AnswerCase{4, 4, "", true, false},
                      AnswerCase{std::nullopt, std::nullopt, "Sms Auth timeout!", false, false}),
    AnswerName);

TEST_F(SmsAuth, TheServiceGivingUpClosesTheDialog) {
  Step(26);
  Step(1030);
  EXPECT_EQ(Sms(), nullptr);
  EXPECT_EQ(EndResult(), 0);
  EXPECT_EQ(log_.Count("idle"), 1);
}

TEST_F(SmsAuth, CancelDisconnects) {
  Step(26);
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDCANCEL));
  EXPECT_EQ(Sms(), nullptr);
  EXPECT_EQ(EndResult(), kSmsCancelled);
  EXPECT_EQ(log_.Count("idle"), 1);
  EXPECT_EQ(Sent(VQ_CLOSE_CHANNEL), (std::vector<Bytes>{{VQ_CLOSE_CHANNEL}}));
}

TEST_F(SmsAuth, DisconnectFromTheTrayClosesTheDialog) {
  Step(26);
  ASSERT_NE(app_.Window(), nullptr);
  app_.Window()->OnCommand(ID_DISCONNECT);
  host_.RunUntilIdle();
  EXPECT_EQ(Sms(), nullptr);
}

TEST_F(SmsAuth, ASecondNoticeStartsTheOpenDialogAfresh) {
  Step(26);
  Dialog* d = Sms();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(host_.SetText(IDD_SMS_AUTH, IDC_SMS_CODE, "12"));
  ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, platform::ui::IDOK));
  host_.Advance(kSmsAnswerWaitMs);
  ASSERT_TRUE(d->IsVisible(IDC_SMS_WRONG_CODE));
  Step(26);
  EXPECT_EQ(Sms(), d) << "no second dialog";
  EXPECT_EQ(d->Text(IDC_SMS_CODE), "");
  EXPECT_FALSE(d->IsVisible(IDC_SMS_WRONG_CODE));
  host_.Advance(1000);
  EXPECT_EQ(d->Text(IDC_SMS_REAPPLY), "Reapply(59s)");
}

TEST_F(SmsAuth, TheHelpToggles) {
  Step(26);
  Dialog* d = Sms();
  for (int id : {IDC_SMS_HELP_TOGGLE, IDC_SMS_MORE_HELP}) {
    ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, id));
    EXPECT_TRUE(d->IsVisible(IDC_SMS_HELP_TEXT));
    EXPECT_EQ(d->Text(IDC_SMS_HELP_TOGGLE), "<<<");
    EXPECT_EQ(d->Text(IDC_SMS_MORE_HELP), "Less Help");
    ASSERT_TRUE(host_.Click(IDD_SMS_AUTH, id));
    EXPECT_FALSE(d->IsVisible(IDC_SMS_HELP_TEXT));
    EXPECT_EQ(d->Text(IDC_SMS_HELP_TOGGLE), ">>>");
    EXPECT_EQ(d->Text(IDC_SMS_MORE_HELP), "More Help");
  }
}

TEST_F(SmsAuth, StepsWithoutAnOpenDialogChangeNothing) {
  for (uint32_t step : {25u, 27u, 1028u, 1030u}) Step(step);
  EXPECT_EQ(Sms(), nullptr);
  EXPECT_EQ(Login(), nullptr);
  EXPECT_EQ(log_.Count("idle"), 0);
}

}  // namespace
