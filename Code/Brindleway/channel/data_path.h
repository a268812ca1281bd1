// The data path of one channel, after the key exchange:
//
// StartTunnel:
//   1. keys must be in place (state 7), else 41
//   2. the tunnel interface with the assigned address (41)
//   3. the UDP data socket: any address, port chosen by the system,
//      receive buffer 65536 (42, 43)
//   4. the data-path context: socket, both ends of the control connection,
//      netmask, the gateway's UDP port
//   5. the best route to the gateway kept; DHCP client running
//   6. routes (45), DNS servers, DNS priority, WINS servers
//   7. the I/O loop and the tunnel keep-alive threads; connect time
// StopTunnel undoes it in reverse: threads joined first, logout, control
// channel closed, socket closed, DNS, WINS and routes taken back, the
// interface released, channel state 1.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "Brindleway/adapter/session_routes.h"
#include "Brindleway/adapter/tun_device.h"
#include "Brindleway/channel/keep_alive_threads.h"
#include "Brindleway/common/channel_context.h"
#include "Brindleway/control/control_channel.h"
#include "Brindleway/datapath/data_path_context.h"
#include "Brindleway/datapath/data_path_threads.h"
#include "platform/sync/clock.h"
#include "platform/unique_fd.h"

namespace brindleway {

// Codes of StartTunnel.
inline constexpr int VQ_ERR_TUNNEL_INTERFACE = 41;
inline constexpr int VQ_ERR_TUNNEL_SOCKET = 42;
inline constexpr int VQ_ERR_TUNNEL_BIND = 43;
inline constexpr int VQ_ERR_TUNNEL_ROUTE = 45;
// The data socket's receive buffer. Here it is the only room a burst from
// the gateway has while the inbound thread is busy (no receives are posted
// ahead), and a coalesced message counts whole against it; 64 KiB held
// about two of them and dropped the rest of a download's bursts.
inline constexpr int kDataSocketReceiveBuffer = 4 << 20;

class DataPath {
 public:
  DataPath(ChannelContext& ctx, PostToChannelThread post, platform::Clock& clock = platform::SystemClock());
  ~DataPath();
  DataPath(const DataPath&) = delete;
  DataPath& operator=(const DataPath&) = delete;

  // 0 or 41, 42, 43, 45; a failure leaves nothing of the data path behind.
  int StartTunnel(CChannelSession& session);
  // Safe when nothing was started; may run again.
  void StopTunnel(CChannelSession& session);

  // What the status and the tests read.
  const DataPathContext* Context() const { return context_.get(); }
  TunDevice* Tun() { return tun_.get(); }

 private:
  // Releases the socket and the interface (after the threads ended).
  void Release(CChannelSession& session);

  ChannelContext& ctx_;
  PostToChannelThread post_;
  platform::Clock& clock_;
  // The session's critical section: the close re-enters it through the
  // route and WINS removal.
  std::recursive_mutex lock_;
  std::unique_ptr<TunDevice> tun_;
  platform::UniqueFd socket_;
  std::unique_ptr<DataPathContext> context_;
  DataPathThreads threads_;
  SessionRoutes routes_;
};

}  // namespace brindleway
