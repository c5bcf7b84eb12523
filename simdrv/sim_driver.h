// The simulated filter driver: the driver's side of the control-device
// protocol, in-process and portable. Installed, it answers the driver
// library's open of "\\.\CtrlDS<name>" on every system, hands out two buffers
// of its own, fills the inbound one with the batches a test scripts and
// completes the library's 8-byte read with their length, and takes every
// record the library writes into the outbound one.
//
// Scripted mode (this file): a test builds a Batch of records ("process 1200
// asks to connect from 127.0.0.1:40001 to 203.0.113.5:7000", "these bytes
// arrived", "the flow closed"), delivers it, and reads back what the library
// wrote: verdicts, injected chunks and datagrams, suspend/resume, rules,
// closes. It can also misbehave on purpose: refuse a write, report no room,
// hold a write until released, cut a batch short, report a wrong count, fail
// or vary the kind query and the buffer exchange.
//
// The rule list is kept as the driver keeps it (code 16 and the first
// process-rule control insert at the head, 17 and the last one append, 18
// clears) and classify() applies it to a flow description, first match wins.
// Raw-IP delivery (flag 128) is a layer of its own, as in the driver: a rule
// that only asks for raw IP packets is not a flow rule, so a catch-all raw-IP
// rule at the head never hides the flow rules behind it, and the raw-IP layer
// looks only at rules that ask for raw IP.
// The live modes (live_tcp.h, live_udp.h) sit on top of the same driver: they
// feed Batches from real sockets and act on the library's writes (verdicts,
// injections, filtering off) through write observers, which see each record
// as the driver takes it, so nothing waits for a record by looking again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drvapi/records.h"
#include "platform/socket_address28.h"

namespace platform {
class Device;
}  // namespace platform

namespace simdrv {

// "a.b.c.d" and a port (host order) as a 28-byte IPv4 socket address
// (family 2, port and address in network order). Unparsable text gives
// 0.0.0.0.
platform::SocketAddress28 ipv4(std::string_view address, uint16_t port);

// A TCP connection description: process `processId`, outbound, from `local`
// to `remote`, with `filteringFlag`.
drvapi::TcpConnInfo tcpInfo(uint32_t processId, const platform::SocketAddress28& local,
                            const platform::SocketAddress28& remote,
                            uint32_t filteringFlag = drvapi::kRuleFilter);
drvapi::UdpConnInfo udpInfo(uint32_t processId, const platform::SocketAddress28& local);

// One record as it travels: type, connection id, payload.
struct Record {
  uint32_t type = 0;
  uint64_t id = 0;
  std::vector<uint8_t> payload;

  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// A batch of inbound records, framed exactly as they will stand in the
// inbound buffer.
class Batch {
 public:
  // Any record, any payload (also types the library must skip).
  Batch& record(uint32_t type, uint64_t id, const void* payload = nullptr, size_t size = 0);
  // Bytes appended as they are (a malformed or cut-off record).
  Batch& rawBytes(const void* bytes, size_t size);

  Batch& tcpConnectRequest(uint64_t id, const drvapi::TcpConnInfo& info);
  Batch& tcpConnected(uint64_t id, const drvapi::TcpConnInfo& info);
  Batch& tcpReceive(uint64_t id, std::string_view bytes);  // towards the application
  Batch& tcpSend(uint64_t id, std::string_view bytes);     // towards the network
  Batch& tcpCanReceive(uint64_t id) { return record(drvapi::kTcpCanReceive, id); }
  Batch& tcpCanSend(uint64_t id) { return record(drvapi::kTcpCanSend, id); }
  Batch& tcpClosed(uint64_t id) { return record(drvapi::kTcpClosed, id); }
  Batch& tcpCloseWhenIdle(uint64_t id) { return record(drvapi::kTcpCloseWhenIdle, id); }
  Batch& ping(uint64_t id) { return record(drvapi::kDriverPing, id); }

