// The change-password requests delivered to the tunnel service and the
// answers it reported, counted so that a wait takes only its own request's
// answer. The tunnel service answers every delivered request once, in
// order, and may answer after the dialog stopped waiting (its own connect
// bound plus its 30 s request wait).
//   1. the dialog arms before it sends: the request is counted first, so
//      an answer that arrives while the send is still running finds it;
//   2. a request that was not delivered is taken back;
//   3. an answer (report pipe thread) is numbered as the oldest request not
//      yet answered, and goes to the open dialog on the UI thread, which
//      takes it only when it is the answer it waits for;
//   4. once the channel is back to disconnected both counts start again.
//
// Any thread.
#pragma once

#include <cstdint>
#include <mutex>

namespace client {

class ClientApp;

class PasswordRequests {
 public:
  // The number of the request about to be sent (1, 2, ...).
  uint64_t Arm();
  // That request was not delivered. Nothing changes when an answer was
  // counted for it already: the service did take it then.
  void Disarm(uint64_t request);
  // The number of the request an answer belongs to; 0 when no delivered
  // request waits for one.
  uint64_t Answered();
  void Reset();
  // The channel status each poll read: a change to 1 resets.
  void StatusPolled(int status);

 private:
  std::mutex mutex_;
  uint64_t delivered_ = 0;
  uint64_t answered_ = 0;
  int lastStatus_ = 1;
};

// The report dispatcher's step for a password result other than 18: the
// result, numbered, posted to the open change-password dialog; logged and
// dropped when no request waits for it or no dialog is open.
void OnPasswordResult(ClientApp& app, uint32_t code);

}  // namespace client
