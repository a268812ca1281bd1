// One rtnetlink connection of the net layer (libnl). Requests report the
// kernel's own errno, so callers can tell "exists" from "unreachable"; libnl's
// folded error codes lose that difference.
#pragma once

#include <memory>

struct nl_sock;
struct nl_msg;
struct nl_cache;

namespace platform::net {

struct NlMsgFree {
  void operator()(nl_msg* msg) const;
};
using NlMsgPtr = std::unique_ptr<nl_msg, NlMsgFree>;

struct NlCacheFree {
  void operator()(nl_cache* cache) const;
};
using NlCachePtr = std::unique_ptr<nl_cache, NlCacheFree>;

class NetlinkSocket {
 public:
  NetlinkSocket() = default;
  ~NetlinkSocket();
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  // Connects to NETLINK_ROUTE; 0 or a positive errno.
  int Open();
  nl_sock* get() const { return sock_; }

  // Sends a change request and waits for its acknowledgement: 0 or the
  // positive errno the kernel answered with.
  int Request(nl_msg* msg);

  // Sends a query and hands each answer message to onReply (which returns
  // 0 to go on). 0 or a positive errno.
  template <typename F>
  int Query(nl_msg* msg, F&& onReply) {
    return QueryImpl(msg, &Thunk<F>, &onReply);
  }

 private:
  template <typename F>
  static int Thunk(nl_msg* msg, void* ctx) {
    return (*static_cast<F*>(ctx))(msg);
  }
  int QueryImpl(nl_msg* msg, int (*fn)(nl_msg*, void*), void* ctx);

  nl_sock* sock_ = nullptr;
};

// The positive errno for one of libnl's negative NLE_ codes.
int ErrnoFromNl(int nlErr);

}  // namespace platform::net
