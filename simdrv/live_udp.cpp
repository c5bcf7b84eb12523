#include "live_udp.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "destination_map.h"
#include "driver_records.h"
#include "loopback_socket.h"
#include "platform/process.h"

namespace simdrv {
namespace {

// Flow ids of this mode start far from the live TCP mode's, so records of
// both read apart in a log.
constexpr uint64_t kFirstFlowId = 0x20000000;
// Larger than any datagram a UDP socket can receive.
constexpr size_t kReceiveBuffer = 65536;
// At most this much is read from the socket before the library gets it.
constexpr size_t kPumpBatchDatagrams = 64;
constexpr size_t kPumpBatchBytes = 128 * 1024;
// How long the pump waits for the library to take one of its records.
constexpr uint32_t kReportTimeoutMs = 1000;

platform::SocketAddress loopbackOf(uint16_t family) {
  if (family == platform::kFamilyIpv4) return platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  uint8_t loopback6[16] = {};
  loopback6[15] = 1;
  return platform::makeIpv6Address(loopback6, 0);
}

// A socket address with only the family set: a flow before any datagram.
platform::SocketAddress28 familyOnly(uint16_t family) {
  platform::SocketAddress28 field{};
  std::memcpy(field.bytes.data(), &family, sizeof family);
  return field;
}

}  // namespace

struct LiveUdp::Hub {
  explicit Hub(SimDriver& d) : driver(d) {}

  std::shared_ptr<Flow> find(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = flows.find(id);
    return it == flows.end() ? nullptr : it->second.lock();
  }
  void onWrite(const Record& record);

  SimDriver& driver;
  DestinationMap map;
  std::atomic<uint64_t> nextId{kFirstFlowId};
  std::mutex lock;
  std::map<uint64_t, std::weak_ptr<Flow>> flows;  // the open sockets, by flow id
};

struct LiveUdp::Flow {
  Flow(std::shared_ptr<Hub> h, uint32_t pid, uint16_t fam)
      : hub(std::move(h)), id(hub->nextId.fetch_add(1)), processId(pid), family(fam) {}
  ~Flow() { stopPump(); }

  // The driver's rule for one datagram of this flow (direction 1 inbound, 2
  // outbound, 3 the socket itself).
  uint32_t classify(uint8_t direction, const platform::SocketAddress28& remote) const {
    FlowDescription flow;
    flow.protocol = 17;
    flow.processId = processId;
    flow.direction = direction;
    flow.local = localField;
    flow.remote = remote;
    flow.processPath = image;
    return hub->driver.classify(flow);
  }

  // Reports udpCreated once, before anything else of the flow reaches the
  // library: a datagram record of an unknown flow would make the library
  // record it without its process.
  bool ensureReported(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> guard(reportLock);
    if (reported) return true;
    drvapi::UdpConnInfo info = udpInfo(processId, localField);
    info.ipFamily = family;
    reported = hub->driver.deliver(Batch().udpCreated(id, info), timeoutMs);
    return reported;
  }

  // Sends from the application's socket to `to` (a destination it addressed
  // or the library injected), through the map. False when refused or failed;
  // `refusedOut` says which.
  bool sendThroughMap(const platform::SocketAddress28& to, std::string_view datagram, bool& refusedOut) {
    refusedOut = false;
    platform::SocketAddress addressed, real;
    if (!platform::fromDriverAddress(to, addressed) || !hub->map.resolve(addressed, real)) {
      refusedOut = true;
      return false;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      if (std::memcmp(real.bytes, addressed.bytes, sizeof real.bytes) != 0)
        repliesFrom[addressField(real)] = addressField(addressed);
      else
        repliesFrom.erase(addressField(real));
    }
    return platform::sendTo(socket.get(), datagram.data(), datagram.size(), real) ==
           static_cast<int>(datagram.size());
  }

  SendResult sendStraight(const platform::SocketAddress28& to, std::string_view datagram) {
    bool refused = false;
    if (sendThroughMap(to, datagram, refused)) return SendResult::Sent;
    return refused ? SendResult::Refused : SendResult::Failed;
  }

