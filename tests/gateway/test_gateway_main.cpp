// test_gateway: the test gateway as a program, for the demo and for tests in
// other processes or namespaces.
//
//   test_gateway [--listen ADDR:PORT] [--cert valid|expired|not-yet-valid|changed]
//                [--save-cert FILE] [--client-ca FILE]
//                [--min-tls 1.0|1.1|1.2|1.3] [--max-tls ...]
//                [--proxy 200|long200|split200|407] [--silent]
//                [--negotiate v1|v2 [--tun IFNAME]]
//                [--preferred IP:TCP:UDP[,...] [--proximity]] [--echo DELAY_MS|silent]
//                [--portal DIR [--portal-user U --portal-session S] [--portal-password P] [--portal-http PORT]
//                 [--portal-fault PATH:stall=MS|cut=BYTES|status=CODE]...]
//
// --negotiate plays the whole negotiation of a version-1 or version-2
// gateway on every connection, with the script's default values (tunnel
// address 10.8.0.2/24, gateway 10.8.0.1, UDP port 4500).
// --tun adds the UDP data plane on the listen address and that port, keyed
// from each key request as it arrives, forwarding the tunnel's packets to
// and from the existing TUN interface IFNAME: the whole gateway.
//
// --preferred answers the client information with those preferred
// gateways (payload 20; 21, which asks for proximity detection, with
// --proximity); needs --negotiate. --echo answers the proximity probes on
// the listen address and the UDP port of SET_IP after DELAY_MS, or never
// (not with --tun, which owns that port).
//
// --cert changed shows a new certificate on every connection after the
// first; --save-cert writes the (first) certificate as PEM, for a client's
// trust store; --client-ca requires a client certificate issued by the CA
// of that PEM file.
//
// --portal serves the files of DIR over HTTPS on the same port (a request
// instead of the control protocol), to the portal session U/S when given;
// --portal-password P adds the login form "/login.html", whose answer to
// the user U and the password P opens a portal session;
// --portal-http serves them over plain HTTP on PORT too.
// --portal-fault changes the answer for one file of DIR: a pause of MS
// before its body, the connection dropped after BYTES of it, or the status
// CODE instead.
//
// Prints "listening on PORT" once ready, then a line for each thing a
// client does; runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <thread>

#include "gateway/negotiation_script.h"
#include "gateway/portal_login.h"
#include "gateway/test_chain.h"
#include "gateway/tls_gateway.h"
#include "gateway/udp_echo.h"
#include "gateway/udp_data_plane.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "platform/tun/tun.h"

