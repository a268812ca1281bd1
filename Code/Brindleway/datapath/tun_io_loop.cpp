#include "Brindleway/datapath/tun_io_loop.h"

#include <poll.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/device_path.h"
#include "Brindleway/datapath/inbound_pipeline.h"
#include "Brindleway/datapath/outbound_pipeline.h"
#include "Brindleway/datapath/timing_trace.h"
#include "Brindleway/datapath/udp_side.h"
#include "platform/process/usable_cpus.h"
#include "platform/process/wake_without_preempting.h"
#include "support/log.h"

namespace brindleway {
namespace {

constexpr short kBroken = POLLERR | POLLHUP;
// One inbound pass can empty a full adapter queue.
static_assert(kTunIoOpsPerPass * kAdapterWriteBatch >= kTunIoQueueLimit);

// What poll reported for one descriptor; a broken descriptor wakes every
// waiting operation so the operation itself sees the failure.
void MarkReady(short revents, bool* readPending, bool* writePending) {
  if (readPending != nullptr && *readPending && (revents & (POLLIN | kBroken)) != 0) *readPending = false;
  if (writePending != nullptr && *writePending && (revents & (POLLOUT | kBroken)) != 0) *writePending = false;
}

const char* Name(TunIoDirection direction) { return direction == TunIoDirection::Outbound ? "outbound" : "inbound"; }

}  // namespace

bool TunIoAllWaiting(TunIoDirection direction, const AdapterContext& adapter, const SocketContext& socket) {
  if (direction == TunIoDirection::Outbound) {
    const OutboundPipeline* pipeline = socket.outboundPipeline;
    if (pipeline != nullptr && pipeline->HasCollectable()) return false;
    const bool readWaits = adapter.readPending || (pipeline != nullptr && pipeline->Full());
    return readWaits && (socket.writePending || !socket.HasWriteWork());
  }
  const InboundPipeline* pipeline = socket.inboundPipeline;
  if (can_collect_socket_packets(socket, adapter) && pipeline->HasCollectable()) return false;
  const bool readWaits = socket.readPending || (pipeline != nullptr && pipeline->Full());
  return readWaits && (adapter.writePending || !adapter.HasWriteWork());
}

int TunIoNoWait(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket) {
  const TimingTrace timing;
  DebugTrace(TRACE_TIMING, "TunIoNoWait %s\n", Name(direction));
  if (direction == TunIoDirection::Outbound) {
    OutboundPipeline* pipeline = socket.outboundPipeline;
    // What the workers finished joins the send queue in framing order.
    if (pipeline != nullptr) pipeline->Collect(socket.writeQueue);
    if (socket.HasWriteWork() && !socket.writePending) {
      DebugTrace(TRACE_TIMING, "TunIoNoWait: socket_write\n");
      socket_write(socket);
    }
    for (int i = 0; i < kTunIoOpsPerPass && !adapter.readPending && (pipeline == nullptr || !pipeline->Full()); ++i) {
      DebugTrace(TRACE_TIMING, "TunIoNoWait: devicefile_read\n");
      if (devicefile_read(adapter, socket) != 0) return -1;
    }
    // A batch for the workers waits for the next pass's reads while the
    // adapter has more: fewer, larger batches cost fewer wake-ups. What is
    // sealed here anyway goes at once.
    if (pipeline != nullptr && (adapter.readPending || pipeline->StagedBytes() <= kPipelineInlineBytes ||
                                pipeline->Staged() >= kPipelineBatchPackets / 2)) {
      pipeline->Submit(socket.writeQueue);
    }
  } else {
    const InboundPipeline* pipeline = socket.inboundPipeline;
    // What the workers opened joins the adapter queue in arrival order.
    collect_socket_packets(socket, adapter);
    if (!socket.readPending && (pipeline == nullptr || !pipeline->Full())) {
      DebugTrace(TRACE_TIMING, "TunIoNoWait: socket_read\n");
      if (socket_read(socket, adapter) != 0) return -1;
    }
    // The packets of the receive, behind any the adapter could not take
    // before, in batches: all of them unless the adapter is full, so that
    // the next receive finds room in the queue (a coalesced receive brings
    // hundreds).
    for (int i = 0; i < kTunIoOpsPerPass && adapter.HasWriteWork() && !adapter.writePending; ++i) {
      DebugTrace(TRACE_TIMING, "TunIoNoWait: devicefile_write\n");
      devicefile_write(adapter);
    }
  }
  timing.Write("IO no wait time %u\n");
  return 0;
}

int TunIoWait(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket, const platform::Event& stop,
              const platform::Event& abort) {
  const TimingTrace timing;
  const bool outbound = direction == TunIoDirection::Outbound;
  if (outbound) {
    DebugTrace(TRACE_TIMING, "io_wait outbound: dread %d, swrite %d\n", adapter.readPending, socket.writePending);
  } else {
    DebugTrace(TRACE_TIMING, "io_wait inbound: dwrite %d, sread %d\n", adapter.writePending, socket.readPending);
  }
  // The adapter and the socket, each for what this direction waits on.
  bool* adapterRead = outbound ? &adapter.readPending : nullptr;
  bool* adapterWrite = outbound ? nullptr : &adapter.writePending;
  bool* socketRead = outbound ? nullptr : &socket.readPending;
  bool* socketWrite = outbound ? &socket.writePending : nullptr;
  pollfd fds[5] = {};
  fds[0] = {stop.Fd(), POLLIN, 0};
  fds[1] = {abort.Fd(), POLLIN, 0};
  nfds_t count = 2;
  // The crypto workers finishing the oldest batch; inbound only while the
  // adapter queue has room for it, else the adapter's room is waited for.
  if (outbound && socket.outboundPipeline != nullptr && socket.outboundPipeline->InFlight() > 0) {
    socket.outboundPipeline->ArmWake();
    fds[count++] = {socket.outboundPipeline->WakeFd(), POLLIN, 0};
  }
  if (!outbound && can_collect_socket_packets(socket, adapter)) {
    socket.inboundPipeline->ArmWake();
    fds[count++] = {socket.inboundPipeline->WakeFd(), POLLIN, 0};
  }
  int adapterAt = -1;
  int socketAt = -1;
  const short adapterEvents = static_cast<short>((adapterRead != nullptr && *adapterRead ? POLLIN : 0) |
                                                 (adapterWrite != nullptr && *adapterWrite ? POLLOUT : 0));
  if (adapterEvents != 0 && adapter.device != nullptr) {
    adapterAt = static_cast<int>(count);
    fds[count++] = {adapter.device->PollFd(), adapterEvents, 0};
  }
  const short socketEvents = static_cast<short>((socketRead != nullptr && *socketRead ? POLLIN : 0) |
                                                (socketWrite != nullptr && *socketWrite ? POLLOUT : 0));
  if (socketEvents != 0) {
    socketAt = static_cast<int>(count);
    fds[count++] = {socket.socket, socketEvents, 0};
  }
  const int ready = ::poll(fds, count, -1);
  if (ready < 0) {
    if (errno == EINTR) return 0;
    LogPrint(LOG_ERR, "Wait Failed, error %d\n", errno);
    return -1;
  }
  if ((fds[0].revents & (POLLIN | kBroken)) != 0 || (fds[1].revents & (POLLIN | kBroken)) != 0) return 1;
  for (nfds_t i = 2; i < count; ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      LogPrint(LOG_ERR, "Wait Failed, error %d\n", EBADF);
      return -1;
    }
  }
  DebugTrace(TRACE_TIMING, "WaitForMultipleObjectsEx returns %d\n", ready);
  if (adapterAt >= 0) MarkReady(fds[adapterAt].revents, adapterRead, adapterWrite);
  if (socketAt >= 0) MarkReady(fds[socketAt].revents, socketRead, socketWrite);
  timing.Write("IO wait time %u\n");
  return 0;
}

