// The preferred-gateway list and the switch through it: the addresses a
// gateway offers (each as the tunnel service reports it, in the order its
// proximity detection sorted them), their copy in the saved connection, and
// PreferIPThread, which reconnects through each entry in turn until one
// connects and otherwise goes back to the starting gateway.
//
// Road of a fresh list:
//   1. IsProxIP answers each offered address (taken unless it is the
//      current gateway or the saved connection does not detect proximity);
//   2. AddPreferServIPandPort collects the addresses up to the end mark;
//   3. ProcessPreferServIP stores them with the current saved connection
//      and, unless the best one is the gateway in use, starts the thread;
//   4. the thread waits until the running set-up has ended (event 107, or
//      the status poll showing the channel idle), then one connect per
//      switch event: each attempt ends with an error, event 13 or a connect
//      that ended inside the client.
// A failed connection (the default error handling) reads the stored list
// once (AddPreferServIPandPort from the store) and runs the same switch,
// starting at once.
//
// The flags that a switch is running, that the stored list was tried and
// that the switch is done are the report state's (the dispatcher and the
// main window read and clear them); the list, the list-started flag, the
// starting gateway and the switch event are this object's, and every change
// it makes to them and to those flags is made under its one lock.
//
// Threads: the report dispatcher, the switch thread, the UI thread and the
// connect thread call in; a connect is always started on the UI thread.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/store/user_info.h"
#include "platform/sync/clock.h"

namespace client {

class ClientApp;
class CXmlConfig;

// The fields of an entry hold this many bytes with their terminator.
inline constexpr size_t kPreferFieldSize = 50;

struct PreferEntry {
  bool tried = false;
  std::string address;  // dotted IPv4
  std::string port;     // decimal, 1..65535

  bool operator==(const PreferEntry&) const = default;
};

class PreferredGateways {
 public:
  PreferredGateways(ClientApp& app, CXmlConfig& store);
  ~PreferredGateways();
  PreferredGateways(const PreferredGateways&) = delete;
  PreferredGateways& operator=(const PreferredGateways&) = delete;

  // True when the offered address (network order) is not to be taken: the
  // current saved connection does not detect proximity, a switch runs, or
  // it is the current gateway's address.
  bool IsProxIP(uint32_t address);
  // One offered address and port (network order); address 0 ends the list.
  void AddPreferServIPandPort(uint32_t address, uint32_t port);
  // The current saved connection's stored list in place of the list; true
  // when it gave an entry to try.
  bool AddPreferServIPandPort();
  // Starts the switch: retry false for a fresh list, true for the stored one.
  void ProcessPreferServIP(bool retry);
  // One attempt ended (an error, event 13, 107, Disconnect, Cancel).
  void SetSwitchEvent();
  // A connect that ended inside the client: the running switch goes on.
  void ConnectEndedInClient();
  // Ends and joins the thread; no switch starts afterwards (Exit).
  void Stop();

  std::vector<PreferEntry> List() const;
  // The switch thread of the last switch has not ended yet.
  bool ThreadRunning() const;

 private:
  struct Gateway {
    std::string host;
    uint32_t port = 0;
  };
  // The rest hold mutex_ (lock: on it; StartThread lets it go while an
  // earlier switch's thread ends).
  void ProcessLocked(std::unique_lock<std::mutex>& lock, bool retry);
  void StartThread(std::unique_lock<std::mutex>& lock, bool waitForSetupEnd);
  void PreferIPThread(uint64_t generation, bool waitForSetupEnd);
  // Waits for the switch event; false when the thread is to end.
  bool WaitSwitchEvent(std::unique_lock<std::mutex>& lock, uint64_t generation, bool untilSetupEnd);
  bool Ending(uint64_t generation) const;
  void TryNextPreferServer();
  // The starting gateway back in g_conn, with the saved connection it came
  // from as the pending profile, and one more connect.
  void BackToStartingGateway();
  // g_conn's host as an address, resolved once per list; nothing when it
  // does not resolve.
  std::optional<uint32_t> CurrentGatewayAddress(bool fresh);
  bool IsCurrentGateway(const std::string& address);
  // Host and port into g_conn, the profile as the pending one, StartConnect
  // on the UI thread; dropped when the switch ended meanwhile.
  void PostAttempt(Gateway gateway, std::optional<user_info> profile, bool last);

  // Wakes the thread's timed wait when a test's clock moves.
  class ClockWake final : public platform::ClockWaker {
   public:
    explicit ClockWake(PreferredGateways& owner) : owner_(owner) {}
    void Wake() override;

   private:
    PreferredGateways& owner_;
  };

  ClientApp& app_;
  CXmlConfig& store_;
  ClockWake clockWake_{*this};

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<PreferEntry> list_;
  bool listStarted_ = false;
  Gateway starting_;
  std::optional<user_info> startingSaved_;
  // The auto-reset switch event.
  bool switchEvent_ = false;
  // When the last fresh list ended (host clock), for the idle test.
  int64_t listEndedMs_ = 0;
  // Bumped for every thread started and at Stop, so a thread left from an
  // earlier switch ends instead of taking part in the new one.
  uint64_t generation_ = 0;
  bool stopped_ = false;
  bool running_ = false;
  std::optional<std::pair<std::string, std::optional<uint32_t>>> resolved_;
  std::thread thread_;
};

}  // namespace client
