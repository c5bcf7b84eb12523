// Live mode of the simulated driver for TCP: a simulated application's
// connect really happens on loopback.
//
// connect() plays what a filter driver does with an application's connect:
// it binds a real socket on loopback (the application's own), applies the
// driver's rule list to the flow, and when a rule asks for connect requests
// it reports the request with that socket's real local port and waits for the
// library's verdict. Then it connects the socket to wherever the verdict left
// the destination: the relay on 127.0.0.1 / ::1, or the original destination.
// A destination outside loopback is carried to a local server through the
// simulator's own destination map (documentation addresses → 127.0.0.1, like
// the reference node's --map); any other one is refused, so nothing ever
// leaves the machine. The application then talks on the returned socket.
//
// A connection that the verdict keeps under filtering (flag 2, as in adapter
// mode) is carried through the library as a driver carries it: the simulator
// holds the application's connection on one side and the destination on the
// other, reports what the application sends as tcpSend records and what the
// destination sends as tcpReceive records (a zero-length record for each end
// of stream), and delivers the bytes the library injects back (its written
// tcpSend records to the destination, its tcpReceive records to the
// application).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "destination_map.h"
#include "platform/net.h"
#include "sim_driver.h"

namespace simdrv {

class LiveTcp {
 public:
  // Acts on the library's writes to `driver` (verdicts, injected bytes) from
  // now on; `driver` must outlive this object, and this object the
  // connections it made.
  explicit LiveTcp(SimDriver& driver);
  ~LiveTcp();
  LiveTcp(const LiveTcp&) = delete;
  LiveTcp& operator=(const LiveTcp&) = delete;

  // Carries connections to addresses in `cidr` ("203.0.113.0/24", or one
  // address) to `localAddress` (a 127.x.y.z address), keeping the port.
  // False for unparsable text or a target outside loopback.
  bool map(std::string_view cidr, std::string_view localAddress) { return map_.add(cidr, localAddress); }

  struct Connection {
    platform::Socket socket = platform::kInvalidSocket;  // the application's socket, connected
    uint64_t id = 0;                                     // the connection id reported to the library
    bool reported = false;                               // a connect request was reported
    drvapi::TcpConnInfo verdict{};                       // the verdict as the library wrote it
    platform::SocketAddress connectedTo;                 // where the socket really went
    std::string error;                                   // why the connect failed
    // When the connect request went to the library and when the driver took
    // its verdict (set for a reported connection that was answered): the
    // library's decision time.
    std::chrono::steady_clock::time_point requestedAt{}, answeredAt{};
    // For a connection kept under filtering: the data pump between the
    // application's connection and the destination.
    std::shared_ptr<struct FilteredPump> pump;
  };

  // Process `processId` connects to `destination` (family 2, or 23 for an
  // IPv4-mapped address). Waits up to `timeoutMs` for the verdict, woken by
  // its write. The returned socket is the caller's; close it with close().
  Connection connect(uint32_t processId, const platform::SocketAddress28& destination,
                     uint32_t timeoutMs = 10000);

  // Closes the application's socket and reports the close to the library
  // (when the library still tracks the connection).
  void close(Connection& connection);

 private:
  void onWrite(const Record& record);
  bool startFilteredPump(Connection& c, platform::Socket applicationSocket);

  SimDriver& driver_;
  DestinationMap map_;
  std::atomic<uint64_t> nextId_{0x10000};

  // Connect requests waiting for their verdict, and the filtered
  // connections' pumps, by connection id; fed by onWrite.
  std::mutex lock_;
  std::condition_variable verdictWritten_;
  struct PendingVerdict {
    std::optional<drvapi::TcpConnInfo> verdict;
    std::chrono::steady_clock::time_point takenAt{};
  };
  std::map<uint64_t, PendingVerdict> verdicts_;
  std::map<uint64_t, std::weak_ptr<FilteredPump>> pumps_;
  uint64_t observer_ = 0;
};

}  // namespace simdrv
