// vqping: ICMP echo for the demo and the netns tests, where the machine may
// have no ping. Needs root (raw socket); runs in its own network namespace.
//
//   vqping [-c COUNT] [-W SECONDS] HOST
//
// Exit status: 0 when every echo was answered, 1 otherwise, 2 usage.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/icmp_echo.h"

int main(int argc, char** argv) {
  int count = 3;
  int waitSeconds = 2;
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "-c") {
      count = std::atoi(argv[i + 1]);
    } else if (option == "-W") {
      waitSeconds = std::atoi(argv[i + 1]);
    } else {
      break;
    }
  }
  if (i != argc - 1 || count < 1 || waitSeconds < 1) {
    std::fputs("usage: vqping [-c COUNT] [-W SECONDS] HOST\n", stderr);
    return 2;
  }
  const std::string host = argv[i];
  const auto id = static_cast<uint16_t>(::getpid());
  int answered = 0;
  for (int n = 1; n <= count; ++n) {
    if (n > 1) ::sleep(1);
    const vqtools::EchoResult echo = vqtools::IcmpEcho(host, id, static_cast<uint16_t>(n), waitSeconds * 1000);
    if (echo.ok) {
      ++answered;
      std::printf("reply from %s: seq=%d time=%.2f ms\n", host.c_str(), n, echo.ms);
    } else {
      std::printf("no reply from %s: seq=%d (%s)\n", host.c_str(), n, echo.error.c_str());
    }
    std::fflush(stdout);
  }
  std::printf("%d of %d echoes answered\n", answered, count);
  return answered == count ? 0 : 1;
}
