// The host check's own threads and connection:
//   - the cycle thread (HostCheckProc): sleeps the cycle on the clock, runs
//     the script, and only when its result changed reports it on a
//     connection of its own;
//   - the on-demand runs (GetVBSProc), one after the other on one owned
//     worker, each fetching and running the script the gateway announced;
//   - StopHostCheckCycle sets the cycle event (every wait and the running
//     script end), joins both threads and resets the event.
#include <system_error>

#include "Brindleway/common/constants.h"
#include "Brindleway/hostcheck/security_check.h"
#include "support/log.h"

namespace brindleway {

// A connection of the check's own, with its own dispatch.
struct CSecurityCheck::OwnLink {
  std::unique_ptr<CChannelSession> session;
  std::unique_ptr<MessageDispatch> dispatch;
};

std::unique_ptr<CSecurityCheck::OwnLink> CSecurityCheck::MakeOwnLink() {
  auto link = std::make_unique<OwnLink>();
  link->session = m_env.reports != nullptr ? std::make_unique<CChannelSession>(*m_env.reports)
                                           : std::make_unique<CChannelSession>();
  DispatchEnv env = m_env.dispatchEnv ? m_env.dispatchEnv() : DispatchEnv{};
  env.hostCheckDigest = [this](const std::array<uint8_t, 16>& digest) { OnHostCheckDigest(digest.data(), 0); };
  link->dispatch = std::make_unique<MessageDispatch>(*link->session, std::move(env));
  link->dispatch->Attach();
  link->session->SetRequestWaitMs(m_env.requestWaitMs);
  link->session->SetCancelEvent(&m_cycleEvent);
  return link;
}

int CSecurityCheck::CreateNewConnect(OwnLink& link) {
  LogPrint(LOG_DEBUG, "Call CSecurityCheck::CreateNewConnect\n");
  NewConnectEnv connect = m_env.connectEnv ? m_env.connectEnv() : NewConnectEnv{};
  // A check that can't reach the gateway waits for its next turn; the
  // channel itself is not torn down for it.
  connect.postToChannelThread = nullptr;
  if (SetupNewConnect(*link.session, 1, connect) != 0) {
    LogPrint(LOG_ERR, "CSecurityCheck::CreateNewConnect Failed \n");
    link.session->CloseChannel();
    return 0;
  }
  // The own connection speaks for the control channel's session.
  if (CChannelSession* control = m_pLink.load(); control != nullptr) {
    std::lock_guard<std::mutex> lock(control->RequestLock());
    link.session->m_dwSessionId = control->m_dwSessionId;
  }
  return 1;
}

int CSecurityCheck::DisConnect(OwnLink& link) {
  LogPrint(LOG_DEBUG, "Call CSecurityCheck::DisConnect\n");
  link.session->CloseChannel();
  return 1;
}

int CSecurityCheck::StartHostCheckCycle() {
  std::lock_guard<std::mutex> lock(m_threadLock);
  if (m_iCycle.load() == 0 || m_bStopping) return -1;
  if (m_cycleThread.joinable()) return 0;
  try {
    m_cycleThread = std::thread([this] { HostCheckProc(); });
  } catch (const std::system_error&) {
    LogPrint(LOG_ERR, "Create HostCheckProc thread failed\n");
    return -1;
  }
  return 0;
}

int CSecurityCheck::StopHostCheckCycle() {
  std::thread cycle;
  std::thread onDemand;
  {
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_bStopping = true;
    m_bOnDemandPending = false;
    cycle = std::move(m_cycleThread);
    onDemand = std::move(m_onDemandThread);
  }
  m_cycleEvent.Set();
  if (cycle.joinable()) cycle.join();
  if (onDemand.joinable()) onDemand.join();
  std::lock_guard<std::mutex> lock(m_threadLock);
  m_cycleEvent.Reset();
  m_bOnDemandRunning = false;
  m_bStopping = false;
  return 0;
}

void CSecurityCheck::HostCheckProc() {
  const int64_t periodMs = CheckCyclePeriodMs(m_iCycle.load());
  LogPrint(LOG_INFO, "HostCheckProc Start !\n");
  while (m_clock.SleepFor(periodMs, &m_cycleEvent)) {
    std::lock_guard<std::mutex> pass(m_passLock);
    if (m_cycleEvent.IsSet()) break;
    // A run that failed (killed, not started) leaves no result to report.
    const int ran = ProcessVBS();
    // A stop during the run: the killed script's result is no result.
    if (m_cycleEvent.IsSet()) break;
    if (ran != 0) continue;
    if (IsCheckResultChanged() == 0) continue;
    const std::unique_ptr<OwnLink> link = MakeOwnLink();
    if (CreateNewConnect(*link) == 0) {
      LogPrint(LOG_ERR, "HostCheckProc--CreateNewConnect Failed !\n");
      continue;
    }
    SendMD5Result(*link->session, 1, 1);
    if (SendCheckResult(*link->session) == 0) WaitHostCheckVerdict(*link->session);
    ReportHostCheckError();
    DisConnect(*link);
  }
  LogPrint(LOG_INFO, "HostCheckProc End !\n");
}

void CSecurityCheck::RequestOnDemandRun() {
  std::lock_guard<std::mutex> lock(m_threadLock);
  if (m_bStopping) return;
  m_bOnDemandPending = true;
  if (m_bOnDemandRunning) return;
  // The previous worker has said it is done; it only has to return.
  if (m_onDemandThread.joinable()) m_onDemandThread.join();
  try {
    m_onDemandThread = std::thread([this] { OnDemandLoop(); });
    m_bOnDemandRunning = true;
  } catch (const std::system_error&) {
    LogPrint(LOG_ERR, "Create _MD5CheckThread failed\n");
    m_bOnDemandPending = false;
  }
}

void CSecurityCheck::OnDemandLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_threadLock);
      if (!m_bOnDemandPending || m_bStopping) {
        m_bOnDemandRunning = false;
        return;
      }
      m_bOnDemandPending = false;
    }
    GetVBSProc();
  }
}

int CSecurityCheck::GetVBSProc() {
  LogPrint(LOG_INFO, "GetVBSProc Work Thread begin !\n");
  std::lock_guard<std::mutex> pass(m_passLock);
  if (m_cycleEvent.IsSet()) return -1;
  const std::unique_ptr<OwnLink> link = MakeOwnLink();
  if (CreateNewConnect(*link) == 0) {
    LogPrint(LOG_ERR, "GetVBSProc-CreateNewConnect fail !\n");
    return -1;
  }
  CChannelSession& session = *link->session;
  session.m_iState = NEG_STATE_HOST_CHECK_DIGEST;
  const int loaded = LoadVBSFromServer(session, AnnouncedDigest(), 1);
  if (loaded == 0) session.m_iState = CHANNEL_NEGOTIATION_CONNECTED;
  ProcessVBS();
  if (!m_cycleEvent.IsSet() && SendCheckResult(session) == 0) WaitHostCheckVerdict(session);
  DisConnect(*link);
  return loaded;
}

}  // namespace brindleway
