#include "common/fake_pipe_server.h"

#include <chrono>
#include <stdexcept>

#include "common/eventually.h"

namespace vqtest {

FakePipeServer::FakePipeServer(std::string pipeName, Script script, mode_t mode)
    : name_(std::move(pipeName)), script_(std::move(script)) {
  if (server_.Create(name_, mode) != 0) throw std::runtime_error("pipe " + name_ + " cannot be served");
  thread_ = std::thread([this] { Loop(); });
}

FakePipeServer::~FakePipeServer() {
  stop_.Set();
  thread_.join();
}

void FakePipeServer::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void FakePipeServer::SetCommandScript(uint8_t command, Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  commandScripts_[command] = std::move(script);
}

void FakePipeServer::SetReplyDelay(uint8_t command, int delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  delays_[command] = delayMs;
}

std::vector<FakePipeServer::Bytes> FakePipeServer::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool FakePipeServer::WaitMessages(size_t n) {
  return Eventually([&] { return Messages().size() >= n; });
}

void FakePipeServer::Loop() {
  for (;;) {
    platform::pipe::PipeConnection connection;
    if (server_.Accept(connection, stop_) != 0) return;
    Bytes request;
    if (connection.Read(request, platform::pipe::kMaxMessage, 2000, &stop_) != 0 || request.empty()) continue;
    std::optional<Bytes> answer;
    int delayMs = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(request);
      const auto own = commandScripts_.find(request[0]);
      if (own != commandScripts_.end() && own->second) {
        answer = own->second(request);
      } else if (script_) {
        answer = script_(request);
      }
      if (const auto delay = delays_.find(request[0]); delay != delays_.end()) delayMs = delay->second;
    }
    if (delayMs > 0 && stop_.Wait(delayMs)) return;
    if (answer) {
      if (!answer->empty()) connection.Write(*answer, 2000);
    } else {
      // Hold the connection until the sender gives up on it.
      Bytes ignored;
      connection.Read(ignored, platform::pipe::kMaxMessage, 2000, &stop_);
    }
  }
}

uint32_t SendCommand(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, int timeoutMs) {
  return platform::pipe::Transact("\\\\.\\pipe\\VardenlowBrindleway", request, reply, platform::pipe::kMaxMessage,
                                  timeoutMs, 2000);
}

}  // namespace vqtest
