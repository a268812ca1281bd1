// test_gateway: the test gateway as a program, for the demo and for tests in
// other processes or namespaces.
//
//   test_gateway [--listen ADDR:PORT] [--cert valid|expired|not-yet-valid]
//                [--min-tls 1.0|1.1|1.2|1.3] [--max-tls ...]
//                [--proxy 200|long200|split200|407] [--silent]
//                [--negotiate v1|v2]
//
// --negotiate plays the whole negotiation of a version-1 or version-2
// gateway on every connection, with the script's default values.
//
// Prints "listening on PORT" once ready; runs until SIGINT or SIGTERM.
#include <openssl/ssl.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "gateway/negotiation_script.h"
#include "gateway/tls_gateway.h"

namespace {

int Version(const std::string& text) {
  if (text == "1.0") return TLS1_VERSION;
  if (text == "1.1") return TLS1_1_VERSION;
  if (text == "1.2") return TLS1_2_VERSION;
  if (text == "1.3") return TLS1_3_VERSION;
  return -1;
}

int Usage() {
  std::cerr << "usage: test_gateway [--listen ADDR:PORT] [--cert valid|expired|not-yet-valid]\n"
               "                    [--min-tls V] [--max-tls V] [--proxy 200|long200|split200|407] [--silent]\n"
               "                    [--negotiate v1|v2]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vqgw::GatewayOptions options;
  vqgw::CertKind kind = vqgw::CertKind::Valid;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--negotiate" && hasValue) {
      const std::string value = argv[++i];
      if (value != "v1" && value != "v2") return Usage();
      options.script = vqgw::HappyPathScript({.version = value == "v1" ? vqgw::kVersion1 : vqgw::kVersion2});
    } else if (arg == "--listen" && hasValue) {
      const std::string value = argv[++i];
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos) return Usage();
      options.address = value.substr(0, colon);
      options.port = static_cast<uint16_t>(std::stoi(value.substr(colon + 1)));
    } else if (arg == "--cert" && hasValue) {
      const std::string value = argv[++i];
      if (value == "valid") {
        kind = vqgw::CertKind::Valid;
      } else if (value == "expired") {
        kind = vqgw::CertKind::Expired;
      } else if (value == "not-yet-valid") {
        kind = vqgw::CertKind::NotYetValid;
      } else {
        return Usage();
      }
    } else if ((arg == "--min-tls" || arg == "--max-tls") && hasValue) {
      const int v = Version(argv[++i]);
      if (v < 0) return Usage();
      (arg == "--min-tls" ? options.minVersion : options.maxVersion) = v;
    } else if (arg == "--proxy" && hasValue) {
      const std::string value = argv[++i];
      options.proxy = true;
      if (value == "200") {
        options.proxyReply = vqgw::ProxyReplyOk();
      } else if (value == "long200") {
        options.proxyReply = vqgw::ProxyReplyLong();
      } else if (value == "split200") {
        options.proxyReply = vqgw::ProxyReplySplit();
      } else if (value == "407") {
        options.proxyReply = vqgw::ProxyReply407();
      } else {
        return Usage();
      }
    } else {
      return Usage();
    }
  }
  options.cert = vqgw::MakeTestCert(kind);

  // The gateway's thread must not take the stop signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  vqgw::TlsGateway gateway(options);
  std::printf("listening on %u\n", static_cast<unsigned>(gateway.Port()));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}
