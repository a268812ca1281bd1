// vqpipe: the client application's side of the tunnel service's pipes, for
// the demo and for trying the service by hand (same VQ_ROOT as the service).
//
//   vqpipe open HOST PORT USER PASS [INIT]   open the channel; waits until it
//                                            is connected or fails (30 s)
//   vqpipe status                            the status reply, decoded
//   vqpipe close                             close the channel; waits until
//                                            it is idle (10 s)
//
// While an open waits, vqpipe also serves the report pipe and prints every
// report; a failed open names the event code the service reported.
// Exit status: 0 done, 1 the service refused or the open failed, 2 usage,
// 3 the service does not answer on its command pipe.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/service/gui_command.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"
#include "support/conn_info_codec.h"
#include "support/event_codes.h"
#include "support/wire.h"

namespace {

using namespace brindleway;
using Clock = std::chrono::steady_clock;

// The service's "hide the window" progress report of an open.
constexpr uint32_t kEventHideWindow = 120;
constexpr int kCommandTimeoutMs = 2000;
constexpr int kPollMs = 200;
constexpr auto kOpenWait = std::chrono::seconds(30);
constexpr auto kCloseWait = std::chrono::seconds(10);

int Usage() {
  std::fputs(
      "usage: vqpipe open HOST PORT USER PASS [INIT]\n"
      "       vqpipe status\n"
      "       vqpipe close\n",
      stderr);
  return 2;
}

const char* StateName(uint32_t state) {
  switch (state) {
    case CHANNEL_STATE_CLOSING:
      return "closing";
    case CHANNEL_STATE_IDLE:
      return "idle";
    case CHANNEL_STATE_CONNECTING:
      return "connecting";
    case CHANNEL_STATE_RECONNECTING:
      return "reconnecting";
    case CHANNEL_STATE_CONNECTED:
      return "connected";
    default:
      return "unknown";
  }
}

// One command; the reply, or nullopt (reported) when the service did not answer.
std::optional<std::vector<uint8_t>> Command(const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply;
  const uint32_t error = platform::pipe::Transact(kCommandPipeName, request, reply, platform::pipe::kMaxMessage,
                                                  kCommandTimeoutMs, kCommandTimeoutMs);
  if (error != 0 || reply.empty()) {
    std::fprintf(stderr, "vqpipe: the tunnel service does not answer on its command pipe (error %u)\n", error);
    return std::nullopt;
  }
  return reply;
}

std::optional<std::vector<uint8_t>> Inquire() {
  auto reply = Command({VQ_INQUERY});
  if (reply && reply->size() < kInqueryReplySize) {
    std::fprintf(stderr, "vqpipe: short status reply (%zu bytes)\n", reply->size());
    return std::nullopt;
  }
  return reply;
}

uint32_t StateOf(const std::vector<uint8_t>& status) { return wire::GetU32(status.data() + 37); }

// The result word of a command's reply (bytes 1..4); nonzero is printed.
bool Accepted(const std::vector<uint8_t>& reply, const char* what) {
  const uint32_t result = reply.size() >= 5 ? wire::GetU32(reply.data() + 1) : 0xFFFFFFFF;
  if (result != 0) std::fprintf(stderr, "vqpipe: the service refused the %s command (result %u)\n", what, result);
  return result == 0;
}

std::string Dotted(const uint8_t* bytes) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, bytes, text, sizeof text);
  return text;
}

int Status() {
  const auto s = Inquire();
  if (!s) return 3;
  const uint8_t* p = s->data();
  std::printf("state:          %u (%s)\n", StateOf(*s), StateName(StateOf(*s)));
  std::printf("gateway:        %s\n", Dotted(p + 5).c_str());
  std::printf("local address:  %s\n", Dotted(p + 9).c_str());
  std::printf("packets in/out: %u / %u\n", wire::GetU32(p + 13), wire::GetU32(p + 17));
  std::printf("bytes in/out:   %u / %u\n", wire::GetU32(p + 21), wire::GetU32(p + 25));
  std::printf("connected for:  %.0f s\n", wire::GetF64(p + 29));
  std::printf("cipher, hash:   %u, %u\n", wire::GetU16(p + 41), wire::GetU16(p + 43));
  return 0;
}

