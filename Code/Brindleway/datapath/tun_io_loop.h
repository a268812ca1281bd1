// The data-path I/O loop: carries user traffic between the virtual adapter
// and the UDP data socket, one direction per thread so that encryption and
// decryption run side by side:
//   outbound: adapter reads -> compress, encapsulate -> socket writes
//   inbound:  socket reads -> decapsulate, decompress -> adapter writes
// The adapter is read on one thread and written on the other. User
// traffic is numbered on the outbound thread, which also encrypts each
// packet unless the context asks for more sealers (cryptoWorkers): then
// the CBC and HMAC of bulk batches run on a small pool, the outbound
// thread sealing too when it has nothing else to do, and it sends what
// was sealed in the order it numbered it (outbound_pipeline.h; the IVs
// don't chain one datagram to the one before, esp_iv.h). The inbound
// thread then has a pool of its own for the HMAC checks and decryption,
// and takes the packets on in the order they arrived (inbound_pipeline.h).
// The keep-alive and logout
// packets of other threads wait for the SA lock, which serialises every
// numbering (the outbound SA's sequence number and IV counter are one per
// SA) and the encryption with the SA's own cipher context.
//
// Each thread alternates two steps until the stop event is set:
//  1. TunIoNoWait: whatever of its direction can progress without
//     blocking, at most kTunIoOpsPerPass (10) packets of each kind per pass
//     so its reads and writes interleave: outbound, what the crypto
//     workers finished, the socket writes (one call for the queued
//     datagrams), then the adapter reads (none while the workers hold
//     their limit) and their packets handed to the workers; inbound, what
//     the crypto workers finished (as far as the adapter queue has room),
//     the socket reads (one call; none while the workers hold their limit)
//     and their datagrams handed to the workers, then the adapter writes
//     (calls of kAdapterWriteBatch packets at most, until what the reads
//     queued is written or the adapter is full); repeated until its read
//     waits for data and its write either waits for room or has nothing
//     to write; before waiting, each thread works a batch no worker took;
//  2. TunIoWait: one poll of the stop event, the abort event (the other
//     thread failed), the workers' wake-up while they hold packets (the
//     inbound one while the adapter queue has room for them), and its
//     descriptors (readable for a waiting read, writable for a waiting
//     write), which marks what became ready; an idle tunnel sleeps in that
//     poll.
// Any failure ends both threads and posts WM_CHANNEL_ERROR 4004 once.
#pragma once

#include <atomic>

#include "Brindleway/common/stoppable_thread.h"
#include "Brindleway/datapath/data_path_context.h"
#include "Brindleway/datapath/tun_io_contexts.h"
#include "platform/sync/event.h"

namespace brindleway {

enum class TunIoDirection { Outbound, Inbound };

// 0, or -1 when a read failed.
int TunIoNoWait(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket);
// 1 when stop or abort is set, 0 after progress, -1 on failure (logged).
int TunIoWait(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket, const platform::Event& stop,
              const platform::Event& abort);
// The direction's read waits for data and its write can't progress.
bool TunIoAllWaiting(TunIoDirection direction, const AdapterContext& adapter, const SocketContext& socket);

// One direction's thread body: 0 after stop or abort, -1 after an error
// (logged; the caller posts 4004). The direction's buffers are released on
// the way out.
int TunIoLoop(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket, const platform::Event& stop,
              const platform::Event& abort);

// Owns the I/O loop's threads. Start and Stop from the channel's start and
// close (any thread but the loop's own).
class TunIoLoopThread {
 public:
  // stop: the loop's stop event (ChannelContext::tunIoStop).
  explicit TunIoLoopThread(platform::Event& stop);
  TunIoLoopThread(const TunIoLoopThread&) = delete;
  TunIoLoopThread& operator=(const TunIoLoopThread&) = delete;

  // Runs the loop on ctx (not owned; it, its adapter and its socket must
  // outlive Stop()). A previous run is stopped and joined first.
  void Start(DataPathContext& ctx);
  // Sets the stop event, joins the threads, resets the event. Nothing
  // happens when no thread was started.
  void Stop();
  // Until both directions ended.
  bool Running() const { return thread_.Running(); }
  // 0 after a stop, -1 after an error.
  int ExitCode() const { return exitCode_.load(); }

 private:
  // The outbound thread: checks the context, starts the inbound thread,
  // runs its own direction, joins the other and posts 4004 after an error.
  int Run(DataPathContext& ctx);

  platform::Event& stop_;
  // Set by the direction that failed, so the other one ends too.
  platform::Event abort_{platform::Event::Reset::Manual};
  std::atomic<int> exitCode_{0};
  // Last: its destructor joins the thread, which writes the members above.
  StoppableThread thread_;
};

}  // namespace brindleway
