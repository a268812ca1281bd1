#include "common/fake_report_server.h"

#include <chrono>
#include <stdexcept>

#include "common/eventually.h"

namespace vqtest {

FakeReportServer::FakeReportServer(std::string pipeName, Script script)
    : name_(std::move(pipeName)), script_(std::move(script)) {
  if (server_.Create(name_, 0600) != 0) throw std::runtime_error("report pipe cannot be served");
  thread_ = std::thread([this] { Loop(); });
}

FakeReportServer::~FakeReportServer() {
  stop_.Set();
  thread_.join();
}

void FakeReportServer::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

std::vector<FakeReportServer::Bytes> FakeReportServer::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool FakeReportServer::WaitMessages(size_t n) {
  return Eventually([&] { return Messages().size() >= n; });
}

void FakeReportServer::Loop() {
  for (;;) {
    platform::pipe::PipeConnection connection;
    if (server_.Accept(connection, stop_) != 0) return;
    // Every report is its own connection: one message, at most one answer.
    Bytes request;
    if (connection.Read(request, platform::pipe::kMaxMessage, 2000, &stop_) != 0 || request.empty()) continue;
    std::optional<Bytes> answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(request);
      if (script_) answer = script_(request);
    }
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
