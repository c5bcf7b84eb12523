#include "live_tcp.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"

namespace simdrv {
namespace {

bool isLoopback(const platform::SocketAddress& a) {
  if (a.family() == platform::kFamilyIpv4) return (platform::netToHost32(a.ipv4()) >> 24) == 127;
  if (a.family() == platform::kFamilyIpv6) {
    static const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.ipv6(), loopback6, 16) == 0;
  }
  return false;
}

platform::SocketAddress fromField(const uint8_t* field) {
  platform::SocketAddress a;
  std::memcpy(a.bytes, field, drvapi::kSockAddrSize);
  return a;
}

// The IPv4 address inside an IPv4-mapped IPv6 address, or 0.
uint32_t mappedIpv4(const platform::SocketAddress& a) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (a.family() != platform::kFamilyIpv6 || std::memcmp(a.ipv6(), prefix, 12) != 0) return 0;
  uint32_t v;
  std::memcpy(&v, a.ipv6() + 12, 4);
  return v;
}

}  // namespace

// Carries one filtered connection: `inner` is the simulator's end of the
// application's connection, `outer` its connection to the destination.
struct FilteredPump {
  SimDriver* driver = nullptr;
  uint64_t id = 0;
  platform::Socket inner = platform::kInvalidSocket;
  platform::Socket outer = platform::kInvalidSocket;
  std::atomic<bool> stop{false};
  std::thread thread;

  ~FilteredPump() {
    stop = true;
    if (thread.joinable()) thread.join();
    platform::closeSocket(inner);
    platform::closeSocket(outer);
  }