int TunIoLoop(TunIoDirection direction, AdapterContext& adapter, SocketContext& socket, const platform::Event& stop,
              const platform::Event& abort) {
  int result = 0;
  for (;;) {
    // A steady stream of packets never lets the loop wait, so the events
    // are looked at on every pass too.
    bool ended = false;
    while (!TunIoAllWaiting(direction, adapter, socket)) {
      if (stop.IsSet() || abort.IsSet()) {
        ended = true;
        break;
      }
      if (TunIoNoWait(direction, adapter, socket) != 0) {
        LogPrint(LOG_ERR, "TunnelIoNoWait exception\n");
        result = -1;
        break;
      }
      // Only this direction's own fields: the other thread owns the rest.
      if (direction == TunIoDirection::Outbound) {
        DebugTrace(TRACE_TIMING, "dread %d swrite %d %x\n", adapter.readPending, socket.writePending,
                   socket.writeQueue.Size());
      } else {
        DebugTrace(TRACE_TIMING, "sread %d dwrite %d %x\n", socket.readPending, adapter.writePending,
                   adapter.writeQueue.Size());
      }
    }
    if (result != 0 || ended) break;
    // Sealing or opening a batch no worker has taken yet beats waiting for
    // one.
    if (direction == TunIoDirection::Outbound && socket.outboundPipeline != nullptr &&
        socket.outboundPipeline->SealOne()) {
      continue;
    }
    if (direction == TunIoDirection::Inbound && socket.inboundPipeline != nullptr && socket.inboundPipeline->OpenOne()) {
      continue;
    }
    const int waited = TunIoWait(direction, adapter, socket, stop, abort);
    if (waited < 0) {
      LogPrint(LOG_ERR, "TunnelIoWait exception\n");
      result = -1;
      break;
    }
    if (waited == 1) break;
  }
  if (direction == TunIoDirection::Outbound) {
    ReleaseOutbound(adapter, socket);
  } else {
    ReleaseInbound(adapter, socket);
  }
  return result;
}

