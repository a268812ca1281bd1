#include "platform/service/process_identity.h"

#include <sys/wait.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace platform::service::detail {
namespace {

struct ProcStat {
  char state = '?';
  uint64_t startTime = 0;
};

std::optional<ProcStat> ReadProcStat(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  // The command name (field 2) is in parentheses and may itself hold blanks
  // and parentheses: the fields after it start after the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 1));
  ProcStat st;
  std::string field;
  // Field 3 is the state; field 22 the start time.
  for (int index = 3; index <= 22; ++index) {
    if (!(rest >> field)) return std::nullopt;
    if (index == 3) st.state = field.empty() ? '?' : field[0];
  }
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), st.startTime);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return st;
}

}  // namespace

std::optional<uint64_t> ProcessStartTime(pid_t pid) {
  auto st = ReadProcStat(pid);
  if (!st) return std::nullopt;
  return st->startTime;
}

bool IsProcessAlive(pid_t pid, uint64_t startTime) {
  auto st = ReadProcStat(pid);
  if (!st || st->startTime != startTime) return false;
  if (st->state == 'Z' || st->state == 'X') {
    // Ended; when it is our child (the supervisor spawned it from this
    // process) take its exit status so it does not linger as a zombie. The
    // leader of a threaded process shows 'Z' while its other threads are
    // still being torn down, and until they are gone it cannot be reaped:
    // give that a short while rather than leave the zombie behind.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::waitpid(pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return false;
  }
  return true;
}

}  // namespace platform::service::detail
