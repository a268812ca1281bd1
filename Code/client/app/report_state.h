// What the tunnel service's reports leave for the rest of the client: the
// portal URL and its menu titles, the gateway credential, and the flags the
// tray menu, the update trigger and the preferred-gateway switch read.
// Written by the report dispatcher, read from the UI thread and workers:
// the flags are atomics, the texts are copied out under one lock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace client {

class ReportState {
 public:
  struct PortalTitles {
    std::string english;
    std::string chinese;
  };

  std::string PortalUrl() const {
    std::lock_guard lock(mutex_);
    return portalUrl_;
  }
  void SetPortalUrl(std::string url) {
    std::lock_guard lock(mutex_);
    portalUrl_ = std::move(url);
  }

  PortalTitles Titles() const {
    std::lock_guard lock(mutex_);
    return titles_;
  }
  void SetTitles(PortalTitles titles) {
    std::lock_guard lock(mutex_);
    titles_ = std::move(titles);
  }

  std::string GatewayCredential() const {
    std::lock_guard lock(mutex_);
    return credential_;
  }
  void SetGatewayCredential(std::string credential) {
    std::lock_guard lock(mutex_);
    credential_ = std::move(credential);
  }

  // A new connect starts clean: one gateway's URL or cookie never serves
  // the next.
  void ClearForConnect() {
    std::lock_guard lock(mutex_);
    portalUrl_.clear();
    credential_.clear();
    urlPending = false;
    useCredential = false;
  }

  std::atomic<bool> urlPending{false};
  std::atomic<bool> portalItemInserted{false};
  std::atomic<bool> changePasswordItemInserted{false};
  std::atomic<bool> useCredential{false};
  std::atomic<bool> hostCheckBalloon{false};
  std::atomic<bool> event45Retried{false};
  std::atomic<bool> loginHidden{false};
  // Set by the tray menu while the status is 2 or 3; the login dialog reads it.
  std::atomic<bool> connecting{false};
  // The preferred-gateway switch: running, list tried, done.
  std::atomic<bool> processProxIp{false};
  std::atomic<bool> proxListTried{false};
  std::atomic<bool> proxSwitchDone{false};

 private:
  mutable std::mutex mutex_;
  std::string portalUrl_;
  PortalTitles titles_;
  std::string credential_;
};

}  // namespace client
