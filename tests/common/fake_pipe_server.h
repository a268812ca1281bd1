// Serves any pipe name with scripted answers and records every message: the
// client application's report pipe for the tunnel service's tests, the web
// control pipe or the tunnel service's command pipe for the client's.
// Each connection carries one message and at most one answer.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"

namespace vqtest {

class FakePipeServer {
 public:
  using Bytes = std::vector<uint8_t>;
  // Answer for a request; an empty answer closes the connection without
  // writing; nullopt sends nothing and keeps the connection open until the
  // client closes it.
  using Script = std::function<std::optional<Bytes>(const Bytes& request)>;

  explicit FakePipeServer(std::string pipeName = "\\\\.\\pipe\\VardenlowMarrowlantern", Script script = {},
                          mode_t mode = 0600);
  ~FakePipeServer();
  FakePipeServer(const FakePipeServer&) = delete;
  FakePipeServer& operator=(const FakePipeServer&) = delete;

  // The answer for every request without a script of its own command.
  void SetScript(Script script);
  // The answer for requests whose byte 0 is command.
  void SetCommandScript(uint8_t command, Script script);
  // Answers to command are written delayMs after the request arrived.
  void SetReplyDelay(uint8_t command, int delayMs);

  std::vector<Bytes> Messages();
  // Waits (real time, up to 10 s) until at least n messages arrived.
  bool WaitMessages(size_t n);

 private:
  void Loop();

  std::string name_;
  platform::pipe::PipeServer server_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::mutex mutex_;
  Script script_;
  std::map<uint8_t, Script> commandScripts_;
  std::map<uint8_t, int> delays_;
  std::vector<Bytes> messages_;
  std::thread thread_;
};

// Sends one command to the tunnel service's command pipe and reads the
// reply (500 ms, like the client application).
uint32_t SendCommand(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, int timeoutMs = 500);

}  // namespace vqtest
