#include "client/app/preferred_gateways.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <fmt/printf.h>

#include <algorithm>
#include <charconv>
#include <utility>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/store/xml_config.h"
#include "platform/net/host_address.h"
#include "platform/net/ipv4_text.h"
#include "support/log.h"

namespace client {
namespace {

constexpr char kProximityOn[] = "1";

// A port as the entry keeps it: decimal digits only, 1..65535.
std::optional<uint32_t> PortValue(const std::string& text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || ptr != end || value < 1 || value > 65535) return std::nullopt;
  return value;
}

bool DottedIpv4(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// The entry for an address and port, or nothing (with the reason logged):
// a field that does not fit is skipped, never cut.
std::optional<PreferEntry> CheckedEntry(std::string address, std::string port) {
  const char* reason = nullptr;
  if (address.size() >= kPreferFieldSize || port.size() >= kPreferFieldSize) {
    reason = "too long";
  } else if (!DottedIpv4(address)) {
    reason = "not an IPv4 address";
  } else if (!PortValue(port)) {
    reason = "bad port";
  }
  if (reason != nullptr) {
    LogPrint(LOG_ERR, "Preferred gateway %s:%s skipped: %s\n", address.substr(0, kPreferFieldSize).c_str(),
             port.substr(0, kPreferFieldSize).c_str(), reason);
    return std::nullopt;
  }
  return PreferEntry{false, std::move(address), std::move(port)};
}

bool DetectsProximity(const std::optional<user_info>& current) {
  return current && current->PROXDETECT == kProximityOn;
}

}  // namespace

PreferredGateways::PreferredGateways(ClientApp& app, CXmlConfig& store) : app_(app), store_(store) {
  app_.Host().clock().AddWaker(&clockWake_);
}

PreferredGateways::~PreferredGateways() {
  Stop();
  app_.Host().clock().RemoveWaker(&clockWake_);
}

void PreferredGateways::ClockWake::Wake() {
  std::lock_guard lock(owner_.mutex_);
  owner_.wake_.notify_all();
}

void PreferredGateways::Stop() {
  std::thread old;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    ++generation_;
    old = std::move(thread_);
  }
  wake_.notify_all();
  if (old.joinable()) old.join();
  std::lock_guard lock(mutex_);
  running_ = false;
}

std::vector<PreferEntry> PreferredGateways::List() const {
  std::lock_guard lock(mutex_);
  return list_;
}

bool PreferredGateways::ThreadRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::optional<uint32_t> PreferredGateways::CurrentGatewayAddress(bool fresh) {
  const std::string host = app_.Conn().host;
  if (!fresh && resolved_ && resolved_->first == host) return resolved_->second;
  std::optional<uint32_t> address;
  in_addr literal{};
  if (::inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    LogPrint(LOG_DEBUG, "IsProxIP() : Is Use Ip Login\n");
    address = literal.s_addr;
  } else if (const int error = platform::net::ResolveIPv4(host, literal); error == 0) {
    LogPrint(LOG_DEBUG, "IsProxIP() : Is Use Ip DNS \n");
    address = literal.s_addr;
  } else {
    LogPrint(LOG_ERR, "IsProxIP() : bad ip address or host name\n, Last error code = %d\n", error);
  }
  resolved_.emplace(host, address);
  return address;
}

bool PreferredGateways::IsCurrentGateway(const std::string& address) {
  in_addr entry{};
  if (::inet_pton(AF_INET, address.c_str(), &entry) != 1) return false;
  const std::optional<uint32_t> current = CurrentGatewayAddress(false);
  return current && *current == entry.s_addr;
}

bool PreferredGateways::IsProxIP(uint32_t address) {
  std::lock_guard lock(mutex_);
  // Each list is answered from one lookup of the gateway's name, made at
  // its first address: the sender waits 500 ms for every answer.
  const std::optional<uint32_t> current = CurrentGatewayAddress(!listStarted_);
  if (!DetectsProximity(store_.GetCurrentUser())) return true;
  // While a switch runs no address is taken: told otherwise, the service
  // would end the attempt in progress for an address nobody tries.
  if (app_.Reports().processProxIp) return true;
  return current && *current == address;
}

