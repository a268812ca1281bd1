// vqbench_ping: ICMP echo round trips for the tunnel benchmark (the machine
// may have no ping). Prints the median round trip in milliseconds.
//
//   vqbench_ping [-c COUNT] HOST
//
// Exit status: 0 when at least half the echoes were answered, 1 otherwise.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/icmp_echo.h"

int main(int argc, char** argv) {
  int count = 20;
  int i = 1;
  if (argc == 4 && std::string(argv[1]) == "-c") {
    count = std::atoi(argv[2]);
    i = 3;
  }
  if (i != argc - 1 || count < 1) {
    std::fputs("usage: vqbench_ping [-c COUNT] HOST\n", stderr);
    return 2;
  }
  const auto id = static_cast<uint16_t>(::getpid());
  std::vector<double> rtts;
  for (int n = 1; n <= count; ++n) {
    const vqtools::EchoResult echo = vqtools::IcmpEcho(argv[i], id, static_cast<uint16_t>(n), 1000);
    if (echo.ok) rtts.push_back(echo.ms);
    ::usleep(20000);
  }
  if (rtts.size() * 2 < static_cast<size_t>(count)) {
    std::puts("nan");
    return 1;
  }
  std::sort(rtts.begin(), rtts.end());
  std::printf("%.3f\n", rtts[rtts.size() / 2]);
  return 0;
}
