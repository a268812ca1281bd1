#include "Brindleway/tun_io_loop.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "Brindleway/constants.h"
#include "Brindleway/debug_trace.h"
#include "Brindleway/device_path.h"
#include "Brindleway/udp_side.h"
#include "support/log.h"

namespace brindleway {
namespace {

int64_t ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

constexpr short kBroken = POLLERR | POLLHUP;

// What poll reported for one side; a broken descriptor wakes every waiting
// operation so the operation itself sees the failure.
void MarkReady(short revents, bool& readPending, bool& writePending) {
  if (readPending && (revents & (POLLIN | kBroken)) != 0) readPending = false;
  if (writePending && (revents & (POLLOUT | kBroken)) != 0) writePending = false;
}

}  // namespace

bool TunIoAllWaiting(const AdapterContext& adapter, const SocketContext& socket) {
  return adapter.readPending && socket.readPending && (adapter.writePending || !adapter.HasWriteWork()) &&
         (socket.writePending || !socket.HasWriteWork());
}

int TunIoNoWait(AdapterContext& adapter, SocketContext& socket) {
  const auto start = std::chrono::steady_clock::now();
  DebugTrace(TRACE_TIMING, "TunIoNoWait\n");
  for (int i = 0; i < kTunIoOpsPerPass && adapter.HasWriteWork() && !adapter.writePending; ++i) {
    DebugTrace(TRACE_TIMING, "TunIoNoWait: devicefile_write\n");
    devicefile_write(adapter);
  }
  for (int i = 0; i < kTunIoOpsPerPass && socket.HasWriteWork() && !socket.writePending; ++i) {
    DebugTrace(TRACE_TIMING, "TunIoNoWait: socket_write\n");
    socket_write(socket);
  }
  for (int i = 0; i < kTunIoOpsPerPass && !adapter.readPending; ++i) {
    DebugTrace(TRACE_TIMING, "TunIoNoWait: devicefile_read\n");
    if (devicefile_read(adapter, socket) != 0) return -1;
  }
  for (int i = 0; i < kTunIoOpsPerPass && !socket.readPending; ++i) {
    DebugTrace(TRACE_TIMING, "TunIoNoWait: socket_read\n");
    if (socket_read(socket, adapter) != 0) return -1;
  }
  DebugTrace(TRACE_TIMING, "IO no wait time %u\n", ElapsedMs(start));
  return 0;
}

int TunIoWait(AdapterContext& adapter, SocketContext& socket, const platform::Event& stop) {
  const auto start = std::chrono::steady_clock::now();
  DebugTrace(TRACE_TIMING, "io_wait: dread %d dwrite %d, sread %d swrite %d\n", adapter.readPending,
             adapter.writePending, socket.readPending, socket.writePending);
  pollfd fds[3] = {};
  fds[0] = {stop.Fd(), POLLIN, 0};
  nfds_t count = 1;
  int adapterAt = -1;
  int socketAt = -1;
  const short adapterEvents =
      static_cast<short>((adapter.readPending ? POLLIN : 0) | (adapter.writePending ? POLLOUT : 0));
  if (adapterEvents != 0 && adapter.device != nullptr) {
    adapterAt = static_cast<int>(count);
    fds[count++] = {adapter.device->PollFd(), adapterEvents, 0};
  }
  const short socketEvents =
      static_cast<short>((socket.readPending ? POLLIN : 0) | (socket.writePending ? POLLOUT : 0));
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
  if ((fds[0].revents & (POLLIN | kBroken)) != 0) return 1;
  for (nfds_t i = 1; i < count; ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      LogPrint(LOG_ERR, "Wait Failed, error %d\n", EBADF);
      return -1;
    }
  }
  DebugTrace(TRACE_TIMING, "WaitForMultipleObjectsEx returns %d\n", ready);
  if (adapterAt >= 0) MarkReady(fds[adapterAt].revents, adapter.readPending, adapter.writePending);
  if (socketAt >= 0) MarkReady(fds[socketAt].revents, socket.readPending, socket.writePending);
  DebugTrace(TRACE_TIMING, "IO wait time %u\n", ElapsedMs(start));
  return 0;
}

int TunIoLoop(DataPathContext& ctx, const platform::Event& stop) {
  DebugTrace(TRACE_SETUP, "Starting TunIoLoopThread...\n");
  if (ctx.adapter == nullptr || ctx.udpSocket < 0) {
    ctx.Post(WM_CHANNEL_ERROR, VQ_ERR_TUN_IO);
    return -1;
  }
  AdapterContext adapter = MakeAdapterContext(ctx);
  SocketContext socket = MakeSocketContext(ctx);
  for (;;) {
    // A steady stream of packets never lets the loop wait, so the stop
    // event is looked at on every pass too.
    while (!TunIoAllWaiting(adapter, socket)) {
      if (stop.IsSet()) break;
      if (TunIoNoWait(adapter, socket) != 0) {
        LogPrint(LOG_ERR, "TunnelIoNoWait exception\n");
        ctx.Post(WM_CHANNEL_ERROR, VQ_ERR_TUN_IO);
        return -1;
      }
      DebugTrace(TRACE_TIMING, "%d %d %d %d %x %x\n", adapter.readPending, adapter.writePending, socket.readPending,
                 socket.writePending, adapter.writeQueue.Size(), socket.writeQueue.Size());
    }
    const int waited = stop.IsSet() ? 1 : TunIoWait(adapter, socket, stop);
    if (waited < 0) {
      LogPrint(LOG_ERR, "TunnelIoWait exception\n");
      ctx.Post(WM_CHANNEL_ERROR, VQ_ERR_TUN_IO);
      return -1;
    }
    if (waited == 1) break;
  }
  LogPrint(LOG_DEBUG, "Recv exit tun IO loop message\n");
  return 0;
}

TunIoLoopThread::TunIoLoopThread(platform::Event& stop) : stop_(stop) {}

TunIoLoopThread::~TunIoLoopThread() { Stop(); }

void TunIoLoopThread::Start(DataPathContext& ctx) {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
  running_ = true;
  thread_ = std::thread([this, &ctx] {
    exitCode_ = TunIoLoop(ctx, stop_);
    running_ = false;
  });
}

void TunIoLoopThread::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
}

void TunIoLoopThread::StopLocked() {
  if (!thread_.joinable()) return;
  stop_.Set();
  thread_.join();
  stop_.Reset();
}

}  // namespace brindleway
