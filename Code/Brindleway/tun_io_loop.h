// The data-path I/O loop: the one thread that carries user traffic between
// the virtual adapter and the UDP data socket.
//
// It alternates two steps until the stop event is set:
//  1. TunIoNoWait: whatever can progress without blocking, at most 10
//     operations of each kind per pass so both sides interleave: adapter
//     writes, socket writes, adapter reads, socket reads; repeated until
//     every read waits for data and every write either waits for room or
//     has nothing to write;
//  2. TunIoWait: one poll of the stop event, the adapter and the socket
//     (readable for a waiting read, writable for a waiting write), which
//     marks what became ready; nothing is polled that has no work, so an
//     idle tunnel sleeps in that poll.
// Any failure ends the loop and posts WM_CHANNEL_ERROR 4004.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "Brindleway/data_path_context.h"
#include "Brindleway/tun_io_contexts.h"
#include "platform/sync/event.h"

namespace brindleway {

// 0, or -1 when a read failed.
int TunIoNoWait(AdapterContext& adapter, SocketContext& socket);
// 1 when stop is set, 0 after progress, -1 on failure (logged).
int TunIoWait(AdapterContext& adapter, SocketContext& socket, const platform::Event& stop);
// Every read waits for data and no write can progress.
bool TunIoAllWaiting(const AdapterContext& adapter, const SocketContext& socket);

// The thread body: 0 after the stop, -1 after an error (4004 posted). The
// contexts and every buffer they hold are released on the way out.
int TunIoLoop(DataPathContext& ctx, const platform::Event& stop);

// Owns the I/O loop thread. Start and Stop from the channel's start and
// close (any thread but the loop itself).
class TunIoLoopThread {
 public:
  // stop: the loop's stop event (ChannelContext::tunIoStop).
  explicit TunIoLoopThread(platform::Event& stop);
  ~TunIoLoopThread();
  TunIoLoopThread(const TunIoLoopThread&) = delete;
  TunIoLoopThread& operator=(const TunIoLoopThread&) = delete;

  // Runs TunIoLoop on ctx (not owned; it, its adapter and its socket must
  // outlive Stop()). A previous run is stopped and joined first.
  void Start(DataPathContext& ctx);
  // Sets the stop event, joins the thread, resets the event. Nothing
  // happens when no thread was started.
  void Stop();
  bool Running() const { return running_.load(); }
  int ExitCode() const { return exitCode_.load(); }

 private:
  void StopLocked();

  platform::Event& stop_;
  std::mutex mutex_;  // Start and Stop
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<int> exitCode_{0};
};

}  // namespace brindleway
