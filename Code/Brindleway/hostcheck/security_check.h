// CSecurityCheck: the host security check the gateway demands. The gateway
// supplies a script (identified by its MD5 digest); the client keeps it
// up to date, runs it as the desktop user and reports its result.
//
// In the set-up, on the control channel, after the gateway's digest
// (RunSetupCheck):
//   1. LoadVBSFromServer: answer whether our script is current; fetch the
//      new one when it is not
//   2. ProcessVBS: unpack it, run it (at most 5 minutes)
//   3. SendCheckResult; when sent, WaitHostCheckVerdict; ReportHostCheckError
// On a cycle while the channel is up (HostCheckProc), every max(cycle, 5)
// minutes: ProcessVBS; only when the result changed: a connection of its
// own, digest answer 1, result, verdict, error report, close.
// On demand when a keep-alive announces a new digest (GetVBSProc): a
// connection of its own, fetch, run, result, verdict, close.
//
// Only one pass (set-up, cycle or on-demand) runs at a time: they share the
// files and the own connection. The cycle thread and the on-demand runs are
// owned here and joined by StopHostCheckCycle and the destructor.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/control/control_channel.h"
#include "Brindleway/control/message_dispatch.h"
#include "Brindleway/control/negotiation_requests.h"
#include "Brindleway/hostcheck/host_check_files.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace brindleway {

// The script's time.
inline constexpr int kScriptRunLimitMs = 300000;
// The shortest cycle.
inline constexpr int32_t kMinCheckCycleMinutes = 5;
// The longest finite wait a cycle may ask for.
inline constexpr int64_t kMaxCheckCycleMs = 0xFFFFFFFELL;
// The largest result the service reads and sends.
inline constexpr size_t kMaxCheckResultBytes = 1u << 20;
// The interpreter the system starts as "wscript.exe": a REG_SZ value of the
// settings key, /bin/sh when absent.
inline constexpr char kScriptInterpreterValue[] = "ScriptInterpreter";
inline constexpr char kDefaultScriptInterpreter[] = "/bin/sh";

// Check states (values outside 0..3 are stored as 0).
inline constexpr int CHECK_STATE_IDLE = 0;
inline constexpr int CHECK_STATE_LOADING = 1;
inline constexpr int CHECK_STATE_RUNNING = 2;

// The cycle's wait in milliseconds: at least 5 minutes, at most the
// longest finite wait.
int64_t CheckCyclePeriodMs(int32_t minutes);

struct SecurityCheckEnv {
  // The folder of the host-check files ("": the program's folder).
  std::string folder;
  // The own connection: where it goes (the current connection record) and
  // what its dispatch reaches. Its failures are never posted as channel
  // errors: the check only waits for its next turn.
  std::function<NewConnectEnv()> connectEnv;
  std::function<DispatchEnv()> dispatchEnv;
  // Texts of the own connection's dispatch (null: the client application's pipe).
  GuiReports* reports = nullptr;
  int64_t requestWaitMs = kRequestWaitMs;
  // The cycle's clock (null: the system's).
  platform::Clock* clock = nullptr;
  // Who the script runs as (null: the desktop user of the process layer).
  std::function<std::optional<uid_t>()> desktopUser;
  // Tells the client application that the script left an error text
  // (null: VQ_NOTIFY_HOST_CHECK_FAILED as a 500 ms transaction).
  std::function<void()> notifyHostCheckFailed;
  int scriptLimitMs = kScriptRunLimitMs;
};

class CSecurityCheck {
 public:
  explicit CSecurityCheck(SecurityCheckEnv env = {});
  ~CSecurityCheck();
  CSecurityCheck(const CSecurityCheck&) = delete;
  CSecurityCheck& operator=(const CSecurityCheck&) = delete;

  void SetCheckCycle(int32_t minutes) { m_iCycle.store(minutes); }
  int32_t CheckCycle() const { return m_iCycle.load(); }
  // The control channel whose session the own connection speaks for;
  // null is ignored.
  void SetCheckLink(CChannelSession* session);

