// The client side of the tunnel service's command pipe: one sender per
// command, the 1000 ms status poll with the status block it fills, and the
// start and stop of the service "Marrowlantern" through the service layer.
//
// Senders run on any thread; their boxes (91 "Cannot connect to the
// service", 92 "Error command") are owned by the main window, posted to it
// from a worker (which never waits for the answer). The poll and the status block belong to the
// UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "client/app/status_block.h"
#include "support/command_pipe.h"
#include "support/conn_info.h"
#include "support/service_control.h"

namespace client {

class ClientApp;

// How many starts a connect tries when the service is not running, one
// second apart.
inline constexpr int kServiceStartTries = 7;
inline constexpr uint32_t kServiceStartPauseMs = 1000;

class ServiceLink {
 public:
  struct Env {
    // The service manager RunNetStart and RunNetStop use (empty: the
    // system's) with the pause of its waits, and the pause between two
    // starts of a connect (empty: real sleeps).
    CServiceControl::ManagerFactory openManager;
    CServiceControl::SleepFunction managerSleep;
    CServiceControl::SleepFunction sleep;
  };

  explicit ServiceLink(ClientApp& app, Env env = {});

  // 0 once the service took the open; -1 for a wrong reply (box 92); else
  // the transaction's or the service start's error (box 91).
  int SendConnectCommand(const conn_info& conn);
  void SendDisconnectCommand();
  // 0 with the block stored; -1 for a wrong reply or a non-zero result;
  // else the transaction's error (the block cleared, status 1).
  int SendInqueryCommand();
  void SendAutoLogonFlag(bool on);
  void ApplyAutoLogonFlag(bool on);
  void SendTraceMaskCommand(uint32_t mask);
  // Passwords are UTF-8; each must fit 127 bytes in the ANSI code page,
  // else 87 and nothing is sent. 0, -1 for a wrong reply, else the error.
  int SendChangePasswordCommand(std::string_view oldPassword, std::string_view newPassword);
  // The SMS code the user typed ([11] code NUL) and the request for a new
  // code ([12]): 0, -1 for a wrong reply (box 92), -3 for a code of 4095
  // characters or more (nothing sent), else the transaction's error (box 91).
  int SendSmsAuthCode(std::string_view code);
  int SendSmsAuthRequest();
  void ClearStatusBlock();

  // 0 when the service runs (or stopped), else the service layer's error.
  uint32_t RunNetStart();
  uint32_t RunNetStop();

  const StatusBlock& Status() const { return status_; }

 private:
  std::unique_ptr<CServiceControl> Control();
  void ShowTopMostError(uint32_t stringId);
  // A command the user waits for: box 91 after a failed transaction (its
  // error), box 92 and wrongReply logged for a reply that does not accept
  // the command (-1); else 0.
  int Outcome(uint32_t error, const std::vector<uint8_t>& reply, uint8_t command, const char* wrongReply);

  ClientApp& app_;
  Env env_;
  StatusBlock status_;
};

}  // namespace client
