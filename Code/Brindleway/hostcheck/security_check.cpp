#include "Brindleway/hostcheck/security_check.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/hostcheck/host_check_messages.h"
#include "Brindleway/hostcheck/host_check_unpack.h"
#include "platform/paths/paths.h"
#include "platform/process/desktop_user.h"
#include "platform/process/script_runner.h"
#include "platform/process/user_context.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace brindleway {
namespace {

// Capacity for the interpreter's path, as the other settings texts.
constexpr uint32_t kInterpreterCapacity = 260;

std::string ScriptInterpreter() {
  std::string value;
  uint32_t size = kInterpreterCapacity;
  if (RegReadProductValue(kScriptInterpreterValue, value, size) == 0 && !value.empty()) return value;
  return kDefaultScriptInterpreter;
}

}  // namespace

int64_t CheckCyclePeriodMs(int32_t minutes) {
  const int64_t ms = static_cast<int64_t>(std::max(minutes, kMinCheckCycleMinutes)) * 60000;
  return std::min(ms, kMaxCheckCycleMs);
}

CSecurityCheck::CSecurityCheck(SecurityCheckEnv env)
    : m_env(std::move(env)),
      m_folder(m_env.folder.empty() ? platform::paths::ModuleDir() : m_env.folder),
      m_clock(m_env.clock != nullptr ? *m_env.clock : platform::SystemClock()) {}

CSecurityCheck::~CSecurityCheck() { StopHostCheckCycle(); }

void CSecurityCheck::SetCheckLink(CChannelSession* session) {
  if (session != nullptr) m_pLink.store(session);
}

bool CSecurityCheck::EnterState(int state) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_iCheckState != CHECK_STATE_IDLE) return false;
  m_iCheckState = state;
  return true;
}

void CSecurityCheck::LeaveState() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_iCheckState = CHECK_STATE_IDLE;
}

int CSecurityCheck::CheckState() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_iCheckState;
}

Md5Digest CSecurityCheck::AnnouncedDigest() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_announcedDigest;
}

int CSecurityCheck::OnHostCheckDigest(const uint8_t* digest, int start) {
  if (digest == nullptr) return -1;
  Md5Digest announced{};
  std::copy(digest, digest + announced.size(), announced.begin());
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (announced != m_announcedDigest) {
      m_announcedDigest = announced;
      changed = true;
    }
  }
  if (changed && start == 1) RequestOnDemandRun();
  return 0;
}

int CSecurityCheck::GetVBSMD5(CChannelSession& link, uint8_t* digest) {
  if (digest == nullptr) return -1;
  LogPrint(LOG_INFO, "Get VBS MD5 begin!\n");
  const int result = WaitHostCheckDigest(link);
  if (result == 0) {
    std::memcpy(digest, link.m_hostCheckDigest.data(), link.m_hostCheckDigest.size());
    LogPrint(LOG_INFO, "Get VBS MD5 Success!");
  } else if (result == VQ_ERR_HOST_CHECK_SKIPPED) {
    LogPrint(LOG_INFO, "Do not need to get VBS MD5!");
  } else {
    LogPrint(LOG_ERR, "Get VBS MD5 Error! nResult = %d\n", result);
  }
  return result;
}

int CSecurityCheck::RunSetupCheck(CChannelSession& channel, bool* scriptFailed) {
  std::lock_guard<std::mutex> pass(m_passLock);
  if (scriptFailed) *scriptFailed = false;
  OnHostCheckDigest(channel.m_hostCheckDigest.data(), 0);
  SetCheckCycle(static_cast<int32_t>(channel.m_dwHostCheckCycle));
  // A script that could not be fetched leaves the one we have; the run
  // and the gateway's verdict decide.
  LoadVBSFromServer(channel, AnnouncedDigest(), 0);
  // A close during the set-up ends the run at once, not after the script's
  // five minutes.
  if (channel.Cancelled()) return -1;
  if (const int r = ProcessVBS(0, channel.CancelEvent()); r != 0) {
    LogPrint(LOG_ERR, "ProcessVBS failed\n");
    if (scriptFailed) *scriptFailed = true;
    return r;
  }
  if (SendCheckResult(channel) != 0) {
    ReportHostCheckError();
    return 0;
  }
  const int verdict = WaitHostCheckVerdict(channel);
  if (verdict == 0) ReportHostCheckError();
  return verdict;
}