  // 0, or -1 when the cycle length is 0 or the thread can't start. A
  // running cycle is kept.
  int StartHostCheckCycle();
  // Ends the cycle and every on-demand run (a running script is killed)
  // and waits for them. 0.
  int StopHostCheckCycle();
  // The gateway's digest; a changed one is stored, and with start 1 one
  // on-demand run fetches and runs it. -1 for a null digest, else 0.
  int OnHostCheckDigest(const uint8_t* digest, int start);

  // Asks the gateway on link for the script's digest and copies it to
  // digest (16 bytes): 0, 1031 when the gateway needs no host check, the
  // wait's failure, or -1 for a null digest.
  int GetVBSMD5(CChannelSession& link, uint8_t* digest);

  // The set-up's check on the control channel once the digest is in
  // (session.m_hostCheckDigest, m_dwHostCheckCycle): 0 to go on, -1 when
  // the script could not run (scriptFailed), or the gateway's verdict.
  int RunSetupCheck(CChannelSession& channel, bool* scriptFailed = nullptr);

  // The steps, on link (the control channel, or with ownLink 1 the check's
  // own connection).
  // 0, or -1 (busy, or the new script could not be received or stored).
  int LoadVBSFromServer(CChannelSession& link, const Md5Digest& announced, int ownLink);
  // 0 when written.
  int SendMD5Result(CChannelSession& link, int same, int ownLink);
  // 0, or -1 when busy, the script can't be unpacked or its run fails.
  // stop ends the run early (null: the cycle's stop).
  int ProcessVBS(int unused = 0, const platform::Event* stop = nullptr);
  // The script's exit code, or -1 (not run, killed at the time limit or on
  // stop; null: the cycle's stop).
  int RunScriptAsUser(const char* script, const std::vector<std::string>& arguments,
                      const platform::Event* stop = nullptr);
  // 0 when the whole result went out.
  int SendCheckResult(CChannelSession& link);
  // 0 (passed) or the gateway's code (1012 host check failed, ...).
  int WaitHostCheckVerdict(CChannelSession& link);
  // 1 when the result's digest differs from the last one reported.
  int IsCheckResultChanged();
  // Tells the client application when the script left an error text. 0.
  int ReportHostCheckError();

  int CheckState() const;
  Md5Digest AnnouncedDigest() const;

 private:
  struct OwnLink;

  // Test-and-set of the check state in one locked step.
  bool EnterState(int state);
  void LeaveState();
  // Takes the received script when its digest is the announced one.
  bool StoreScript(const std::vector<uint8_t>& bytes, const Md5Digest& announced);
  int Unpack();
  int RunSecurityScript(const platform::Event* stop);

  std::unique_ptr<OwnLink> MakeOwnLink();
  // 1 when connected, 0 otherwise.
  int CreateNewConnect(OwnLink& link);
  int DisConnect(OwnLink& link);
  void HostCheckProc();
  int GetVBSProc();
  void OnDemandLoop();
  void RequestOnDemandRun();

  SecurityCheckEnv m_env;
  HostCheckFolder m_folder;
  platform::Clock& m_clock;

  // Guards the state, the last reported result's digest and the announced
  // digest.
  mutable std::mutex m_lock;
  int m_iCheckState = CHECK_STATE_IDLE;
  std::optional<Md5Digest> m_lastResultDigest;
  Md5Digest m_announcedDigest{};
  std::atomic<int32_t> m_iCycle{0};
  std::atomic<CChannelSession*> m_pLink{nullptr};

  // One pass at a time.
  std::mutex m_passLock;

  // "VBSCheckCycleTime": set, it ends the cycle, the on-demand runs and
  // every wait of their passes.
  platform::Event m_cycleEvent{platform::Event::Reset::Manual};
  std::mutex m_threadLock;
  std::thread m_cycleThread;
  std::thread m_onDemandThread;
  bool m_bOnDemandRunning = false;
  bool m_bOnDemandPending = false;
  bool m_bStopping = false;
};

}  // namespace brindleway
