#include "Brindleway/hostcheck/proximity.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

// Added to every elapsed time of a round's receive loop.
constexpr int64_t kElapsedSlackMs = 5;

uint32_t EntryAddress(const PreferredGateway& entry) {
  uint32_t address = 0;
  std::memcpy(&address, entry.data(), 4);
  return address;
}

}  // namespace

CProximityList::CProximityList(platform::Clock& clock, ProximityTiming timing) : clock_(clock), timing_(timing) {}

CProximityList::~CProximityList() { Stop(); }

bool CProximityList::Add(uint32_t address, uint32_t tcpPortBE, uint32_t udpPortBE) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return false;
  PreferredGateway entry{};
  std::memcpy(entry.data(), &address, 4);
  std::memcpy(entry.data() + 4, &tcpPortBE, 4);
  std::memcpy(entry.data() + 8, &udpPortBE, 4);
  list_.push_back(entry);
  return true;
}

bool CProximityList::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return false;
  list_.clear();
  return true;
}

bool CProximityList::SetList(const std::vector<PreferredGateway>& list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) {
    LogPrint(LOG_DEBUG, " Has Processing Poximity, Not Accept new IP! \n");
    return false;
  }
  list_ = list;
  return true;
}

size_t CProximityList::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size();
}

int CProximityList::GetAt(size_t index, PreferredGateway& entry) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (list_.empty()) return 1;
  if (index >= list_.size()) return 2;
  entry = list_[index];
  return 0;
}

bool CProximityList::StartDetection() {
  std::lock_guard<std::mutex> threadLock(threadMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return false;
    running_ = true;
    detected_ = list_;
  }
  try {
    // The previous detection has ended; Start joins its thread first.
    thread_.Start([this] { DetecProximity(); });
  } catch (...) {
    running_ = false;
    throw;
  }
  return true;
}

void CProximityList::Stop() {
  std::lock_guard<std::mutex> threadLock(threadMutex_);
  thread_.Stop();
}

std::vector<ProximityEntry> CProximityList::HandOver(const std::vector<PreferredGateway>& received) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool detected = !detected_.empty() && detected_ == received;
  const std::vector<PreferredGateway>& chosen = detected ? list_ : received;
  std::vector<ProximityEntry> entries;
  entries.reserve(chosen.size());
  for (const PreferredGateway& g : chosen) {
    ProximityEntry e;
    std::memcpy(&e.address, g.data(), 4);
    std::memcpy(&e.port, g.data() + 4, 4);
    entries.push_back(e);
  }
  return entries;
}

int CProximityList::DetecProximity() {
  LogPrint(LOG_DEBUG, "DetecProximity begin !\n");
  std::vector<PreferredGateway> list;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    list = list_;
  }
  std::vector<ProximityRecord> records(list.size());
  for (size_t i = 0; i < list.size(); ++i) records[i].address = EntryAddress(list[i]);

  probe_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!probe_.valid()) {
    running_ = false;
    return 1;
  }

  bool stopped = false;
  for (int r = 0; r < kProximityRounds && !stopped; ++r) {
    const int64_t t0 = clock_.NowMs();
    for (size_t i = 0; i < list.size(); ++i) {
      SendDetecData(list[i]);
      records[i].sendTick[r] = t0;
    }
    bool byTime = false;
    for (size_t j = 0;; ++j) {
      const int64_t elapsed = clock_.NowMs() - t0 + kElapsedSlackMs;
      ReceiveEcho(records, r);
      if (stop_.IsSet()) {
        stopped = true;
        break;
      }
      // More attempts than gateways before the round may end early.
      const bool all = std::all_of(records.begin(), records.end(),
                                   [r](const ProximityRecord& rec) { return rec.answered[r]; });
      if (j > records.size() && all) break;
      if (elapsed >= timing_.roundLimitMs) {
        byTime = true;
        break;
      }
    }
    if (byTime) {
      for (ProximityRecord& rec : records) {
        if (!rec.answered[r]) rec.receiveTick[r] = rec.sendTick[r] + timing_.NoEchoMs();
      }
    }
  }
  probe_.reset();

  if (!stopped) {
    for (ProximityRecord& rec : records) {
      uint64_t sum = 0;
      for (int r = 0; r < kProximityRounds; ++r) {
        sum += static_cast<uint64_t>(std::max<int64_t>(0, rec.receiveTick[r] - rec.sendTick[r]));
      }
      rec.average = sum / kProximityRounds;
      LogPrint(LOG_DEBUG, " IP = %s,Get Detectting Average Time=%d\n", DottedIPv4(rec.address), rec.average);
    }
    // Stable: gateways with equal averages keep their list order.
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&records](size_t a, size_t b) { return records[a].average < records[b].average; });
    std::vector<PreferredGateway> sorted;
    sorted.reserve(order.size());
    for (size_t i : order) sorted.push_back(list[i]);
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = std::move(sorted);
  }
  running_ = false;
  LogPrint(LOG_DEBUG, "DetecProximity End !\n");
  return 0;
}

void CProximityList::SendDetecData(const PreferredGateway& entry) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = EntryAddress(entry);
  const uint32_t udpPort = wire::GetU32BE(entry.data() + 8);
  if (udpPort == 0 || udpPort > 0xFFFF) {
    // No such port: the gateway is never probed and counts as silent.
    LogPrint(LOG_DEBUG, "SendDetecData erro =%d !\n", EINVAL);
  } else {
    to.sin_port = htons(static_cast<uint16_t>(udpPort));
    const ssize_t sent = ::sendto(probe_.get(), kProximityProbe, kProximityProbeSize, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent < 0) LogPrint(LOG_DEBUG, "SendDetecData erro =%d !\n", errno);
  }
  LogPrint(LOG_DEBUG, "SendDetecData :IP = %s, Port =%d ,SendTime=%d\n", DottedIPv4(to.sin_addr.s_addr), udpPort,
           clock_.NowMs());
}

void CProximityList::ReceiveEcho(std::vector<ProximityRecord>& records, int round) {
  pollfd fds[2] = {{probe_.get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
  int rc;
  do {
    rc = ::poll(fds, 2, timing_.receiveWaitMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    LogPrint(LOG_DEBUG, "ReceiveEcho Erro! \n");
    return;
  }
  if ((fds[1].revents & POLLIN) != 0) return;  // stopped
  if (rc == 0) {
    LogPrint(LOG_DEBUG, "ReceiveEcho Timeout! \n");
    return;
  }
  uint8_t buffer[kProximityEchoCapacity];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  const ssize_t received =
      ::recvfrom(probe_.get(), buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (received < 0 || fromLength < sizeof from || from.sin_family != AF_INET) return;
  // The sender's address alone tells whose echo it is.
  for (ProximityRecord& rec : records) {
    if (rec.address != from.sin_addr.s_addr) continue;
    rec.receiveTick[round] = clock_.NowMs();
    rec.answered[round] = true;
    LogPrint(LOG_DEBUG, "ReceiveEcho :IP = %s, Port =%d ,Time =%d\n", DottedIPv4(from.sin_addr.s_addr),
             ntohs(from.sin_port), rec.receiveTick[round]);
    break;
  }
}

}  // namespace brindleway
