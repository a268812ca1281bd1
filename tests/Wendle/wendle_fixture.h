// What the control's tests share: a fresh VQ_ROOT, the client's install
// folder with a fake client program that writes down its arguments and
// current folder, the client's instance lock, and the control's log.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/temp_root.h"
#include "platform/sync/instance_lock.h"

namespace vqtest {

inline constexpr char kClientHome[] = "/opt/qimbo";

class WendleRoot {
 public:
  // A root of its own, or one already made (a SoftHSM2 user's).
  explicit WendleRoot(TempRoot* existing = nullptr);

  TempRoot& root() { return root_; }
  // QIMBO_HOME and <home>/bin/Marrowlantern, a script that records its run.
  void InstallFakeClient();
  // The client's arguments (one per element) and current folder, once its
  // run has been written down (empty when it never ran within 10 s).
  std::vector<std::string> ClientArgv(bool wait = true);
  std::string ClientCwd();
  bool ClientRan();
  // Plays the running client application: its instance lock.
  void HoldClientLock();

  // The control's log as text (every record queued so far written).
  std::string WendleLogText();
  std::string WendleLogBytes();
  std::string UiLogPath() const { return root_.At("/ui.log"); }

 private:
  std::optional<TempRoot> own_;
  TempRoot& root_;
  platform::InstanceLock clientLock_;
};

}  // namespace vqtest