  Batch& udpCreated(uint64_t id, const drvapi::UdpConnInfo& info);
  Batch& udpConnectRequest(uint64_t id, const drvapi::UdpConnectRequest& request);
  // A datagram record: remote address, options flags and data, the datagram.
  Batch& udpReceive(uint64_t id, const platform::SocketAddress28& remote, std::string_view datagram,
                    std::string_view options = {}, uint32_t optionsFlags = 0);
  Batch& udpSend(uint64_t id, const platform::SocketAddress28& remote, std::string_view datagram,
                 std::string_view options = {}, uint32_t optionsFlags = 0);
  Batch& udpCanReceive(uint64_t id) { return record(drvapi::kUdpCanReceive, id); }
  Batch& udpCanSend(uint64_t id) { return record(drvapi::kUdpCanSend, id); }
  Batch& udpClosed(uint64_t id) { return record(drvapi::kUdpClosed, id); }

  Batch& ipReceive(const drvapi::IpOptions& options, std::string_view packet);
  Batch& ipSend(const drvapi::IpOptions& options, std::string_view packet);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// How the driver answers the library's writes.
enum class WriteMode {
  Accept,  // take the record, complete with 8 bytes
  Refuse,  // the write does not start (the library reports -4)
  NoRoom,  // complete with 0 bytes: no room (the library reports -1)
  Hold,    // keep the write pending until releaseHeldWrites() or a cancel
};

struct ProcessRule {
  drvapi::FilterRule rule;
  std::u16string processName;  // as received
};

// A flow as classify() sees it.
struct FlowDescription {
  uint32_t protocol = 6;  // 6 TCP, 17 UDP
  uint32_t processId = 0;
  uint8_t direction = 2;  // 1 inbound, 2 outbound
  platform::SocketAddress28 local{};
  platform::SocketAddress28 remote{};
  // The program's image path; empty: the one set with setProcessImage().
  std::u16string processPath;
};

class SimDriver {
 public:
  struct Config {
    size_t inboundSize = 1 << 20;
    size_t outboundSize = 1 << 20;
    // The two shared buffers, when the caller provides them (a driver process
    // maps them from memory it shares with the library's process); null: the
    // driver allocates its own. A provided buffer holds at least its size in
    // bytes and outlives the driver and every device opened on it.
    uint8_t* inboundBuffer = nullptr;
    uint8_t* outboundBuffer = nullptr;
    // The kind query's answer; nullopt makes the call fail.
    std::optional<uint32_t> kind = 2;
    // Bytes the buffer exchange reports (the library wants exactly 32).
    uint32_t exchangeBytes = 32;
  };

  SimDriver();
  explicit SimDriver(const Config& config);
  // Uninstalls; the devices the library still holds keep working on the
  // shared state until they are closed.
  ~SimDriver();
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  // Makes openDevice("\\.\CtrlDS" + driverName) reach this driver (one
  // simulated driver per process at a time).
  void install(std::string_view driverName = "LumoDriverSys");
  void uninstall();
  // A device on this driver without installing it as the process's provider
  // (a driver process serves it to a library elsewhere). Counts as an open;
  // null while opening is refused. The device works on the driver's state and
  // may outlive the SimDriver object.
  std::unique_ptr<platform::Device> openDevice();
  // While set, opening the device fails as if the driver were not running.
  void setOpenRefused(bool refused);
  int openCount() const;

  // --- scripted traffic -------------------------------------------------
  // Waits (up to timeoutMs) for the library's read, places the batch at the
  // start of the inbound buffer and completes the read with its length.
  // False when no read came or the batch does not fit the buffer.
  bool deliver(const Batch& batch, uint32_t timeoutMs = 10000);
  // The same, reporting `reportedCount` as the length (a cut-short batch, or
  // a count larger than the buffer).
  bool deliverWithCount(const Batch& batch, uint64_t reportedCount, uint32_t timeoutMs = 10000);
  // Places the batch in the library's outstanding read, or in its next one,
  // without waiting: for threads that may not wait on the library, such as
  // its own writer in a write observer. Batches posted before a read come in
  // one batch, in order. False when they would not fit the buffer.
  bool post(const Batch& batch);
  // Waits until the library has a read outstanding again, i.e. it has
  // dispatched the last batch and run its maintenance.
  bool waitForRead(uint32_t timeoutMs = 10000);