// Serves the report pipe on its own thread and keeps the event codes.
class ReportListener {
 public:
  ReportListener() {
    const uint32_t error = server_.Create(kReportPipeName, 0666);
    if (error != 0) {
      std::printf("(reports not shown: the report pipe is taken, error %u)\n", error);
      return;
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~ReportListener() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
  }
  ReportListener(const ReportListener&) = delete;
  ReportListener& operator=(const ReportListener&) = delete;

  std::vector<uint32_t> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  void Run() {
    for (;;) {
      platform::pipe::PipeConnection connection;
      if (server_.Accept(connection, stop_) != 0) return;
      std::vector<uint8_t> message;
      if (connection.Read(message, platform::pipe::kMaxMessage, 1000, &stop_) != 0 || message.empty()) continue;
      if (message[0] == VQ_EVENT && message.size() >= 5) {
        const uint32_t code = wire::GetU32(message.data() + 1);
        const char* text = EventCodeText(static_cast<int>(code));
        std::printf("  report: event %u%s%s\n", code, text ? " - " : "", text ? text : "");
        std::fflush(stdout);
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(code);
      } else {
        std::printf("  report: message type %u, %zu bytes\n", message[0], message.size());
        std::fflush(stdout);
      }
    }
  }

  platform::pipe::PipeServer server_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::mutex mutex_;
  std::vector<uint32_t> events_;
  std::thread thread_;
};

// The event that ended an open: anything but progress, success and the
// certificate-date warnings.
std::optional<uint32_t> FailureEvent(const std::vector<uint32_t>& events) {
  for (uint32_t code : events) {
    if (code != kEventHideWindow && code != VQ_EVT_CONNECTED && code != VQ_EVT_CERT_EXPIRED &&
        code != VQ_EVT_CERT_NOT_YET_VALID)
      return code;
  }
  return std::nullopt;
}

int Open(int argc, char** argv) {
  if (argc < 6 || argc > 7) return Usage();
  conn_info info;
  info.host = argv[2];
  info.port = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  info.auth_type = AUTH_TYPE_PASSWORD;
  info.user = argv[4];
  info.secret1 = argv[5];
  info.init = argc == 7 ? static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 0)) : 0;
  std::vector<uint8_t> request(1 + conn_info::kWireSize, 0);
  request[0] = VQ_OPEN_CHANNEL;
  if (info.port == 0 || info.port > 65535 || !EncodeConnInfo(info, request.data() + 1)) return Usage();

  ReportListener reports;
  const auto reply = Command(request);
  if (!reply) return 3;
  if (!Accepted(*reply, "open")) return 1;
  std::printf("open sent to the tunnel service: %s:%u as %s\n", info.host.c_str(), info.port, info.user.c_str());
  std::fflush(stdout);

  const auto deadline = Clock::now() + kOpenWait;
  while (Clock::now() < deadline) {
    const auto status = Inquire();
    if (!status) return 3;
    const uint32_t state = StateOf(*status);
    if (state == CHANNEL_STATE_CONNECTED) {
      std::printf("connected\n");
      return 0;
    }
    if (const auto failure = FailureEvent(reports.Events());
        failure && state != CHANNEL_STATE_CONNECTING && state != CHANNEL_STATE_RECONNECTING) {
      const char* text = EventCodeText(static_cast<int>(*failure));
      std::printf("open failed with event %u%s%s\n", *failure, text ? ": " : "", text ? text : "");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  std::printf("open failed: not connected after %lld s (see the service log)\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kOpenWait).count()));
  return 1;
}

int Close() {
  const auto reply = Command({VQ_CLOSE_CHANNEL});
  if (!reply) return 3;
  if (!Accepted(*reply, "close")) return 1;
  const auto deadline = Clock::now() + kCloseWait;
  while (Clock::now() < deadline) {
    const auto status = Inquire();
    if (!status) return 3;
    if (StateOf(*status) == CHANNEL_STATE_IDLE) {
      std::printf("closed\n");
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  std::printf("close: the channel is not idle after %lld s\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kCloseWait).count()));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "open") return Open(argc, argv);
  if (command == "status" && argc == 2) return Status();
  if (command == "close" && argc == 2) return Close();
  return Usage();
}