  // The first datagram to `remote` under a connect-request rule: the
  // library's verdict decides where this destination's datagrams go.
  // nullopt when no verdict came; a verdict with the block flag maps to a
  // remote of family 0.
  std::optional<platform::SocketAddress28> askVerdict(uint32_t flag, const platform::SocketAddress28& remote,
                                                      uint32_t timeoutMs) {
    drvapi::UdpConnectRequest request{};
    request.filteringFlag = flag;
    request.processId = processId;
    request.ipFamily = family;
    request.localAddress = localField;
    request.remoteAddress = remote;
    std::unique_lock<std::mutex> guard(lock);
    // Registered before the request goes out: the verdict may be written
    // before deliver() returns.
    awaitingVerdict = true;
    verdict.reset();
    guard.unlock();
    const bool taken = hub->driver.deliver(Batch().udpConnectRequest(id, request), timeoutMs);
    guard.lock();
    const bool answered = taken && changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                                    [&] { return verdict.has_value(); });
    awaitingVerdict = false;
    if (!answered) return std::nullopt;
    if ((verdict->filteringFlag & drvapi::kRuleBlock) != 0) return platform::SocketAddress28{};
    return verdict->remoteAddress;
  }

  SendResult send(const platform::SocketAddress28& destination, std::string_view datagram,
                  uint32_t timeoutMs) {
    std::lock_guard<std::mutex> one(sendLock);
    platform::SocketAddress to;
    if (closing || !platform::fromDriverAddress(destination, to)) return SendResult::Failed;
    platform::SocketAddress28 remote = addressField(to);
    const uint32_t flag = classify(2, remote);
    const bool filter = (flag & drvapi::kRuleFilter) != 0;
    const bool askConnect = (flag & drvapi::kRuleReportConnect) != 0;
    if ((flag & drvapi::kRuleBlock) != 0 && !askConnect) return SendResult::Blocked;
    if (passThrough || (!filter && !askConnect)) return sendStraight(remote, datagram);
    if (!ensureReported(timeoutMs)) return SendResult::Failed;
    if (askConnect) {
      auto it = connected.find(remote);
      if (it == connected.end()) {
        std::optional<platform::SocketAddress28> answer = askVerdict(flag, remote, timeoutMs);
        if (!answer) return SendResult::Failed;
        it = connected.emplace(remote, *answer).first;
      }
      if (it->second == platform::SocketAddress28{}) return SendResult::Blocked;
      remote = it->second;
    }
    if (!filter || passThrough) return sendStraight(remote, datagram);
    Batch b;
    b.udpSend(id, remote, datagram, options);
    return hub->driver.deliver(b, timeoutMs) ? SendResult::Reported : SendResult::Failed;
  }

  // The pump: a datagram arrived on the application's socket from `real`.
  // A filtered one joins `reports` for the library; the others go to the
  // application unless a rule blocks them.
  void onArrival(const platform::SocketAddress& real, std::string_view datagram, Batch& reports) {
    platform::SocketAddress28 from = addressField(real);
    {
      std::lock_guard<std::mutex> guard(lock);
      auto it = repliesFrom.find(from);
      if (it != repliesFrom.end()) from = it->second;
    }
    const uint32_t flag = classify(1, from);
    if ((flag & drvapi::kRuleFilter) != 0 && !passThrough && ensureReported(kReportTimeoutMs))
      reports.udpReceive(id, from, datagram, options);
    else if ((flag & drvapi::kRuleBlock) == 0)
      queueForApplication(from, datagram);
  }

  void queueForApplication(const platform::SocketAddress28& from, std::string_view datagram) {
    std::lock_guard<std::mutex> guard(lock);
    received.push_back({from, std::string(datagram), std::chrono::steady_clock::now()});
    changed.notify_all();
  }