  // --- what the library wrote -------------------------------------------
  std::vector<Record> written() const;
  std::vector<Record> written(uint32_t type) const;
  std::vector<Record> written(uint32_t type, uint64_t id) const;
  size_t writtenCount(uint32_t type) const;
  // Payload bytes written so far with records of `type` (kept also when the
  // log is off), and a wait until they reach `target`.
  uint64_t writtenBytes(uint32_t type) const;
  bool waitForWrittenBytes(uint32_t type, uint64_t target, uint32_t timeoutMs = 10000) const;
  // Off: records are counted but not kept (long benchmark runs). Write
  // observers see every record either way.
  void setKeepLog(bool keep);
  // Concatenated payloads of the stream records (code 2 or 3) of one id.
  std::string stream(uint64_t id, uint32_t type) const;
  void clearWritten();
  // Records answered with "no room" (WriteMode::NoRoom), in order.
  std::vector<Record> refused() const;

  // The rule list as the driver holds it, and the process rules with their
  // names as they arrived.
  std::vector<drvapi::FilterRule> rules() const;
  std::vector<ProcessRule> processRules() const;
  // Connection ids closed with the close control code, in order.
  std::vector<uint64_t> closedConnections() const;
  // The filteringFlag of the first rule that matches `flow` (protocol, pid,
  // direction, ports, family, IPv4 remote address under its mask; zero
  // fields match anything), or 0 (let through) when none does. The rules of
  // codes 16/17 are tried first, then the process rules, whose name must end
  // the flow's image path at a path boundary (an empty name matches any).
  // The flag of the first rule that applies to `flow` in `layer`
  // (kRulePass when none does): the flow layer skips rules whose flag is
  // raw-IP delivery alone; the raw-IP layer sees only rules with that flag.
  enum class Layer { Flow, RawIp };
  uint32_t classify(const FlowDescription& flow, Layer layer = Layer::Flow) const;

  // --- answers and faults -----------------------------------------------
  void setWriteMode(WriteMode mode);
  // Completes every held write as accepted.
  void releaseHeldWrites();
  size_t heldWrites() const;
  void setKind(std::optional<uint32_t> kind);
  void setExchangeBytes(uint32_t bytes);
  // The local address answered for a TCP connection (default: zeros).
  void setLocalAddress(uint64_t id, const platform::SocketAddress28& address);
  // The device path answered for a process (no entry: the query fails).
  void setProcessImage(uint32_t processId, std::u16string devicePath);
  // The kind query's current answer (nullopt: the call fails).
  std::optional<uint32_t> kind() const;

  // --- acting on the library's writes (the live modes) --------------------
  // `observer` is called once for every record the driver takes from the
  // library (accepted writes, held ones when released; not refused ones),
  // whether or not the log is kept, in the order taken. It runs on the thread
  // that completes the write (the library's writer, or the caller of
  // releaseHeldWrites) with no simulator lock held, and the library's write
  // completes only after every observer returned: an observer must be quick
  // and must never call deliver() or waitForRead(), because the library's
  // reader may be waiting for the same write. Returns a handle for
  // removeWriteObserver. Any thread.
  using WriteObserver = std::function<void(const Record&)>;
  uint64_t addWriteObserver(WriteObserver observer);
  // After it returns, no call of that observer runs or will start. Never
  // from inside an observer. Unknown handles are ignored.
  void removeWriteObserver(uint64_t handle);

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace simdrv