void PreferredGateways::AddPreferServIPandPort(uint32_t address, uint32_t port) {
  std::unique_lock lock(mutex_);
  ReportState& reports = app_.Reports();
  if (reports.processProxIp) {
    LogPrint(LOG_DEBUG, "AddPreferServIPandPort---Not accepet new IP\n");
    return;
  }
  if (address == 0) {
    listStarted_ = false;
    if (list_.empty()) return;
    reports.processProxIp = true;
    ProcessLocked(lock, false);
    return;
  }
  if (!listStarted_) {
    list_.clear();
    reports.processProxIp = false;
    listStarted_ = true;
  }
  const uint32_t hostPort = ntohl(port);
  LogPrint(LOG_DEBUG, "AddPreferServIPandPort ip=%d ,Port =%d\n", static_cast<int>(address),
           static_cast<int>(hostPort));
  if (std::optional<PreferEntry> entry =
          CheckedEntry(platform::net::DottedIpv4(address), std::to_string(hostPort))) {
    list_.push_back(std::move(*entry));
  }
}

bool PreferredGateways::AddPreferServIPandPort() {
  std::lock_guard lock(mutex_);
  // Emptied first: every failure cycle would append the stored list again.
  list_.clear();
  const std::optional<user_info> current = store_.GetCurrentUser();
  if (!DetectsProximity(current)) return false;
  for (const std::string& stored : current->PROXSERVER) {
    const size_t colon = stored.find(':');
    if (colon == std::string::npos) {
      LogPrint(LOG_ERR, "Preferred gateway %s skipped: no port\n", stored.c_str());
      continue;
    }
    LogPrint(LOG_DEBUG, "AddPreferServIPandPort ip=%s\n", stored.c_str());
    if (std::optional<PreferEntry> entry = CheckedEntry(stored.substr(0, colon), stored.substr(colon + 1))) {
      list_.push_back(std::move(*entry));
    }
  }
  return !list_.empty();
}

void PreferredGateways::ProcessPreferServIP(bool retry) {
  std::unique_lock lock(mutex_);
  ProcessLocked(lock, retry);
}

void PreferredGateways::ProcessLocked(std::unique_lock<std::mutex>& lock, bool retry) {
  ReportState& reports = app_.Reports();
  LogPrint(LOG_DEBUG, " begin ProcessPreferServIP \n");
  const std::optional<user_info> current = store_.GetCurrentUser();
  const conn_info conn = app_.Conn();
  starting_ = Gateway{conn.host, conn.port};
  startingSaved_.reset();
  if (current) {
    starting_.host = current->HOST;
    starting_.port = PortValue(current->PORT).value_or(0);
    startingSaved_ = current;
  }
  const bool detects = DetectsProximity(current);
  // No switch to run: the flag would swallow the next error.
  auto noSwitch = [&reports] { reports.processProxIp = false; };
  if (list_.empty()) return noSwitch();
  if (!retry && detects) {
    std::vector<std::string> stored;
    for (const PreferEntry& entry : list_) stored.push_back(fmt::sprintf("%s:%s", entry.address, entry.port));
    if (store_.SetProxServers(stored) != 0) LogPrint(LOG_ERR, "Storing the preferred gateways failed\n");
  }
  if (IsCurrentGateway(list_.front().address)) {
    if (!retry) return noSwitch();
    list_.front().tried = true;
  }
  if (!detects) return noSwitch();
  if (!retry) listEndedMs_ = app_.Host().clock().NowMs();
  StartThread(lock, !retry);
}

void PreferredGateways::StartThread(std::unique_lock<std::mutex>& lock, bool waitForSetupEnd) {
  if (stopped_) {
    app_.Reports().processProxIp = false;
    return;
  }
  const uint64_t generation = ++generation_;
  // A thread of an earlier switch that has not seen its end yet.
  if (thread_.joinable()) {
    std::thread old = std::move(thread_);
    wake_.notify_all();
    lock.unlock();
    old.join();
    lock.lock();
    if (generation != generation_) return;  // stopped meanwhile
  }
  // A stored list starts at once; a fresh one once the set-up that brought
  // it has ended, else its open meets that set-up and is refused. Set here,
  // before the thread runs: a 107 may come first.
  switchEvent_ = !waitForSetupEnd;
  running_ = true;
  thread_ = std::thread([this, generation, waitForSetupEnd] { PreferIPThread(generation, waitForSetupEnd); });
}