  // The library's writer thread: one record of this flow.
  void onWrite(const Record& r) {
    switch (r.type) {
      case drvapi::kUdpFilteringOff:
        passThrough = true;
        break;
      case drvapi::kUdpConnectRequest: {
        if (r.payload.size() < sizeof(drvapi::UdpConnectRequest)) return;
        std::lock_guard<std::mutex> guard(lock);
        if (!awaitingVerdict) return;
        drvapi::UdpConnectRequest answer;
        std::memcpy(&answer, r.payload.data(), sizeof answer);
        verdict = answer;
        changed.notify_all();
        break;
      }
      case drvapi::kUdpSend: {
        platform::SocketAddress28 to;
        std::string_view datagram;
        bool wasRefused = false;
        if (!parseDatagramRecord(r.payload, to, datagram) ||
            (!sendThroughMap(to, datagram, wasRefused) && wasRefused))
          ++refused;
        break;
      }
      case drvapi::kUdpReceive: {
        platform::SocketAddress28 from;
        std::string_view datagram;
        if (!parseDatagramRecord(r.payload, from, datagram)) return;
        queueForApplication(from, datagram);
        // The library injects one inbound datagram per request: ask for the
        // next with the library's next read, as the driver does.
        hub->driver.post(Batch().udpCanReceive(id));
        break;
      }
      default:
        break;
    }
  }

  // Reads what the socket holds, up to a batch, and hands the filtered
  // datagrams to the library in one batch: a burst is not held up by one
  // library round per datagram while the socket's buffer overflows. False
  // when the socket failed.
  bool pumpArrivals(std::vector<char>& buffer) {
    Batch reports;
    for (size_t i = 0; i < kPumpBatchDatagrams && reports.size() < kPumpBatchBytes; ++i) {
      if (i > 0 && platform::waitReadable(socket.get(), 0) != 1) break;
      platform::SocketAddress from;
      const int n = platform::receiveFrom(socket.get(), buffer.data(), buffer.size(), &from);
      if (n >= 0) {
        onArrival(from, std::string_view(buffer.data(), static_cast<size_t>(n)), reports);
        continue;
      }
      // Windows reports an earlier send's port-unreachable on the next
      // receive; the socket itself is fine.
      const platform::NetError e = platform::lastSocketError();
      if (e != platform::NetError::ConnectionReset && e != platform::NetError::ConnectionRefused &&
          e != platform::NetError::Interrupted && e != platform::NetError::WouldBlock &&
          e != platform::NetError::MessageTooLong)
        return false;
      break;
    }
    if (reports.size() != 0) hub->driver.deliver(reports, kReportTimeoutMs);
    return true;
  }

  void runPump() {
    std::vector<char> buffer(kReceiveBuffer);
    while (!closing) {
      platform::SocketWait waits[2];
      waits[0].socket = wake.socket();
      waits[1].socket = socket.get();
      if (platform::waitSockets(waits, 2, platform::kNoTimeLimit) < 0 || closing) break;
      if (waits[0].ready != 0) wake.drain();
      if (waits[1].ready != 0 && !pumpArrivals(buffer)) break;
    }
  }

  void stopPump() {
    closing = true;
    wake.wake();
    if (pump.joinable()) pump.join();
  }

  const std::shared_ptr<Hub> hub;
  const uint64_t id;
  const uint32_t processId;
  const uint16_t family;
  std::u16string image;
  OwnedSocket socket;
  platform::SocketAddress local;
  platform::SocketAddress28 localField{};
  std::string options;  // what reported datagrams carry as options data
  WakeSocket wake;
  std::thread pump;
  std::atomic<bool> closing{false};
  std::atomic<bool> passThrough{false};
  std::atomic<uint64_t> refused{0};

  std::mutex reportLock;
  bool reported = false;  // under reportLock

  std::mutex sendLock;  // one application send at a time
  // Under sendLock: destination → verdict's remote.
  std::map<platform::SocketAddress28, platform::SocketAddress28> connected;
  std::mutex lock;  // the rest
  std::condition_variable changed;
  std::deque<Datagram> received;
  bool awaitingVerdict = false;
  std::optional<drvapi::UdpConnectRequest> verdict;
  // A mapped local server → the address the application used.
  std::map<platform::SocketAddress28, platform::SocketAddress28> repliesFrom;
};

void LiveUdp::Hub::onWrite(const Record& record) {
  switch (record.type) {
    case drvapi::kUdpFilteringOff:
    case drvapi::kUdpConnectRequest:
    case drvapi::kUdpSend:
    case drvapi::kUdpReceive:
      if (auto flow = find(record.id)) flow->onWrite(record);
      break;
    default:
      break;
  }
}

// --- LiveUdp ---------------------------------------------------------------------