  // Sends the payloads of the library's records of `type` from `next` on to
  // `to`; a zero-length one ends that direction. Returns false once ended.
  bool forward(uint32_t type, size_t& next, platform::Socket to, bool& ended) {
    const std::vector<Record> records = driver->written(type, id);
    for (; next < records.size(); ++next) {
      const std::vector<uint8_t>& bytes = records[next].payload;
      if (bytes.empty()) {
        platform::shutdownSocket(to, platform::ShutdownHow::Send);
        ended = true;
        continue;
      }
      size_t sent = 0;
      while (sent < bytes.size()) {
        const int n = platform::sendBytes(to, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
      }
    }
    return true;
  }

  void run() {
    size_t sendNext = 0, receiveNext = 0;
    bool fromApplicationEnded = false, fromDestinationEnded = false;
    bool toDestinationEnded = false, toApplicationEnded = false;
    char buffer[16384];
    while (!stop && !(toDestinationEnded && toApplicationEnded)) {
      platform::SocketWait waits[2];
      waits[0].socket = fromApplicationEnded ? platform::kInvalidSocket : inner;
      waits[1].socket = fromDestinationEnded ? platform::kInvalidSocket : outer;
      int count = 0;
      platform::SocketWait active[2];
      for (const auto& w : waits)
        if (w.socket != platform::kInvalidSocket) active[count++] = w;
      if (count > 0 && platform::waitSockets(active, count, 5) > 0) {
        for (int i = 0; i < count; ++i) {
          if (active[i].ready == 0) continue;
          const bool fromApplication = active[i].socket == inner;
          const int n = platform::receiveBytes(active[i].socket, buffer, sizeof buffer);
          const std::string_view bytes(buffer, n > 0 ? static_cast<size_t>(n) : 0);
          // What the application sends travels towards the network (tcpSend);
          // what the destination sends travels towards the application.
          Batch b;
          if (fromApplication)
            b.tcpSend(id, bytes);
          else
            b.tcpReceive(id, bytes);
          driver->deliver(b, 1000);
          if (n <= 0) (fromApplication ? fromApplicationEnded : fromDestinationEnded) = true;
        }
      } else if (count == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (!forward(drvapi::kTcpSend, sendNext, outer, toDestinationEnded) ||
          !forward(drvapi::kTcpReceive, receiveNext, inner, toApplicationEnded))
        break;
    }
  }
};

LiveTcp::LiveTcp(SimDriver& driver) : driver_(driver) {}

bool LiveTcp::map(std::string_view cidr, std::string_view localAddress) {
  std::string text(cidr);
  uint32_t prefix = 32;
  if (auto slash = text.find('/'); slash != std::string::npos) {
    prefix = 0;
    for (char c : text.substr(slash + 1)) {
      if (c < '0' || c > '9' || prefix > 32) return false;
      prefix = prefix * 10 + static_cast<uint32_t>(c - '0');
    }
    if (prefix > 32) return false;
    text.resize(slash);
  }
  MapEntry e;
  e.network = platform::inetAddr(text.c_str());
  e.target = platform::inetAddr(std::string(localAddress).c_str());
  if (e.network == 0xFFFFFFFFu || e.target == 0xFFFFFFFFu || (platform::netToHost32(e.target) >> 24) != 127)
    return false;
  e.mask = prefix == 0 ? 0 : platform::hostToNet32(0xFFFFFFFFu << (32 - prefix));
  e.network &= e.mask;
  std::lock_guard<std::mutex> lock(mapLock_);
  map_.push_back(e);
  return true;
}

bool LiveTcp::mapDestination(const platform::SocketAddress& in, platform::SocketAddress& out) const {
  if (isLoopback(in)) {
    out = in;
    return true;
  }
  uint32_t address = in.family() == platform::kFamilyIpv4 ? in.ipv4() : mappedIpv4(in);
  if (address == 0) return false;
  std::lock_guard<std::mutex> lock(mapLock_);
  for (const MapEntry& e : map_) {
    if ((address & e.mask) == e.network) {
      out = platform::makeIpv4Address(e.target, in.port());
      return true;
    }
  }
  return false;
}

LiveTcp::Connection LiveTcp::connect(uint32_t processId, const SockAddr& destination, uint32_t timeoutMs) {
  Connection c;
  const platform::SocketAddress to = fromField(destination.data());
  const uint16_t family = to.family();
  if (family != platform::kFamilyIpv4 && family != platform::kFamilyIpv6) {
    c.error = "unsupported family";
    return c;
  }

  // The application's socket, bound to loopback so its port is known before
  // the connect, as a driver sees it in the connect request.
  platform::Socket s = platform::openSocket(family, platform::SocketType::Stream);
  platform::SocketAddress local;
  if (family == platform::kFamilyIpv4) {
    local = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  } else {
    uint8_t loopback6[16] = {};
    loopback6[15] = 1;
    local = platform::makeIpv6Address(loopback6, 0);
  }
  if (s == platform::kInvalidSocket || !platform::bindSocket(s, local) || !platform::localAddressOf(s, local)) {
    platform::closeSocket(s);
    c.error = "cannot bind the application's socket";
    return c;
  }

  c.id = nextId_.fetch_add(1);
  SockAddr localField{};
  std::memcpy(localField.data(), local.bytes, drvapi::kSockAddrSize);
  drvapi::TcpConnInfo info = tcpInfo(processId, localField, destination, drvapi::kRuleReportConnect);
  info.ipFamily = family;
  c.verdict = info;

  FlowDescription flow;
  flow.protocol = 6;
  flow.processId = processId;
  flow.direction = 2;
  flow.local = localField;
  flow.remote = destination;
  flow.processPath = platform::processImagePath(processId);
  const uint32_t ruleFlag = driver_.classify(flow);
  if ((ruleFlag & drvapi::kRuleBlock) != 0 && (ruleFlag & drvapi::kRuleReportConnect) == 0) {
    platform::closeSocket(s);
    c.error = "blocked by a driver rule";
    return c;
  }
  if ((ruleFlag & drvapi::kRuleReportConnect) != 0) {
    c.reported = true;
    if (!driver_.deliver(Batch().tcpConnectRequest(c.id, info), timeoutMs)) {
      platform::closeSocket(s);
      c.error = "the library took no batch";
      return c;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto verdicts = driver_.written(drvapi::kTcpConnectRequest, c.id);
      if (!verdicts.empty() && verdicts.back().payload.size() >= sizeof(drvapi::TcpConnInfo)) {
        std::memcpy(&c.verdict, verdicts.back().payload.data(), sizeof c.verdict);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        platform::closeSocket(s);
        c.error = "no verdict";
        return c;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const platform::SocketAddress target = fromField(c.verdict.remoteAddress);
  if (!mapDestination(target, c.connectedTo)) {
    platform::closeSocket(s);
    c.error = "destination outside loopback and the simulator's map: refused";
    return c;
  }
  if (c.reported && (c.verdict.filteringFlag & drvapi::kVerdictFiltered) != 0) {
    if (!startFilteredPump(c, s)) {
      platform::closeSocket(s);
      return c;
    }
    c.socket = s;
    return c;
  }

  // An IPv6 socket reaching an IPv4 server: use an IPv4 socket from the same
  // loopback range instead (the simulated application only cares that it
  // arrives).
  if (c.connectedTo.family() != family) {
    platform::closeSocket(s);
    s = platform::openSocket(c.connectedTo.family(), platform::SocketType::Stream);
  }
  if (s == platform::kInvalidSocket || !platform::connectSocket(s, c.connectedTo)) {
    platform::closeSocket(s);
    c.error = "connect failed";
    return c;
  }
  c.socket = s;
  return c;
}

// A filtered connection: the application's socket is connected to the
// simulator's own listener, and the simulator connects to the destination and
// pumps the bytes through the library.
bool LiveTcp::startFilteredPump(Connection& c, platform::Socket& applicationSocket) {
  auto pump = std::make_shared<FilteredPump>();
  pump->driver = &driver_;
  pump->id = c.id;
  pump->outer = platform::openSocket(c.connectedTo.family(), platform::SocketType::Stream);
  if (pump->outer == platform::kInvalidSocket || !platform::connectSocket(pump->outer, c.connectedTo)) {
    c.error = "connect to the destination failed";
    return false;
  }
  platform::SocketAddress listenAt;
  platform::localAddressOf(applicationSocket, listenAt);
  listenAt.setPort(0);
  platform::Socket listener = platform::openSocket(listenAt.family(), platform::SocketType::Stream);
  if (listener == platform::kInvalidSocket || !platform::bindSocket(listener, listenAt) ||
      !platform::listenSocket(listener, 1) || !platform::localAddressOf(listener, listenAt) ||
      !platform::connectSocket(applicationSocket, listenAt)) {
    platform::closeSocket(listener);
    c.error = "cannot hold the application's connection";
    return false;
  }
  pump->inner = platform::acceptSocket(listener, nullptr);
  platform::closeSocket(listener);
  if (pump->inner == platform::kInvalidSocket) {
    c.error = "cannot hold the application's connection";
    return false;
  }
  // The connection is established: data may now be injected on it.
  driver_.deliver(Batch().tcpConnected(c.id, c.verdict), 1000);
  FilteredPump* raw = pump.get();
  pump->thread = std::thread([raw] { raw->run(); });
  c.pump = std::move(pump);
  return true;
}

void LiveTcp::close(Connection& connection) {
  if (connection.socket != platform::kInvalidSocket) platform::closeSocket(connection.socket);
  connection.socket = platform::kInvalidSocket;
  connection.pump.reset();
  if (connection.reported && (connection.verdict.filteringFlag & drvapi::kVerdictFiltered) != 0)
    driver_.deliver(Batch().tcpClosed(connection.id), 1000);
}

}  // namespace simdrv