namespace {

int Version(const std::string& text) {
  if (text == "1.0") return TLS1_VERSION;
  if (text == "1.1") return TLS1_1_VERSION;
  if (text == "1.2") return TLS1_2_VERSION;
  if (text == "1.3") return TLS1_3_VERSION;
  return -1;
}

int Usage() {
  std::cerr << "usage: test_gateway [--listen ADDR:PORT] [--cert valid|expired|not-yet-valid|changed]\n"
               "                    [--save-cert FILE] [--client-ca FILE]\n"
               "                    [--min-tls V] [--max-tls V] [--proxy 200|long200|split200|407] [--silent]\n"
               "                    [--negotiate v1|v2 [--tun IFNAME]]\n"
               "                    [--preferred IP:TCP:UDP[,...] [--proximity]] [--echo DELAY_MS|silent]\n"
               "                    [--portal DIR [--portal-user U --portal-session S] [--portal-password P]\n"
               "                     [--portal-http PORT]\n"
               "                     [--portal-fault PATH:stall=MS|cut=BYTES|status=CODE]...]\n";
  return 2;
}

std::string Endpoint(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// Prints what the clients do, and keys the data plane (when there is one)
// from every new key request, until stop is set.
void Watch(const vqgw::TlsGateway& gateway, vqgateway::UdpDataPlane* dataPlane, const vqgw::KeyReplyOptions& key,
           const platform::Event& stop) {
  struct Seen {
    bool handshake = false;
    bool http = false;
    size_t keyRequests = 0;
    bool finished = false;
  };
  std::vector<Seen> seen;
  vqgateway::UdpDataPlaneStats stats;
  do {
    const std::vector<vqgw::ConnectionRecord> connections = gateway.Connections();
    for (size_t i = 0; i < connections.size(); ++i) {
      const vqgw::ConnectionRecord& c = connections[i];
      if (i == seen.size()) {
        seen.emplace_back();
        std::printf("connection %zu from %s\n", i, Endpoint(c.peer).c_str());
      }
      if (c.handshakeDone && !seen[i].handshake) {
        seen[i].handshake = true;
        std::printf("connection %zu: TLS handshake done%s\n", i,
                    c.clientCertDer.empty() ? "" : " (client certificate)");
      }
      if (!c.handshakeError.empty() && !seen[i].handshake) {
        seen[i].handshake = true;
        std::printf("connection %zu: TLS handshake refused: %s\n", i, c.handshakeError.c_str());
      }
      if (c.http && !seen[i].http) {
        seen[i].http = true;
        std::printf("connection %zu: portal (HTTP)\n", i);
      }
      for (; seen[i].keyRequests < c.keyRequests.size(); ++seen[i].keyRequests) {
        const vqgw::KeyRequest& request = c.keyRequests[seen[i].keyRequests];
        const char* kind = request.type == vqgw::kMsgRekey ? "rekey" : "new key";
        if (dataPlane != nullptr && request.keyBlock) {
          dataPlane->SetEspConfig(vqgw::EspPeerConfigFor(request, key));
          std::printf("connection %zu: %s request; data plane keyed\n", i, kind);
        } else {
          std::printf("connection %zu: %s request\n", i, kind);
        }
      }
      if (c.finished && !seen[i].finished) {
        seen[i].finished = true;
        std::printf("connection %zu: closed%s\n", i, c.peerSentCloseNotify ? " (close_notify)" : "");
      }
    }
    if (dataPlane != nullptr) {
      const vqgateway::UdpDataPlaneStats now = dataPlane->Stats();
      if (now.traffic > 0 && stats.traffic == 0) std::printf("data plane: first tunnel packet from the client\n");
      if (now.logouts > stats.logouts) std::printf("data plane: the client logged out\n");
      if (now.decapFailures > stats.decapFailures)
        std::printf("data plane: %d datagrams failed to decrypt\n", now.decapFailures - stats.decapFailures);
      stats = now;
    }
    std::fflush(stdout);
  } while (!stop.Wait(100));
  if (dataPlane != nullptr) {
    std::printf("data plane: %d tunnel packets, %d keep-alives, %d heart-beats, %d logouts from the client\n",
                stats.traffic, stats.keepAlives, stats.heartBeats, stats.logouts);
    std::fflush(stdout);
  }
}

// "PATH:stall=MS", "PATH:cut=BYTES" or "PATH:status=CODE" for a file of
// the portal's folder.
bool AddPortalFault(const std::shared_ptr<vqgw::Portal>& portal, const std::string& text) {
  const size_t colon = text.rfind(':');
  const size_t equals = text.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || colon == 0 || text[0] != '/' || equals == std::string::npos) return false;
  const std::string path = text.substr(0, colon);
  const std::string kind = text.substr(colon + 1, equals - colon - 1);
  int value = 0;
  try {
    value = std::stoi(text.substr(equals + 1));
  } catch (const std::exception&) {
    return false;
  }
  if (value < 0 || (kind != "stall" && kind != "cut" && kind != "status")) return false;
  std::weak_ptr<vqgw::Portal> weak = portal;
  portal->AddRoute(path, vqgw::PortalRoute{[weak, path, kind, value](const vqgw::PortalRequest&) {
    const std::shared_ptr<vqgw::Portal> owner = weak.lock();
    if (kind == "status") return vqgw::PortalReply::Status(value);
    vqgw::PortalReply reply = owner ? owner->FileReply(path) : vqgw::PortalReply::Status(404);
    if (kind == "stall") reply.stallMs = value;
    if (kind == "cut") reply.cutAfter = static_cast<size_t>(value);
    return reply;
  }});
  return true;
}

// "IP:TCP:UDP[,...]"; nothing when an entry is not of that form.
std::optional<std::vector<vqgw::PreferredGateway>> ParsePreferred(const std::string& text) {
  std::vector<vqgw::PreferredGateway> out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const size_t first = item.find(':');
    const size_t second = first == std::string::npos ? first : item.find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    in_addr address{};
    if (::inet_pton(AF_INET, item.substr(0, first).c_str(), &address) != 1) return std::nullopt;
    vqgw::PreferredGateway g;
    std::memcpy(g.address.data(), &address, 4);
    try {
      g.tcpPort = static_cast<uint32_t>(std::stoul(item.substr(first + 1, second - first - 1)));
      g.udpPort = static_cast<uint32_t>(std::stoul(item.substr(second + 1)));
    } catch (const std::exception&) {
      return std::nullopt;
    }
    if (g.tcpPort > 65535 || g.udpPort > 65535) return std::nullopt;
    out.push_back(g);
    start = comma + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  vqgw::GatewayOptions options;
  vqgw::CertKind kind = vqgw::CertKind::Valid;
  std::optional<vqgw::NegotiationOptions> negotiation;
  std::string tunName;
  std::string saveCert;
  vqgw::PortalOptions portal;
  bool withPortal = false;
  int portalHttpPort = -1;
  std::string portalPassword;
  std::vector<std::string> portalFaults;
  std::optional<std::vector<vqgw::PreferredGateway>> preferred;
  bool proximity = false;
  std::optional<vqgateway::UdpEchoOptions> echo;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--negotiate" && hasValue) {
      const std::string value = argv[++i];
      if (value != "v1" && value != "v2") return Usage();
      negotiation = vqgw::NegotiationOptions{.version = value == "v1" ? vqgw::kVersion1 : vqgw::kVersion2};
      options.script = vqgw::HappyPathScript(*negotiation);
    } else if (arg == "--portal" && hasValue) {
      portal.folder = argv[++i];
      withPortal = true;
    } else if (arg == "--portal-user" && hasValue) {
      portal.sessionUser = argv[++i];
    } else if (arg == "--portal-session" && hasValue) {
      portal.sessionId = argv[++i];
    } else if (arg == "--portal-password" && hasValue) {
      portalPassword = argv[++i];
    } else if (arg == "--portal-fault" && hasValue) {
      portalFaults.push_back(argv[++i]);
    } else if (arg == "--portal-http" && hasValue) {
      portalHttpPort = std::stoi(argv[++i]);
    } else if (arg == "--preferred" && hasValue) {
      preferred = ParsePreferred(argv[++i]);
      if (!preferred) return Usage();
    } else if (arg == "--proximity") {
      proximity = true;
    } else if (arg == "--echo" && hasValue) {
      const std::string value = argv[++i];
      echo.emplace();
      if (value == "silent") {
        echo->silent = true;
      } else {
        try {
          echo->delayMs = std::stoi(value);
        } catch (const std::exception&) {
          return Usage();
        }
        if (echo->delayMs < 0) return Usage();
      }
    } else if (arg == "--tun" && hasValue) {
      tunName = argv[++i];
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
      } else if (value == "changed") {
        kind = vqgw::CertKind::Valid;
        options.newCertEachConnection = true;
      } else {
        return Usage();
      }
    } else if (arg == "--save-cert" && hasValue) {
      saveCert = argv[++i];
    } else if (arg == "--client-ca" && hasValue) {
      options.clientCa = vqgw::ReadPemCert(argv[++i]);
      if (!options.clientCa) {
        std::fprintf(stderr, "test_gateway: no certificate in %s\n", argv[i]);
        return 1;
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
  // The data plane needs the keys of the negotiation.
  if (!tunName.empty() && !negotiation) return Usage();
  if ((preferred || proximity) && !negotiation) return Usage();
  if (echo && !tunName.empty()) return Usage();
  if (preferred) {
    negotiation->clientInfo.preferredGateways = preferred;
    negotiation->clientInfo.proximity = proximity;
    options.script = vqgw::HappyPathScript(*negotiation);
  }
  options.cert = vqgw::MakeTestCert(kind);
  if (!saveCert.empty()) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(saveCert.c_str(), "w"), std::fclose);
    const std::string pem = vqgw::X509ToPem(options.cert->cert.get());
    if (!file || std::fwrite(pem.data(), 1, pem.size(), file.get()) != pem.size()) {
      std::fprintf(stderr, "test_gateway: cannot write %s\n", saveCert.c_str());
      return 1;
    }
  }

  // Before any thread starts: the stop signals come through the watcher.
  platform::service::BlockStopSignals();

  std::unique_ptr<platform::tun::Device> tun;
  std::unique_ptr<vqgateway::UdpDataPlane> dataPlane;
  if (!tunName.empty()) {
    if (const uint32_t error = platform::tun::OpenTun(tunName, tun); error != 0) {
      std::fprintf(stderr, "test_gateway: cannot open TUN %s (error %u)\n", tunName.c_str(), error);
      return 1;
    }
    vqgateway::UdpDataPlaneOptions udp;
    udp.address = options.address;
    udp.port = negotiation->setIp.udpPort.value_or(4500);
    udp.version = negotiation->version;
    udp.tun = tun.get();
    udp.recordTraffic = false;
    try {
      dataPlane = std::make_unique<vqgateway::UdpDataPlane>(udp);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "test_gateway: data plane: %s\n", e.what());
      return 1;
    }
  }

  std::unique_ptr<vqgateway::UdpEchoResponder> echoResponder;
  if (echo) {
    echo->address = options.address;
    echo->port = negotiation ? negotiation->setIp.udpPort.value_or(4500) : 4500;
    try {
      echoResponder = std::make_unique<vqgateway::UdpEchoResponder>(*echo);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "test_gateway: echo: %s\n", e.what());
      return 1;
    }
  }

  std::unique_ptr<vqgw::PortalHttpListener> portalHttp;
  if (withPortal) {
    options.portal = std::make_shared<vqgw::Portal>(portal);
    if (!portalPassword.empty()) vqgw::AddLoginForm(*options.portal, portal.sessionUser, portalPassword);
    for (const std::string& fault : portalFaults)
      if (!AddPortalFault(options.portal, fault)) return Usage();
    if (portalHttpPort >= 0) {
      portalHttp = std::make_unique<vqgw::PortalHttpListener>(options.portal, options.address,
                                                               static_cast<uint16_t>(portalHttpPort));
    }
  } else if (portalHttpPort >= 0) {
    return Usage();
  }
  vqgw::TlsGateway gateway(options);
  std::printf("listening on %u\n", static_cast<unsigned>(gateway.Port()));
  if (portalHttp) std::printf("portal over HTTP on %u\n", static_cast<unsigned>(portalHttp->Port()));
  if (dataPlane) {
    std::printf("data plane on %s:%u, tunnel packets to and from %s\n", options.address.c_str(),
                static_cast<unsigned>(dataPlane->Port()), tunName.c_str());
  }
  if (echoResponder) {
    std::printf("echo on %s:%u\n", options.address.c_str(), static_cast<unsigned>(echoResponder->Port()));
  }
  std::fflush(stdout);

  platform::Event stop(platform::Event::Reset::Manual);
  const vqgw::KeyReplyOptions key = negotiation ? negotiation->key : vqgw::KeyReplyOptions{};
  std::thread watcher([&] { Watch(gateway, dataPlane.get(), key, stop); });
  {
    platform::service::StopSignalWatcher signals([&](int) { stop.Set(); });
    stop.Wait();
  }
  watcher.join();
  return 0;
}
