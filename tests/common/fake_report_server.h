// Plays the client application's report pipe: records every message the
// tunnel service sends and answers from a script (no answer by default).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"

namespace vqtest {

class FakeReportServer {
 public:
  using Bytes = std::vector<uint8_t>;
  // Answer for a request; an empty answer closes the connection without
  // writing; nullopt sends nothing and keeps the connection open until the
  // client closes it.
  using Script = std::function<std::optional<Bytes>(const Bytes& request)>;

  explicit FakeReportServer(std::string pipeName = "\\\\.\\pipe\\VardenlowMarrowlantern", Script script = {});
  ~FakeReportServer();
  FakeReportServer(const FakeReportServer&) = delete;
  FakeReportServer& operator=(const FakeReportServer&) = delete;

  void SetScript(Script script);
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
  std::vector<Bytes> messages_;
  std::thread thread_;
};

// Sends one command to the tunnel service's command pipe and reads the
// reply (500 ms, like the client application).
uint32_t SendCommand(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, int timeoutMs = 500);

}  // namespace vqtest