LiveUdp::LiveUdp(SimDriver& driver) : hub_(std::make_shared<Hub>(driver)) {
  Hub* hub = hub_.get();
  observer_ = driver.addWriteObserver([hub](const Record& r) { hub->onWrite(r); });
}

LiveUdp::~LiveUdp() { hub_->driver.removeWriteObserver(observer_); }

bool LiveUdp::map(std::string_view cidr, std::string_view localAddress) {
  return hub_->map.add(cidr, localAddress);
}

LiveUdp::Socket LiveUdp::open(uint32_t processId, uint16_t family) {
  Socket s;
  if (family != drvapi::kFamilyIpv4 && family != drvapi::kFamilyIpv6) {
    s.error_ = "unsupported family";
    return s;
  }
  auto flow = std::make_shared<Flow>(hub_, processId, family);
  flow->socket.reset(platform::openSocket(family, platform::SocketType::Datagram));
  flow->local = loopbackOf(family);
  if (!flow->socket.valid() || !platform::bindSocket(flow->socket.get(), flow->local) ||
      !platform::localAddressOf(flow->socket.get(), flow->local) || !flow->wake.valid()) {
    s.error_ = "cannot bind the application's socket";
    return s;
  }
  flow->localField = addressField(flow->local);
  flow->image = platform::processImagePath(processId);
  flow->options = datagramOptions(hub_->driver.kind(), flow->localField);
  {
    std::lock_guard<std::mutex> guard(hub_->lock);
    hub_->flows[flow->id] = flow;
  }
  // A rule that filters this process's UDP makes the socket known at once.
  if ((flow->classify(3, familyOnly(family)) & drvapi::kRuleFilter) != 0)
    flow->ensureReported(kReportTimeoutMs);
  Flow* raw = flow.get();
  flow->pump = std::thread([raw] { raw->runPump(); });
  s.flow_ = std::move(flow);
  return s;
}

// --- LiveUdp::Socket ---------------------------------------------------------------

LiveUdp::Socket::~Socket() { close(); }

LiveUdp::Socket::Socket(Socket&& other) noexcept
    : flow_(std::move(other.flow_)), error_(std::move(other.error_)) {}

LiveUdp::Socket& LiveUdp::Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    flow_ = std::move(other.flow_);
    error_ = std::move(other.error_);
  }
  return *this;
}

uint64_t LiveUdp::Socket::id() const { return flow_ ? flow_->id : 0; }
platform::SocketAddress LiveUdp::Socket::local() const {
  return flow_ ? flow_->local : platform::SocketAddress{};
}
bool LiveUdp::Socket::filteringOff() const { return flow_ && flow_->passThrough; }
uint64_t LiveUdp::Socket::refusedSends() const { return flow_ ? flow_->refused.load() : 0; }

bool LiveUdp::Socket::reported() const {
  if (!flow_) return false;
  std::lock_guard<std::mutex> guard(flow_->reportLock);
  return flow_->reported;
}

LiveUdp::SendResult LiveUdp::Socket::sendTo(const platform::SocketAddress28& destination,
                                            std::string_view datagram, uint32_t timeoutMs) {
  return flow_ ? flow_->send(destination, datagram, timeoutMs) : SendResult::Failed;
}

std::optional<LiveUdp::Datagram> LiveUdp::Socket::recvFrom(uint32_t timeoutMs) {
  if (!flow_) return std::nullopt;
  Flow& f = *flow_;
  std::unique_lock<std::mutex> guard(f.lock);
  if (!f.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !f.received.empty(); }))
    return std::nullopt;
  Datagram d = std::move(f.received.front());
  f.received.pop_front();
  return d;
}

void LiveUdp::Socket::close() {
  if (!flow_) return;
  std::shared_ptr<Flow> flow = std::move(flow_);
  flow->stopPump();
  {
    std::lock_guard<std::mutex> guard(flow->hub->lock);
    flow->hub->flows.erase(flow->id);
  }
  bool wasReported;
  {
    std::lock_guard<std::mutex> guard(flow->reportLock);
    wasReported = flow->reported;
  }
  if (wasReported) flow->hub->driver.deliver(Batch().udpClosed(flow->id), kReportTimeoutMs);
  // The socket itself closes with the last reference: an injection being
  // acted on at this moment finishes first.
}

}  // namespace simdrv
