// Gateway proximity detection. A gateway may offer up to four preferred
// gateways; each echoes the 22-byte probe "Proximity Auto Detect" on its
// UDP data port. One detection thread per list, owned by the list object:
//   1. one measurement record per gateway, one UDP probe socket;
//   2. five rounds: probe every gateway, then receive echoes until every
//      gateway has answered (and more attempts than gateways were made) or
//      the round's 5 s are up; a gateway silent in a round counts a fixed
//      time-out, longer than any round can last;
//   3. average round trip per gateway (64-bit sums); the list sorted from
//      the fastest to the slowest, equal averages keeping list order.
// While the thread runs the list is neither replaced nor changed; Stop (the
// channel's close) ends a detection at once and joins the thread.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Brindleway/adapter/session_lists.h"
#include "Brindleway/channel/channel_session.h"
#include "Brindleway/common/stoppable_thread.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace brindleway {

inline constexpr int kProximityRounds = 5;
// The probe: the text and its terminating zero.
inline constexpr char kProximityProbe[] = "Proximity Auto Detect";
inline constexpr size_t kProximityProbeSize = sizeof kProximityProbe;
// The largest echo read.
inline constexpr size_t kProximityEchoCapacity = 260;

struct ProximityTiming {
  // A round ends once this much has passed before a receive attempt.
  int64_t roundLimitMs = 5000;
  // One receive attempt waits at most this long.
  int receiveWaitMs = 2000;
  // The round trip of a round without an echo: more than a round can take.
  int64_t NoEchoMs() const { return 2 * (roundLimitMs + receiveWaitMs); }
};

// One gateway's measurement in one detection.
struct ProximityRecord {
  uint32_t address = 0;  // network order
  std::array<int64_t, kProximityRounds> sendTick{};
  std::array<int64_t, kProximityRounds> receiveTick{};
  std::array<bool, kProximityRounds> answered{};
  uint64_t average = 0;
};

class CProximityList {
 public:
  // clock: the tick source of the measurements; it must run in real time.
  explicit CProximityList(platform::Clock& clock = platform::SystemClock(), ProximityTiming timing = {});
  // Stops a running detection.
  ~CProximityList();
  CProximityList(const CProximityList&) = delete;
  CProximityList& operator=(const CProximityList&) = delete;

  // The list. Changes are refused (false) while a detection runs.
  // Ports as received: u32, big-endian.
  bool Add(uint32_t address, uint32_t tcpPortBE, uint32_t udpPortBE);
  bool Clear();
  bool SetList(const std::vector<PreferredGateway>& list);
  size_t Count() const;
  // 0, 1 when the list is empty, 2 when index is past its end.
  int GetAt(size_t index, PreferredGateway& entry) const;

  bool IsIdle() const { return !running_.load(); }
  // Starts the detection thread over the list; false while one runs.
  bool StartDetection();
  // Ends a running detection promptly (the list keeps its order) and joins
  // the thread. Safe from any thread but the detection's own.
  void Stop();

  // What the set-up hands to the client application for the list the
  // gateway just sent: in detected order when the last detection ran over
  // that very list, else as received. Address and TCP port as stored.
  std::vector<ProximityEntry> HandOver(const std::vector<PreferredGateway>& received) const;

 private:
  // The detection thread's body: 0, or 1 when there is no probe socket.
  int DetecProximity();
  void SendDetecData(const PreferredGateway& entry);
  void ReceiveEcho(std::vector<ProximityRecord>& records, int round);

  platform::Clock& clock_;
  const ProximityTiming timing_;

  mutable std::mutex mutex_;
  std::vector<PreferredGateway> list_;
  // The list as the last detection was started over it.
  std::vector<PreferredGateway> detected_;

  std::atomic<bool> running_{false};
  platform::Event stop_{platform::Event::Reset::Manual};
  // Only the detection thread uses the probe socket.
  platform::UniqueFd probe_;
  // StartDetection and Stop, one at a time.
  std::mutex threadMutex_;
  // Last: its destructor joins the thread, which uses the members above.
  StoppableThread thread_{stop_};
};

}  // namespace brindleway
