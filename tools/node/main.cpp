// lumo-node: the reference proxy node of the acceleration service.
//
// It serves the engine's TCP channel (SOCKS5 with user name and password,
// undoing Blur on request) and, with --udp-port, its UDP tunnel, for
// operators and for the project's tests. The first line on standard output
// names the SOCKS5 address and port, the second the tunnel's; log lines go to
// standard error. SIGINT and SIGTERM end it cleanly.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dns_service.h"
#include "log_line.h"
#include "options.h"
#include "socks_server.h"
#include "udp_tunnel.h"

namespace {

void logLine(const std::string& line) { tools::logLine("lumo-node", line); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  node::NodeOptions options;
  std::string error;
  if (!node::parseOptions(args, options, error)) {
    std::fprintf(stderr, "lumo-node: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.showHelp) {
    std::fputs(node::helpText().c_str(), stdout);
    return 0;
  }

  std::error_code addressError;
  asio::ip::address listenAddress = asio::ip::make_address(options.listenAddress, addressError);
  if (addressError) {
    std::fprintf(stderr, "lumo-node: --listen is not an IP address: %s\n", options.listenAddress.c_str());
    return 2;
  }

  node::SocksSettings settings;
  settings.user = options.user;
  settings.password = options.password;
  settings.unblur = options.unblur;
  settings.allowRemote = options.allowRemote;
  settings.destinations = options.destinations;
  settings.handshakeTimeout = std::chrono::seconds(options.handshakeTimeoutSeconds);

  node::TunnelSettings tunnelSettings;
  tunnelSettings.allowRemote = options.allowRemote;
  tunnelSettings.destinations = options.destinations;
  tunnelSettings.idleTimeout = std::chrono::seconds(options.udpIdleSeconds);
  tunnelSettings.maxAssociations = options.udpMaxAssociations;
  tunnelSettings.icmpReplyDelay = std::chrono::milliseconds(options.icmpDelayMs);

  node::DnsServiceSettings dnsSettings;
  dnsSettings.upstream = options.dnsUpstream;
  if (!options.dnsHostsPath.empty() && !node::loadDnsHosts(options.dnsHostsPath, dnsSettings.hosts, error)) {
    std::fprintf(stderr, "lumo-node: %s\n", error.c_str());
    return 2;
  }

  try {
    asio::io_context io(1);
    node::SocksServer socks(io, asio::ip::tcp::endpoint(listenAddress, options.socksPort),
                            std::move(settings), logLine);
    std::unique_ptr<node::UdpTunnel> tunnel;
    if (options.udpPort) {
      tunnel = std::make_unique<node::UdpTunnel>(io, asio::ip::udp::endpoint(listenAddress, *options.udpPort),
                                                 std::move(tunnelSettings), logLine);
    }
    // Both sockets are bound before anything is printed. Tests start the node
    // on port 0 and read the real ports from these lines.
    asio::ip::tcp::endpoint bound = socks.localEndpoint();
    std::printf("lumo-node: socks5 listening on %s:%u\n", bound.address().to_string().c_str(),
                static_cast<unsigned>(bound.port()));
    if (tunnel) {
      asio::ip::udp::endpoint tunnelBound = tunnel->localEndpoint();
      std::printf("lumo-node: udp tunnel listening on %s:%u\n", tunnelBound.address().to_string().c_str(),
                  static_cast<unsigned>(tunnelBound.port()));
    }
    std::unique_ptr<node::DnsService> dns;
    if (options.dnsPort) {
      const size_t hostNames = dnsSettings.hosts.size();
      dns = std::make_unique<node::DnsService>(io, asio::ip::udp::endpoint(listenAddress, *options.dnsPort),
                                               std::move(dnsSettings), logLine);
      asio::ip::udp::endpoint dnsBound = dns->localEndpoint();
      std::printf("lumo-node: dns listening on %s:%u\n", dnsBound.address().to_string().c_str(),
                  static_cast<unsigned>(dnsBound.port()));
      logLine("dns on " + dnsBound.address().to_string() + ":" + std::to_string(dnsBound.port()) + " upstream=" +
              (options.dnsUpstream ? node::formatEndpoint(*options.dnsUpstream) : std::string("none")) +
              " hosts=" + std::to_string(hostNames));
    }
    std::fflush(stdout);
    logLine("socks5 on " + bound.address().to_string() + ":" + std::to_string(bound.port()) + " auth=" +
            (options.user.empty() ? "open" : "user/password") + " unblur=" + (options.unblur ? "on" : "off") +
            " allow-remote=" + (options.allowRemote ? "on" : "off") +
            " map-rules=" + std::to_string(options.destinations.size()));
    if (tunnel) {
      asio::ip::udp::endpoint tunnelBound = tunnel->localEndpoint();
      logLine("udp tunnel on " + tunnelBound.address().to_string() + ":" +
              std::to_string(tunnelBound.port()) + " idle=" + std::to_string(options.udpIdleSeconds) +
              "s max-associations=" + std::to_string(options.udpMaxAssociations));
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& waitError, int signal) {
      if (waitError) return;
      logLine("signal " + std::to_string(signal) + ": closing");
      socks.stop();
      if (tunnel) tunnel->stop();
      if (dns) dns->stop();
    });
    socks.start();
    if (tunnel) tunnel->start();
    if (dns) dns->start();
    // Returns when the listeners, every connection and every association are
    // closed.
    io.run();
  } catch (const std::exception& e) {
    logLine(std::string("fatal: ") + e.what());
    return 1;
  }
  logLine("stopped");
  return 0;
}