int CSecurityCheck::LoadVBSFromServer(CChannelSession& link, const Md5Digest& announced, int ownLink) {
  if (!EnterState(CHECK_STATE_LOADING)) return -1;
  struct Idle {
    CSecurityCheck& check;
    ~Idle() { check.LeaveState(); }
  } idle{*this};

  // Our digest is taken afresh every time; one that can't be computed
  // matches nothing, so a missing or unreadable file is fetched again.
  const std::optional<Md5Digest> local = m_folder.Md5(kScriptDataFile, kMaxHostCheckScriptBytes);
  if (!local) LogPrint(LOG_ERR, "Can't Get Pre MD5 of VBS data file !\n");
  LogPrint(LOG_INFO, " LoadVBSFromServer begin  \n");
  const bool same = local && *local == announced;
  if (same) LogPrint(LOG_INFO, " VBD file is same local!\n");
  SendMD5Result(link, same ? 1 : 0, ownLink);
  if (same) return 0;

  const int received =
      ReceiveHostCheckScript(link, [&] { return StoreScript(link.m_hostCheckScript, announced); });
  // The file holds it now.
  std::vector<uint8_t>().swap(link.m_hostCheckScript);
  return received == 0 ? 0 : -1;
}

bool CSecurityCheck::StoreScript(const std::vector<uint8_t>& bytes, const Md5Digest& announced) {
  // Only the script the gateway announced replaces the one we have.
  const std::optional<Md5Digest> digest = Md5OfBytes(bytes);
  if (!digest || *digest != announced) {
    LogPrint(LOG_ERR, "The received %s is not the script the gateway announced\n", kScriptDataFile);
    return false;
  }
  const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!m_folder.Replace(kScriptDataFile, data, 0600, kScriptDataTempFile)) {
    LogPrint(LOG_ERR, "The file %s was not opened dErro =%d\n", kScriptDataFile, errno);
    return false;
  }
  return true;
}

int CSecurityCheck::SendMD5Result(CChannelSession& link, int same, int ownLink) {
  const std::optional<WireBytes> message = BuildDigestAnswer(static_cast<uint32_t>(same), ownLink != 0,
                                                             link.m_dwSessionId);
  if (!message) return VQ_ERR_SEND;
  DebugTrace(TRACE_SETUP, "SendMD5Result nReultMD5=%d\n", same);
  const int result = SendChannelData(link, message->data(), message->size());
  if (ownLink != 0) link.m_iState = NEG_STATE_HOST_CHECK_DIGEST;
  return result;
}

int CSecurityCheck::ProcessVBS(int /*unused*/, const platform::Event* stop) {
  LogPrint(LOG_INFO, "ProcessVBS Begin \n");
  if (!EnterState(CHECK_STATE_RUNNING)) return -1;
  const int unpacked = Unpack();
  LeaveState();
  if (unpacked != 0) return -1;
  return RunSecurityScript(stop) == -1 ? -1 : 0;
}

int CSecurityCheck::Unpack() {
  const platform::UniqueFd data = m_folder.OpenRead(kScriptDataFile);
  if (!data.valid()) {
    LogPrint(LOG_ERR, "The file %s was not opened\n", kScriptDataFile);
    return -1;
  }
  const std::optional<std::string> text = UnpackScript(data.get());
  if (!text) {
    LogPrint(LOG_ERR, "Unpack %s failed\n", kScriptDataFile);
    return -1;
  }
  if (!m_folder.Replace(kScriptFile, *text, 0644, kUnzipTempFile)) {
    LogPrint(LOG_ERR, "Replace Old VBS File= %s  failed ,Error= \n", kScriptFile);
    return -1;
  }
  return 0;
}

int CSecurityCheck::RunSecurityScript(const platform::Event* stop) {
  return RunScriptAsUser(kScriptFile, {kCheckResultFile, kCheckLogFile}, stop) != 0 ? -1 : 0;
}