TunIoLoopThread::TunIoLoopThread(platform::Event& stop) : stop_(stop), thread_(stop) {}

void TunIoLoopThread::Start(DataPathContext& ctx) {
  thread_.Start([this, &ctx] { exitCode_ = Run(ctx); });
}

int TunIoLoopThread::Run(DataPathContext& ctx) {
  DebugTrace(TRACE_SETUP, "Starting TunIoLoopThread...\n");
  if (ctx.adapter == nullptr || ctx.udpSocket < 0) {
    ctx.Post(WM_CHANNEL_ERROR, VQ_ERR_TUN_IO);
    return -1;
  }
  AdapterContext adapter = MakeAdapterContext(ctx);
  SocketContext socket = MakeSocketContext(ctx);
  const size_t workers =
      ctx.cryptoWorkers != 0 ? ctx.cryptoWorkers : CryptoWorkerCount(platform::process::UsableCpuCount());
  std::unique_ptr<OutboundPipeline> outboundPipeline;
  std::unique_ptr<InboundPipeline> inboundPipeline;
  if (workers > 1) {
    // The direction's own thread works too.
    outboundPipeline = std::make_unique<OutboundPipeline>(workers - 1);
    inboundPipeline = std::make_unique<InboundPipeline>(workers - 1);
    socket.outboundPipeline = outboundPipeline.get();
    socket.inboundPipeline = inboundPipeline.get();
  }
  abort_.Reset();
  int inboundResult = 0;
  std::thread inbound([&] {
    // While a stream goes out, this thread wakes thousands of times a
    // second for its acknowledgements, mostly on the processor a crypto
    // worker is busy on: it waits for the worker's turn rather than taking
    // the processor from it at each wake-up. (The workers were started
    // before, and keep the normal policy.)
    if (!platform::process::WakeWithoutPreempting()) DebugTrace(TRACE_SETUP, "inbound thread: normal scheduling\n");
    inboundResult = TunIoLoop(TunIoDirection::Inbound, adapter, socket, stop_, abort_);
    if (inboundResult != 0) abort_.Set();
  });
  const int outboundResult = TunIoLoop(TunIoDirection::Outbound, adapter, socket, stop_, abort_);
  if (outboundResult != 0) abort_.Set();
  inbound.join();
  if (outboundResult != 0 || inboundResult != 0) {
    ctx.Post(WM_CHANNEL_ERROR, VQ_ERR_TUN_IO);
    return -1;
  }
  LogPrint(LOG_DEBUG, "Recv exit tun IO loop message\n");
  return 0;
}

void TunIoLoopThread::Stop() { thread_.Stop(); }

}  // namespace brindleway