bool PreferredGateways::Ending(uint64_t generation) const {
  return generation != generation_ || !app_.Reports().processProxIp;
}

bool PreferredGateways::WaitSwitchEvent(std::unique_lock<std::mutex>& lock, uint64_t generation,
                                        bool untilSetupEnd) {
  platform::Clock& clock = app_.Host().clock();
  while (!switchEvent_ && !Ending(generation)) {
    if (!untilSetupEnd) {
      clock.WaitUntil(lock, wake_, INT64_MAX);
      continue;
    }
    // A reconnect's set-up ends with 107 unreported: the status poll shows
    // the channel idle. A reading taken before the poll ran again could be
    // the one from before the set-up, so two polls must have passed.
    const int64_t now = clock.NowMs();
    if (now - listEndedMs_ >= 2 * int64_t{kStatusTimerMs} && app_.GetChannelStatus() == kStatusDisconnected) {
      break;
    }
    clock.WaitUntil(lock, wake_, now + kStatusTimerMs);
  }
  switchEvent_ = false;
  return !Ending(generation);
}

void PreferredGateways::PreferIPThread(uint64_t generation, bool waitForSetupEnd) {
  LogPrint(LOG_DEBUG, " begin PreferIPThread \n");
  std::unique_lock lock(mutex_);
  bool untilSetupEnd = waitForSetupEnd;
  while (WaitSwitchEvent(lock, generation, untilSetupEnd)) {
    untilSetupEnd = false;
    TryNextPreferServer();
  }
  if (generation == generation_) running_ = false;
  LogPrint(LOG_DEBUG, " End PreferIPThread \n");
}

void PreferredGateways::TryNextPreferServer() {
  auto next = std::find_if(list_.begin(), list_.end(), [](const PreferEntry& e) { return !e.tried; });
  if (next == list_.end()) return BackToStartingGateway();
  const Gateway gateway{next->address, PortValue(next->port).value_or(0)};
  // The user of the connection, never the pending profile's: event 13 may
  // have freed that.
  const std::string alias = fmt::sprintf("%s@%s:%d", app_.GetConnUser(), gateway.host, gateway.port);
  LogPrint(LOG_DEBUG, "szTempAlias = %s\n", alias.c_str());
  std::optional<user_info> profile;
  const std::optional<user_info> saved = store_.FindUser(alias);
  if (!saved) {
    profile.emplace();
    profile->ALIASID = alias;
    if (startingSaved_) profile->NAME = startingSaved_->NAME;
    profile->HOST = gateway.host;
    profile->PORT = next->port;
  } else if (saved->HOST == gateway.host && saved->PORT == next->port &&
             (!startingSaved_ || saved->NAME == startingSaved_->NAME)) {
    profile = saved;
  }
  next->tried = true;
  PostAttempt(gateway, std::move(profile), false);
}

void PreferredGateways::BackToStartingGateway() {
  ReportState& reports = app_.Reports();
  reports.proxSwitchDone = true;
  reports.processProxIp = false;
  PostAttempt(starting_, startingSaved_, true);
}

void PreferredGateways::PostAttempt(Gateway gateway, std::optional<user_info> profile, bool last) {
  app_.Host().Post([&app = app_, gateway = std::move(gateway), profile = std::move(profile), last] {
    // A Disconnect or Cancel since: that attempt is not wanted any more.
    const ReportState& reports = app.Reports();
    if (last ? !reports.proxSwitchDone : !reports.processProxIp) return;
    conn_info conn = app.Conn();
    conn.host = gateway.host;
    conn.port = gateway.port;
    app.SetConn(conn);
    if (profile) app.Hooks().replacePendingProfile(app, *profile);
    app.Launcher().StartConnect();
  });
}

void PreferredGateways::SetSwitchEvent() {
  {
    std::lock_guard lock(mutex_);
    switchEvent_ = true;
  }
  wake_.notify_all();
}

void PreferredGateways::ConnectEndedInClient() {
  if (app_.Reports().processProxIp) SetSwitchEvent();
}

}  // namespace client
