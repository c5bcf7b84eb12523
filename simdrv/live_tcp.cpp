#include "live_tcp.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "loopback_socket.h"
#include "platform/process.h"

namespace simdrv {
namespace {

platform::SocketAddress fromField(const platform::SocketAddress28& field) {
  platform::SocketAddress a;
  std::memcpy(a.bytes, field.bytes.data(), sizeof field);
  return a;
}

}  // namespace

// Carries one filtered connection: `inner` is the simulator's end of the
// application's connection, `outer` its connection to the destination. One
// thread waits on both and on a wake socket; the library's injected bytes
// arrive through inject() from its writer thread and are sent by the pump
// thread, so a slow reader never holds up the library's writes.
struct FilteredPump {
  SimDriver* driver = nullptr;
  uint64_t id = 0;
  OwnedSocket inner;
  OwnedSocket outer;
  WakeSocket wake;
  std::atomic<bool> stop{false};
  std::thread thread;

  std::mutex lock;
  struct Injected {
    bool towardsApplication;
    std::vector<uint8_t> bytes;  // empty: end of stream in that direction
  };
  std::deque<Injected> injected;

  ~FilteredPump() {
    stop = true;
    wake.wake();
    if (thread.joinable()) thread.join();
  }

  // The library's writer thread: one tcpSend or tcpReceive record.
  void inject(const Record& r) {
    {
      std::lock_guard<std::mutex> guard(lock);
      injected.push_back({r.type == drvapi::kTcpReceive, r.payload});
    }
    wake.wake();
  }

  // Sends what the library injected so far: tcpSend records to the
  // destination, tcpReceive records to the application; a zero-length one
  // ends that direction. False when a socket failed.
  bool flush(bool& toApplicationEnded, bool& toDestinationEnded) {
    std::deque<Injected> batch;
    {
      std::lock_guard<std::mutex> guard(lock);
      batch.swap(injected);
    }
    for (const Injected& in : batch) {
      const platform::Socket to = in.towardsApplication ? inner.get() : outer.get();
      if (in.bytes.empty()) {
        platform::shutdownSocket(to, platform::ShutdownHow::Send);
        (in.towardsApplication ? toApplicationEnded : toDestinationEnded) = true;
        continue;
      }
      size_t sent = 0;
      while (sent < in.bytes.size()) {
        const int n = platform::sendBytes(to, in.bytes.data() + sent, in.bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
      }
    }
    return true;
  }

  void run() {
    bool fromApplicationEnded = false, fromDestinationEnded = false;
    bool toDestinationEnded = false, toApplicationEnded = false;
    char buffer[16384];
    while (!stop && !(toDestinationEnded && toApplicationEnded)) {
      platform::SocketWait waits[3];
      int count = 0;
      waits[count++].socket = wake.socket();
      if (!fromApplicationEnded) waits[count++].socket = inner.get();
      if (!fromDestinationEnded) waits[count++].socket = outer.get();
      if (platform::waitSockets(waits, count, platform::kNoTimeLimit) < 0) break;
      for (int i = 0; i < count; ++i) {
        if (waits[i].ready == 0) continue;
        if (waits[i].socket == wake.socket()) {
          wake.drain();
          continue;
        }
        const bool fromApplication = waits[i].socket == inner.get();
        const int n = platform::receiveBytes(waits[i].socket, buffer, sizeof buffer);
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
      if (!flush(toApplicationEnded, toDestinationEnded)) break;
    }
  }
};

LiveTcp::LiveTcp(SimDriver& driver) : driver_(driver) {
  observer_ = driver_.addWriteObserver([this](const Record& r) { onWrite(r); });
}

LiveTcp::~LiveTcp() { driver_.removeWriteObserver(observer_); }

void LiveTcp::onWrite(const Record& r) {
  if (r.type == drvapi::kTcpConnectRequest) {
    if (r.payload.size() < sizeof(drvapi::TcpConnInfo)) return;
    const auto takenAt = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(lock_);
    auto it = verdicts_.find(r.id);
    if (it == verdicts_.end()) return;
    drvapi::TcpConnInfo verdict;
    std::memcpy(&verdict, r.payload.data(), sizeof verdict);
    it->second.verdict = verdict;
    it->second.takenAt = takenAt;
    verdictWritten_.notify_all();
  } else if (r.type == drvapi::kTcpSend || r.type == drvapi::kTcpReceive) {
    std::shared_ptr<FilteredPump> pump;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = pumps_.find(r.id);
      if (it == pumps_.end()) return;
      pump = it->second.lock();
      if (!pump) {
        pumps_.erase(it);
        return;
      }
    }
    pump->inject(r);
  }
}

LiveTcp::Connection LiveTcp::connect(uint32_t processId, const platform::SocketAddress28& destination,
                                     uint32_t timeoutMs) {
  Connection c;
  const platform::SocketAddress to = fromField(destination);
  const uint16_t family = to.family();
  if (family != platform::kFamilyIpv4 && family != platform::kFamilyIpv6) {
    c.error = "unsupported family";
    return c;
  }

  // The application's socket, bound to loopback so its port is known before
  // the connect, as a driver sees it in the connect request.
  OwnedSocket s(platform::openSocket(family, platform::SocketType::Stream));
  platform::SocketAddress local;
  if (family == platform::kFamilyIpv4) {
    local = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  } else {
    uint8_t loopback6[16] = {};
    loopback6[15] = 1;
    local = platform::makeIpv6Address(loopback6, 0);
  }
  if (!s.valid() || !platform::bindSocket(s.get(), local) || !platform::localAddressOf(s.get(), local)) {
    c.error = "cannot bind the application's socket";
    return c;
  }

  c.id = nextId_.fetch_add(1);
  platform::SocketAddress28 localField{};
  std::memcpy(localField.bytes.data(), local.bytes, sizeof localField);
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
    c.error = "blocked by a driver rule";
    return c;
  }
  if ((ruleFlag & drvapi::kRuleReportConnect) != 0) {
    c.reported = true;
    // Waiting for the verdict is registered before the request goes out: the
    // library may answer before deliver() returns.
    std::unique_lock<std::mutex> guard(lock_);
    verdicts_[c.id] = PendingVerdict{};
    guard.unlock();
    const Batch request = Batch().tcpConnectRequest(c.id, info);
    c.requestedAt = std::chrono::steady_clock::now();
    const bool taken = driver_.deliver(request, timeoutMs);
    guard.lock();
    const bool answered = taken && verdictWritten_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
      return verdicts_[c.id].verdict.has_value();
    });
    if (answered) {
      c.verdict = *verdicts_[c.id].verdict;
      c.answeredAt = verdicts_[c.id].takenAt;
    }
    verdicts_.erase(c.id);
    guard.unlock();
    if (!answered) {
      c.error = taken ? "no verdict" : "the library took no batch";
      return c;
    }
  }

  const platform::SocketAddress target = fromField(c.verdict.remoteAddress);
  if (!map_.resolve(target, c.connectedTo)) {
    c.error = "destination outside loopback and the simulator's map: refused";
    return c;
  }
  if (c.reported && (c.verdict.filteringFlag & drvapi::kVerdictFiltered) != 0) {
    if (startFilteredPump(c, s.get())) c.socket = s.release();
    return c;
  }

  // An IPv6 socket reaching an IPv4 server: use an IPv4 socket from the same
  // loopback range instead (the simulated application only cares that it
  // arrives).
  if (c.connectedTo.family() != family)
    s.reset(platform::openSocket(c.connectedTo.family(), platform::SocketType::Stream));
  if (!s.valid() || !platform::connectSocket(s.get(), c.connectedTo)) {
    c.error = "connect failed";
    return c;
  }
  c.socket = s.release();
  return c;
}

