// vqbench_gateway: the test gateway for the tunnel benchmark. TLS
// negotiation of a version-2 gateway with the chosen cipher, hash and
// compression, and the UDP data plane forwarding the tunnel's packets to and
// from an existing TUN interface.
//
//   vqbench_gateway --listen ADDR:PORT --tun IFNAME [--cipher ID] [--hash ID] [--compress]
//
// The data plane is keyed from every key request as it arrives. Prints
// "ready" once it listens; runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "gateway/negotiation_script.h"
#include "gateway/tls_gateway.h"
#include "gateway/udp_data_plane.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "platform/tun/tun.h"

namespace {

constexpr uint16_t kZlib = 2;

int Usage() {
  std::fputs("usage: vqbench_gateway --listen ADDR:PORT --tun IFNAME [--cipher ID] [--hash ID] [--compress]\n", stderr);
  return 2;
}

// Keys the data plane from each new key request until stop is set.
void KeyDataPlane(const vqgw::TlsGateway& gateway, vqgateway::UdpDataPlane& dataPlane,
                  const vqgw::KeyReplyOptions& key, const platform::Event& stop) {
  size_t keyed = 0;
  do {
    size_t seen = 0;
    for (const vqgw::ConnectionRecord& c : gateway.Connections()) {
      for (const vqgw::KeyRequest& request : c.keyRequests) {
        if (seen++ < keyed) continue;
        ++keyed;
        if (!request.keyBlock) continue;
        dataPlane.SetEspConfig(vqgw::EspPeerConfigFor(request, key));
        if (request.clientCpi) dataPlane.SetClientCpi(*request.clientCpi);
        std::printf("data plane keyed\n");
        std::fflush(stdout);
      }
    }
  } while (!stop.Wait(50));
}

}  // namespace

int main(int argc, char** argv) {
  vqgw::GatewayOptions options;
  vqgw::NegotiationOptions negotiation{.version = vqgw::kVersion2};
  std::string tunName;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--listen" && hasValue) {
      const std::string value = argv[++i];
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos) return Usage();
      options.address = value.substr(0, colon);
      options.port = static_cast<uint16_t>(std::atoi(value.substr(colon + 1).c_str()));
    } else if (arg == "--tun" && hasValue) {
      tunName = argv[++i];
    } else if (arg == "--cipher" && hasValue) {
      negotiation.key.encryption = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--hash" && hasValue) {
      negotiation.key.hash = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--compress") {
      negotiation.key.compression = kZlib;
    } else {
      return Usage();
    }
  }
  if (tunName.empty()) return Usage();
  options.script = vqgw::HappyPathScript(negotiation);

  // Before any thread starts: the stop signals come through the watcher.
  platform::service::BlockStopSignals();

  std::unique_ptr<platform::tun::Device> tun;
  if (const uint32_t error = platform::tun::OpenTun(tunName, tun); error != 0) {
    std::fprintf(stderr, "vqbench_gateway: cannot open TUN %s (error %u)\n", tunName.c_str(), error);
    return 1;
  }
  vqgateway::UdpDataPlaneOptions udp;
  udp.address = options.address;
  udp.port = negotiation.setIp.udpPort.value_or(4500);
  udp.version = negotiation.version;
  udp.tun = tun.get();
  udp.recordTraffic = false;
  udp.ipcomp = negotiation.key.compression.value_or(0) == kZlib;
  udp.gatewayCpi = negotiation.key.cpi.value_or(0);
  std::unique_ptr<vqgateway::UdpDataPlane> dataPlane;
  try {
    dataPlane = std::make_unique<vqgateway::UdpDataPlane>(udp);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vqbench_gateway: data plane: %s\n", e.what());
    return 1;
  }
  vqgw::TlsGateway gateway(options);
  std::printf("ready\n");
  std::fflush(stdout);

  platform::Event stop(platform::Event::Reset::Manual);
  std::thread keyer([&] { KeyDataPlane(gateway, *dataPlane, negotiation.key, stop); });
  {
    platform::service::StopSignalWatcher signals([&](int) { stop.Set(); });
    stop.Wait();
  }
  keyer.join();
  const vqgateway::UdpDataPlaneStats stats = dataPlane->Stats();
  std::printf("data plane: %d tunnel packets, %d failed to decrypt, %d IPComp failures\n", stats.traffic,
              stats.decapFailures, stats.ipcompFailures);
  return 0;
}
