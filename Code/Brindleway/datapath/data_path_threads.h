// The data path's lifetime while a tunnel is up: the packet buffer pool,
// TunIoLoopThread and TunKeepAliveThread, started together on one
// DataPathContext and stopped together.
//
// Start: running flag set, last-traffic tick = now, pool made (unless one
// exists), the I/O loop started, then the keep-alive. Stop: the I/O loop
// stopped and joined, then the keep-alive, running flag cleared, and only
// then the pool released, so no thread is left holding its buffers.
#pragma once

#include <optional>

#include "Brindleway/datapath/data_path_context.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/tun_io_loop.h"
#include "Brindleway/datapath/tun_keepalive.h"
#include "platform/sync/event.h"

namespace brindleway {

class DataPathThreads {
 public:
  // The two stop events (ChannelContext::tunIoStop, ::tunKeepAliveStop).
  DataPathThreads(platform::Event& ioStop, platform::Event& keepAliveStop);
  // Stops.
  ~DataPathThreads();
  DataPathThreads(const DataPathThreads&) = delete;
  DataPathThreads& operator=(const DataPathThreads&) = delete;

  // ctx (and the adapter and socket it names) must stay valid until Stop()
  // returns. A running data path is stopped first.
  void Start(DataPathContext& ctx, TunKeepAliveSenders senders = {});
  // Safe when nothing was started; may be called again.
  void Stop();
  bool Started() const { return ctx_ != nullptr; }

  TunIoLoopThread& IoLoop() { return ioLoop_; }
  TunKeepAliveThread& KeepAlive() { return keepAlive_; }

 private:
  std::optional<PacketBufferPool> pool_;
  TunIoLoopThread ioLoop_;
  TunKeepAliveThread keepAlive_;
  DataPathContext* ctx_ = nullptr;
};

}  // namespace brindleway