// A filtered connection: the application's socket is connected to the
// simulator's own listener, and the simulator connects to the destination and
// pumps the bytes through the library.
bool LiveTcp::startFilteredPump(Connection& c, platform::Socket applicationSocket) {
  auto pump = std::make_shared<FilteredPump>();
  pump->driver = &driver_;
  pump->id = c.id;
  pump->outer.reset(platform::openSocket(c.connectedTo.family(), platform::SocketType::Stream));
  if (!pump->outer.valid() || !platform::connectSocket(pump->outer.get(), c.connectedTo)) {
    c.error = "connect to the destination failed";
    return false;
  }
  platform::SocketAddress listenAt;
  platform::localAddressOf(applicationSocket, listenAt);
  listenAt.setPort(0);
  OwnedSocket listener(platform::openSocket(listenAt.family(), platform::SocketType::Stream));
  if (!pump->wake.valid() || !listener.valid() || !platform::bindSocket(listener.get(), listenAt) ||
      !platform::listenSocket(listener.get(), 1) || !platform::localAddressOf(listener.get(), listenAt) ||
      !platform::connectSocket(applicationSocket, listenAt)) {
    c.error = "cannot hold the application's connection";
    return false;
  }
  pump->inner.reset(platform::acceptSocket(listener.get(), nullptr));
  if (!pump->inner.valid()) {
    c.error = "cannot hold the application's connection";
    return false;
  }
  // The pump takes injected bytes from the moment the library may send any:
  // once it has seen the connection established.
  {
    std::lock_guard<std::mutex> guard(lock_);
    pumps_[c.id] = pump;
  }
  driver_.deliver(Batch().tcpConnected(c.id, c.verdict), 1000);
  FilteredPump* raw = pump.get();
  pump->thread = std::thread([raw] { raw->run(); });
  c.pump = std::move(pump);
  return true;
}

void LiveTcp::close(Connection& connection) {
  if (connection.socket != platform::kInvalidSocket) platform::closeSocket(connection.socket);
  connection.socket = platform::kInvalidSocket;
  if (connection.pump) {
    connection.pump.reset();
    std::lock_guard<std::mutex> guard(lock_);
    pumps_.erase(connection.id);
  }
  if (connection.reported && (connection.verdict.filteringFlag & drvapi::kVerdictFiltered) != 0)
    driver_.deliver(Batch().tcpClosed(connection.id), 1000);
}

}  // namespace simdrv