int CSecurityCheck::RunScriptAsUser(const char* script, const std::vector<std::string>& arguments,
                                    const platform::Event* stop) {
  if (script == nullptr || !m_folder.OpenRead(script).valid()) {
    LogPrint(LOG_ERR, "The file %s was not opened\n", script != nullptr ? script : "");
    return -1;
  }
  const std::optional<uid_t> uid =
      m_env.desktopUser ? m_env.desktopUser() : platform::process::FindDesktopUser();
  const std::optional<platform::process::UserContext> user =
      uid ? platform::process::LookupUser(*uid) : std::nullopt;
  if (!user) {
    LogPrint(LOG_ERR, "No desktop user to run %s\n", script);
    return -1;
  }
  // The script's user may write only the files made for it, in a folder it
  // can't change: what the service reads back can't be a planted link.
  if (user->uid != ::geteuid() && !m_folder.IsGuarded()) {
    LogPrint(LOG_ERR, "The folder %s is open to other users\n", m_folder.Path());
    return -1;
  }
  for (const char* name : {kHostCheckErrorFile, kCheckResultFile, kCheckLogFile}) {
    if (!m_folder.CreateFor(name, user->uid, user->gid)) {
      LogPrint(LOG_ERR, "Create file %s  failed\n", name);
      return -1;
    }
  }

  platform::process::ScriptCommand command;
  command.program = ScriptInterpreter();
  command.arguments.push_back(script);
  command.arguments.insert(command.arguments.end(), arguments.begin(), arguments.end());
  command.arguments.push_back("//e:vbs");
  command.workDir = m_folder.Path();
  const platform::process::ScriptOutcome outcome =
      platform::process::RunScriptAs(command, *user, m_env.scriptLimitMs, stop != nullptr ? stop : &m_cycleEvent);
  switch (outcome.end) {
    case platform::process::ScriptEnd::Exited:
      return outcome.exitCode;
    case platform::process::ScriptEnd::TimedOut:
      LogPrint(LOG_ERR, "Security check script timed out after %d ms\n", m_env.scriptLimitMs);
      return -1;
    case platform::process::ScriptEnd::NotStarted:
      LogPrint(LOG_ERR, "Can't run %s with %s: %s\n", script, command.program, outcome.failure);
      return -1;
    case platform::process::ScriptEnd::Signalled:
    case platform::process::ScriptEnd::Cancelled:
      // A stop says nothing; a failure of the wait itself does.
      if (!outcome.failure.empty()) LogPrint(LOG_ERR, "Running %s failed: %s\n", script, outcome.failure);
      break;
  }
  return -1;
}

int CSecurityCheck::SendCheckResult(CChannelSession& link) {
  LogPrint(LOG_INFO, "Send Check Result begin\n");
  std::optional<std::string> result;
  if (m_folder.OpenRead(kCheckResultFile).valid()) {
    result = m_folder.Read(kCheckResultFile, kMaxCheckResultBytes);
    if (!result) {
      LogPrint(LOG_ERR, "%s is larger than %d bytes\n", kCheckResultFile, kMaxCheckResultBytes);
      return -1;
    }
  }
  const std::string bytes = result.value_or(std::string());
  const std::optional<std::vector<WireBytes>> messages = BuildCheckResultMessages(bytes);
  if (!messages) return VQ_ERR_SEND;
  for (size_t i = 0; i < messages->size(); ++i) {
    const WireBytes& message = (*messages)[i];
    if (const int r = SendChannelData(link, message.data(), message.size()); r != 0) return r;
    if (i > 0) LogPrint(LOG_DEBUG, "has Send count =%d\n", i);
  }
  if (bytes.empty()) LogPrint(LOG_INFO, "No Content Check Result \n");
  LogPrint(LOG_INFO, "Send Host Check Result End\n");
  // What the gateway now knows: the cycle reports again only when it changes.
  const std::optional<Md5Digest> sent =
      Md5OfBytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  std::lock_guard<std::mutex> lock(m_lock);
  m_lastResultDigest = sent;
  return 0;
}

int CSecurityCheck::WaitHostCheckVerdict(CChannelSession& link) {
  link.SetAwaitFlags(CChannelSession::kResponseAwaited, 0);
  const int verdict = WaitHostCheckAnswer(link);
  // No answer came: nothing is awaited any more.
  link.SetAwaitFlags(~CChannelSession::kResponseAwaited, 1);
  return verdict;
}

int CSecurityCheck::IsCheckResultChanged() {
  const std::optional<Md5Digest> digest = m_folder.Md5(kCheckResultFile, kMaxCheckResultBytes);
  if (!digest) return 0;
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_lastResultDigest && *m_lastResultDigest == *digest) return 0;
  LogPrint(LOG_INFO, "IsCheckResultChanged Is TRUE !\n");
  return 1;
}

int CSecurityCheck::ReportHostCheckError() {
  if (!m_folder.HasContent(kHostCheckErrorFile)) return 0;
  if (m_env.notifyHostCheckFailed) {
    m_env.notifyHostCheckFailed();
  } else {
    std::vector<uint8_t> reply;
    TransactGuiSub(VQ_NOTIFY_HOST_CHECK_FAILED, nullptr, 0, reply);
  }
  return 0;
}

}  // namespace brindleway
