// The host check inside the channel set-up, against the test gateway: the
// digest answer with and without a download, the script run with the
// interpreter's arguments, the result and the verdict, the error report, and what
// is kept when the script can't be fetched or run.
#include "Brindleway/hostcheck/security_check.h"

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <string>

#include "Brindleway/channel/channel_session.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/fixed_network.h"
#include "Brindleway/hostcheck/host_check_fixture.h"
#include "Brindleway/hostcheck/host_check_setup.h"
#include "Brindleway/password_login.h"
#include "common/eventually.h"
#include "common/run_as_user.h"
#include "gateway/negotiation_script.h"

namespace brindleway {
namespace {

using vqgw::Bytes;
using vqgw::HostCheckPlay;

// The UTF-16LE the interpreter gets for an ASCII script.
std::string Utf16(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

constexpr const char* kArgv = "SecurityCheck.vbs|SecurityCheckResult.data|SecurityCheckLog.txt|//e:vbs|\n";

class SecurityCheckSetUpTest : public HostCheckFixture {
 protected:
  void TearDown() override {
    if (check_) check_->StopHostCheckCycle();
    session_.reset();
    esp_sa_cleanup();
    HostCheckFixture::TearDown();
  }

  // One set-up against a gateway that announces `announced` (cycle 7) and
  // plays `play`; the check lives on across set-ups.
  int Open(const HostCheckPlay& play, const vqgw::Digest& announced, bool clientHasScript) {
    vqgw::NegotiationOptions options;
    options.insertBefore[vqgw::Step::SetIp] = play.SetUpActions(announced, 7, clientHasScript);
    return OpenWith(std::move(options));
  }
  int OpenWith(vqgw::NegotiationOptions options) {
    session_.reset();
    vqgw::GatewayOptions gateway;
    gateway.script = vqgw::HappyPathScript(options);
    gateway_ = std::make_unique<vqgw::TlsGateway>(std::move(gateway));
    if (!check_) check_ = std::make_unique<CSecurityCheck>(Env());

    SessionParts parts;
    parts.startTunnel = [](CChannelSession&) { return 0; };
    parts.stopTunnel = [](CChannelSession& s) {
      s.m_iState = NEG_STATE_NONE;
      s.CloseChannel();
    };
    AttachHostCheck(parts, *check_, {});
    session_ = std::make_unique<ChannelSession>(ChannelSessionEnv{
        ctx_, gui_,
        [this] {
          ++closes_;
          session_->CloseChannelSequence();
          check_->StopHostCheckCycle();
          return 0;
        },
        [](uint32_t, uint32_t) {}, parts, network_.View()});
    session_->SetRequestWaitMs(3000);
    return session_->SetupChannel(PasswordLogin("127.0.0.1", gateway_->Port()), 0, 0, cancel_);
  }

  ChannelContext ctx_;
  FixedNetwork network_;
  platform::Event cancel_{platform::Event::Reset::Manual};
  std::unique_ptr<ChannelSession> session_;
  int closes_ = 0;
};

TEST_F(SecurityCheckSetUpTest, TheScriptIsFetchedOnlyWhenOursIsNotTheAnnouncedOne) {
  const std::string script = Script("argv\nresult ok\n");
  const Bytes current = File(script);
  const struct {
    const char* name;
    bool planted;
    Bytes planting;
  } cases[] = {
      {"same digest", true, current},
      {"other script", true, File(Script("result old\n"))},
      {"no script yet", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_.reset();
    check_.reset();
    std::remove(At(kScriptDataFile).c_str());
    std::remove(runs_.c_str());
    if (c.planted) Plant(c.planting);
    const bool same = c.planted && c.planting == current;

    HostCheckPlay play(PlayOptions(current, 0, 100));
    ASSERT_EQ(Open(play, vqgw::Md5(current), same), 0);
    EXPECT_EQ(closes_, 0);
    EXPECT_EQ(check_->CheckCycle(), 7);

    const std::vector<vqgw::HostCheckExchange> exchanges = play.Exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    const vqgw::HostCheckExchange& e = exchanges[0];
    EXPECT_EQ(e.answerType, vqgw::kMsgHostCheck);
    EXPECT_EQ(e.answerPayloads, std::vector<uint16_t>{112});
    EXPECT_EQ(e.same, same ? 1u : 0u);
    EXPECT_EQ(e.scriptSent, !same);
    EXPECT_EQ(e.stored, same ? std::nullopt : std::optional<uint32_t>(1));

    // What is stored and run is exactly the announced script.
    const std::string stored = vqtest::ReadFileBytes(At(kScriptDataFile));
    EXPECT_EQ(vqgw::Md5(Bytes(stored.begin(), stored.end())), vqgw::Md5(current));
    EXPECT_EQ(vqtest::ReadFileBytes(At(kScriptFile)), Utf16(script));
    EXPECT_EQ(Runs(), 1);
    EXPECT_EQ(std::string(e.result.begin(), e.result.end()), std::string(kArgv) + "ok\n");
    EXPECT_EQ(e.resultTotal, e.result.size());
    EXPECT_TRUE(e.verdictSent);
    // The gateway has this result: the cycle stays quiet until it changes.
    EXPECT_EQ(check_->IsCheckResultChanged(), 0);
  }
}

TEST_F(SecurityCheckSetUpTest, TheDigestRequestSaysWhetherTheGatewayWantsACheck) {
  auto logged = [](const char* text) { return vqtest::ReadLogText().find(text) != std::string::npos; };
  {
    SCOPED_TRACE("gateway announces a script");
    const Bytes file = File(Script("result ok\n"));
    Plant(file);
    HostCheckPlay play(PlayOptions(file));
    ASSERT_EQ(Open(play, vqgw::Md5(file), true), 0);
    EXPECT_TRUE(logged("Get VBS MD5 begin!"));
    EXPECT_TRUE(logged("Get VBS MD5 Success!"));
    EXPECT_FALSE(logged("Do not need to get VBS MD5!"));
  }
  {
    SCOPED_TRACE("gateway sends its parameters instead");
    const int runsBefore = Runs();
    ASSERT_EQ(OpenWith({}), 0);
    EXPECT_TRUE(logged("Do not need to get VBS MD5!"));
    EXPECT_EQ(Runs(), runsBefore);
  }
}

TEST_F(SecurityCheckSetUpTest, AFailedVerdictOrScriptEndsTheSetUp) {
  const struct {
    const char* name;
    std::string body;
    int32_t verdict;
    int code;
    bool resultSent;
    std::vector<uint32_t> reported;
  } cases[] = {
      {"gateway refuses", "result bad\n", vqgw::kStatusHostCheckFailed, VQ_ERR_HOST_CHECK_FAILED, true,
       {VQ_ERR_HOST_CHECK_FAILED}},
      // The failed run is the client's own: the set-up ends without an event.
      {"script fails", "result partial\nexit 3\n", 0, -1, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_.reset();
    check_.reset();
    closes_ = 0;
    gui_.Clear();
    const Bytes file = File(Script(c.body));
    Plant(file);
    HostCheckPlay play(PlayOptions(file, c.verdict));
    EXPECT_EQ(Open(play, vqgw::Md5(file), true), c.code);
    EXPECT_EQ(closes_, 1);
    EXPECT_EQ(gui_.Events(), c.reported);
    ASSERT_EQ(play.Exchanges().size(), 1u);
    EXPECT_EQ(play.Exchanges()[0].resultTotal.has_value(), c.resultSent);
  }
}

TEST_F(SecurityCheckSetUpTest, ACloseDuringTheScriptEndsTheRunAtOnce) {
  // The script would run for a minute; the close must not wait for it.
  const Bytes file = File(Script("result partial\nsleep 60000\n"));
  Plant(file);
  HostCheckPlay play(PlayOptions(file, 0));
  auto setUp = std::async(std::launch::async, [&] { return Open(play, vqgw::Md5(file), true); });
  ASSERT_TRUE(vqtest::Eventually([&] { return Runs() == 1; }));
  cancel_.Set();
  ASSERT_EQ(setUp.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_NE(setUp.get(), 0);
  // Nothing of the killed run went to the gateway.
  ASSERT_EQ(play.Exchanges().size(), 1u);
  EXPECT_FALSE(play.Exchanges()[0].resultTotal.has_value());
}

TEST_F(SecurityCheckSetUpTest, TheErrorTextOfThisRunIsReportedNeverAStaleOne) {
  for (const bool writesError : {true, false}) {
    SCOPED_TRACE(writesError ? "script writes an error" : "stale error file only");
    session_.reset();
    check_.reset();
    errorReports_ = 0;
    vqtest::WriteFileBytes(At(kHostCheckErrorFile), "error of an earlier run");
    const Bytes file = File(Script(writesError ? "error Please enable the firewall\nresult ok\n" : "result ok\n"));
    Plant(file);
    HostCheckPlay play(PlayOptions(file));
    ASSERT_EQ(Open(play, vqgw::Md5(file), true), 0);
    EXPECT_EQ(errorReports_.load(), writesError ? 1 : 0);
  }
}

TEST_F(SecurityCheckSetUpTest, AScriptThatIsNotTheAnnouncedOneIsRefusedAndOursKept) {
  const Bytes ours = File(Script("result ours\n"));
  Plant(ours);
  const Bytes announcedScript = File(Script("result announced\n"));
  // The gateway sends other bytes than the ones it announced.
  HostCheckPlay play(PlayOptions(File(Script("result forged\n"))));
  ASSERT_EQ(Open(play, vqgw::Md5(announcedScript), false), 0);
  ASSERT_EQ(play.Exchanges().size(), 1u);
  const vqgw::HostCheckExchange e = play.Exchanges()[0];
  EXPECT_EQ(e.stored, 0u);
  const std::string kept = vqtest::ReadFileBytes(At(kScriptDataFile));
  EXPECT_EQ(Bytes(kept.begin(), kept.end()), ours);
  EXPECT_EQ(std::string(e.result.begin(), e.result.end()), "ours\n");
}

TEST_F(SecurityCheckSetUpTest, ALostScriptFileIsFetchedAgain) {
  const Bytes file = File(Script("result ok\n"));
  HostCheckPlay first(PlayOptions(file));
  ASSERT_EQ(Open(first, vqgw::Md5(file), false), 0);
  ASSERT_EQ(first.Exchanges().at(0).stored, 1u);

  // The file is gone; the digest of the earlier download must not stand in for it.
  ASSERT_EQ(std::remove(At(kScriptDataFile).c_str()), 0);
  HostCheckPlay second(PlayOptions(file));
  ASSERT_EQ(Open(second, vqgw::Md5(file), false), 0);
  ASSERT_EQ(second.Exchanges().size(), 1u);
  EXPECT_EQ(second.Exchanges()[0].same, 0u);
  EXPECT_EQ(second.Exchanges()[0].stored, 1u);
  EXPECT_EQ(Runs(), 2);
}

// Gone, or a zombie no one reaps (an orphan in a container without init).
bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  const std::string stat = vqtest::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST_F(HostCheckFixture, ARunEndsWithTheScriptAndEverythingItStarted) {
  const struct {
    const char* name;
    std::string script;
    int result;
    bool spawns;
    int limitMs;
  } cases[] = {
      // A script that ends has all the time a loaded machine may need.
      {"exit 0", "result ok\nexit 0\n", 0, false, 60000},
      {"exit 3", "result ok\nexit 3\n", -1, false, 60000},
      {"over time", "spawn-sleep 60000\nsleep 60000\n", -1, true, 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SecurityCheckEnv env = Env();
    env.scriptLimitMs = c.limitMs;
    check_ = std::make_unique<CSecurityCheck>(std::move(env));
    Plant(File(c.script));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(check_->ProcessVBS(), c.result);
    EXPECT_LT(vqtest::MsSince(started), 10000);
    const std::string result = vqtest::ReadFileBytes(At(kCheckResultFile));
    // Whatever the script started is gone before anyone reads its files.
    if (c.spawns) {
      ASSERT_EQ(result.rfind("child=", 0), 0u) << result;
      EXPECT_TRUE(vqtest::Eventually([&] { return ProcessGone(std::stoi(result.substr(6))); }));
    }
  }
}

// The desktop user writes the files made for it and nothing else; a folder
// that user could change is not used.
TEST_F(HostCheckFixture, TheScriptRunsAsTheDesktopUserInAGuardedFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "running the script as another user needs root";
  SecurityCheckEnv env = Env();
  env.desktopUser = [] { return std::optional<uid_t>(vqtest::kNobodyUid); };
  check_ = std::make_unique<CSecurityCheck>(std::move(env));
  Plant(File("identity\nresult ok\nlog ran\nerror Please update\n"));
  ASSERT_EQ(check_->ProcessVBS(), 0);
  const std::string id = std::to_string(vqtest::kNobodyUid);
  EXPECT_EQ(vqtest::ReadFileBytes(At(kCheckResultFile)).rfind("uid=" + id + " euid=" + id, 0), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(At(kCheckLogFile)), "ran\n");
  EXPECT_EQ(check_->ReportHostCheckError(), 0);
  EXPECT_EQ(errorReports_.load(), 1);

  ASSERT_EQ(::chmod(folder_.c_str(), 0777), 0);
  EXPECT_EQ(check_->ProcessVBS(), -1);
}

TEST(CheckCyclePeriod, AtLeastFiveMinutesAndNeverAnOverflow) {
  const struct {
    int32_t minutes;
    int64_t ms;
  } cases[] = {
      {1, 300000},
      {2, 300000},
      {-1, 300000},
      {5, 300000},
      {60, 3600000},
      {71582, 4294920000},
      {71583, kMaxCheckCycleMs},
      {INT32_MAX, kMaxCheckCycleMs},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckCyclePeriodMs(c.minutes), c.ms) << c.minutes;
}

}  // namespace
}  // namespace brindleway
