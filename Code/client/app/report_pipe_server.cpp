// The report pipe's two threads:
//   server (the caller's): create the pipe (0666) -> accept -> the peer's
//     uid must be 0 or ours -> read one message (2 s) -> queue it;
//   dispatcher: take the oldest -> ProcessBrindlewayCommand -> write the
//     reply (500 ms) -> close.
// The stop event ends the accept; the dispatcher finishes the report in
// hand, is joined, and what is still queued is closed unanswered.
#include "client/app/report_pipe_server.h"

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/report_dispatcher.h"
#include "platform/pipe/pipe.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {
namespace {

namespace pipe = platform::pipe;

constexpr mode_t kReportPipeMode = 0666;
// The pause after an accept that failed, so a lasting failure is no spin.
constexpr int kAcceptRetryMs = 50;

struct Report {
  pipe::PipeConnection connection;
  std::vector<uint8_t> message;
};

// The reports accepted and not yet handled, oldest first.
class ReportQueue {
 public:
  void Push(Report report) {
    {
      std::lock_guard lock(mutex_);
      reports_.push_back(std::move(report));
    }
    cv_.notify_one();
  }
  // The oldest report; false once closed.
  bool Pop(Report& out) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return closed_ || !reports_.empty(); });
    if (closed_) return false;
    out = std::move(reports_.front());
    reports_.pop_front();
    return true;
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      reports_.clear();
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Report> reports_;
  bool closed_ = false;
};

void DispatchReports(ClientApp& app, ReportQueue& queue) {
  Report report;
  while (queue.Pop(report)) {
    const std::vector<uint8_t> reply = ProcessBrindlewayCommand(app, report.message);
    if (!reply.empty()) {
      if (const uint32_t error = report.connection.Write(reply, kReportReplyTimeoutMs)) {
        LogPrint(LOG_DEBUG, "Report reply not written [%d]\n", static_cast<int>(error));
      }
    }
    report.connection.Close();
  }
}

bool PeerAllowed(const pipe::PipeConnection& connection) {
  const uid_t uid = connection.Peer().uid;
  if (uid == 0 || uid == ::geteuid()) return true;
  LogPrint(LOG_ERR, "Report from user %u refused\n", static_cast<unsigned>(uid));
  return false;
}

// Ends the dispatcher (after the report in hand) on every way out.
class Dispatcher {
 public:
  explicit Dispatcher(ClientApp& app) : thread_([this, &app] { DispatchReports(app, queue_); }) {}
  ~Dispatcher() {
    queue_.Close();
    thread_.join();
  }
  void Push(Report report) { queue_.Push(std::move(report)); }

 private:
  ReportQueue queue_;
  std::thread thread_;
};

}  // namespace

void ServeReportPipe(ClientApp& app, const platform::Event& stop) {
  pipe::PipeServer server;
  if (const uint32_t error = server.Create(kMarrowlanternPipeName, kReportPipeMode)) {
    LogPrint(LOG_ERR, "CreateNamedPipe failed [%d]\n", static_cast<int>(error));
    return;
  }
  std::optional<Dispatcher> dispatcher;
  try {
    dispatcher.emplace(app);
  } catch (const std::system_error&) {
    LogPrint(LOG_ERR, "Create BrindlewayHandleThread failed [%d]\n", static_cast<int>(platform::ERROR_NOT_ENOUGH_MEMORY));
    return;
  }
  for (;;) {
    Report report;
    const uint32_t error = server.Accept(report.connection, stop);
    if (error == platform::ERROR_OPERATION_ABORTED) break;
    if (error != 0) {
      LogPrint(LOG_ERR, "ConnectNamedPipe failed [%d]\n", static_cast<int>(error));
      if (stop.Wait(kAcceptRetryMs)) break;
      continue;
    }
    if (!PeerAllowed(report.connection)) continue;
    const uint32_t readError = report.connection.Read(report.message, pipe::kMaxMessage, kReportReadTimeoutMs, &stop);
    if (readError == platform::ERROR_OPERATION_ABORTED) break;
    if (readError != 0 || report.message.empty()) {
      if (readError != 0) LogPrint(LOG_ERR, "Report not read [%d]\n", static_cast<int>(readError));
      continue;
    }
    dispatcher->Push(std::move(report));
  }
}

}  // namespace client
