#include "platform/net/netlink_socket.h"

#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cerrno>

namespace platform::net {

void NlMsgFree::operator()(nl_msg* msg) const { nlmsg_free(msg); }
void NlCacheFree::operator()(nl_cache* cache) const { nl_cache_free(cache); }

NetlinkSocket::~NetlinkSocket() {
  if (sock_ != nullptr) nl_socket_free(sock_);
}

int ErrnoFromNl(int nlErr) {
  switch (nlErr < 0 ? -nlErr : nlErr) {
    case 0: return 0;
    case NLE_NOMEM: return ENOMEM;
    case NLE_EXIST: return EEXIST;
    case NLE_OBJ_NOTFOUND: return ESRCH;
    case NLE_PERM: return EPERM;
    case NLE_NOACCESS: return EACCES;
    case NLE_INVAL:
    case NLE_RANGE:
    case NLE_MISSING_ATTR: return EINVAL;
    case NLE_NODEV: return ENODEV;
    case NLE_NOADDR: return EADDRNOTAVAIL;
    case NLE_AGAIN: return EAGAIN;
    case NLE_BUSY: return EBUSY;
    case NLE_OPNOTSUPP: return EOPNOTSUPP;
    case NLE_AF_NOSUPPORT: return EAFNOSUPPORT;
    default: return EIO;
  }
}

int NetlinkSocket::Open() {
  if (sock_ != nullptr) return 0;
  sock_ = nl_socket_alloc();
  if (sock_ == nullptr) return ENOMEM;
  if (int err = nl_connect(sock_, NETLINK_ROUTE); err < 0) {
    nl_socket_free(sock_);
    sock_ = nullptr;
    return ErrnoFromNl(err);
  }
  return 0;
}

namespace {

struct Exchange {
  int (*fn)(nl_msg*, void*) = nullptr;
  void* ctx = nullptr;
  int err = 0;
  bool done = false;
};

int OnError(sockaddr_nl*, nlmsgerr* e, void* arg) {
  auto* x = static_cast<Exchange*>(arg);
  x->err = e->error < 0 ? -e->error : e->error;
  x->done = true;
  return NL_STOP;
}

int OnAck(nl_msg*, void* arg) {
  static_cast<Exchange*>(arg)->done = true;
  return NL_STOP;
}

int OnFinish(nl_msg*, void* arg) {
  static_cast<Exchange*>(arg)->done = true;
  return NL_STOP;
}

int OnValid(nl_msg* msg, void* arg) {
  auto* x = static_cast<Exchange*>(arg);
  if (x->fn != nullptr && x->err == 0) {
    if (int r = x->fn(msg, x->ctx); r != 0) x->err = r;
  }
  return NL_OK;
}

struct CbFree {
  void operator()(nl_cb* cb) const { nl_cb_put(cb); }
};

int Run(nl_sock* sock, nl_msg* msg, Exchange& x) {
  std::unique_ptr<nl_cb, CbFree> cb(nl_cb_alloc(NL_CB_DEFAULT));
  if (!cb) return ENOMEM;
  nl_cb_err(cb.get(), NL_CB_CUSTOM, OnError, &x);
  nl_cb_set(cb.get(), NL_CB_ACK, NL_CB_CUSTOM, OnAck, &x);
  nl_cb_set(cb.get(), NL_CB_FINISH, NL_CB_CUSTOM, OnFinish, &x);
  nl_cb_set(cb.get(), NL_CB_VALID, NL_CB_CUSTOM, OnValid, &x);
  if (int r = nl_send_auto(sock, msg); r < 0) return ErrnoFromNl(r);
  while (!x.done) {
    const int r = nl_recvmsgs(sock, cb.get());
    if (r < 0 && !x.done) return ErrnoFromNl(r);
  }
  return x.err;
}

}  // namespace

int NetlinkSocket::Request(nl_msg* msg) {
  if (int err = Open(); err != 0) return err;
  Exchange x;
  return Run(sock_, msg, x);
}

int NetlinkSocket::QueryImpl(nl_msg* msg, int (*fn)(nl_msg*, void*), void* ctx) {
  if (int err = Open(); err != 0) return err;
  Exchange x;
  x.fn = fn;
  x.ctx = ctx;
  return Run(sock_, msg, x);
}

}  // namespace platform::net
