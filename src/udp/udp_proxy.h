// The UDP proxy: one engine-owned UDP socket per steered flow (and one for
// ICMP), every datagram sent on it wrapped in the tunnel header and addressed
// to the node's tunnel port, every reply received on it unwrapped and handed
// to the engine as a datagram of that flow from the peer the reply names. All
// socket I/O completes on the IOCPService's port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "platform/net.h"
#include "udp/iocp_service.h"
#include "udp/ov_data.h"

namespace UdpProxy {

// The flow id under which the socket that carries ICMP messages is kept.
inline constexpr uint64_t icmpFlowId = 0x8000000000000000ull;

// Delivery kinds of OnProxyDatagram and SendDatagram.
inline constexpr uint32_t kKindDatagram = 0;
inline constexpr uint32_t kKindIcmp = 2;

// Where the proxy delivers the node's replies (the engine).
class UDPProxyHandler {
 public:
  virtual ~UDPProxyHandler() = default;
  // A reply for `flowId`: `length` payload bytes (at least 1) from `peer`, a
  // family-2 address with the peer's IPv4 address and port as the node named
  // them; `peerLength` is the size of the address storage (128). `kind` 0 is
  // a datagram reply, 2 an ICMP reply (the node's port 0). Called on the
  // completion worker, one reply at a time; the data is valid only during the
  // call. Must not call UDPProxy::Start or Stop.
  virtual void OnProxyDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                               const platform::SocketAddress& peer, int peerLength, int kind) = 0;
};

// One flow's socket. Kept alive by the socket map and by every record the
// port holds for it, so a completion that arrives after the flow closed
// still finds it; the last holder frees it.
struct FlowSocket {
  explicit FlowSocket(platform::Socket s) : socket(s) {}
  platform::Socket socket;              // kInvalidSocket once closed
  std::atomic<uint32_t> receiving{0};   // bit 0: a receive is armed
  std::atomic<uint32_t> references{1};  // the map's, plus one per record in the port
  bool closed = false;                  // written under the socket map's exclusive lock
  uint32_t failedReceives = 0;          // consecutive failed receives (completion worker only)
};

class UDPProxy : public IOCPHandler {
 public:
  // The clock whose calendar seconds stamp the tunnel header.
  using TimeSource = uint32_t (*)();

  UDPProxy() = default;
  ~UDPProxy() override;  // stops the proxy
  UDPProxy(const UDPProxy&) = delete;
  UDPProxy& operator=(const UDPProxy&) = delete;

  // Starts the completion service when the proxy is not running (false when
  // that fails), sets the delivery target, and opens the socket of
  // icmpFlowId (replacing an earlier one; its own result is not reported).
  // The engine's initialisation thread; not concurrent with Stop.
  bool Start(UDPProxyHandler* target);

  // Closes every flow socket, waits until every record the port held has
  // come back to the pool (each pending receive ends aborted), then stops the
  // completion service. Nothing when not running. Never from OnProxyDatagram.
  void Stop();

  // Opens an overlapped UDP socket for `flowId` and associates it with the
  // port; a socket already open for the flow is closed and replaced. When the
  // node is on the loopback network the socket is bound to 127.0.0.1 at
  // once, so it never listens on other interfaces. False when not running or
  // the socket cannot be made. Any thread.
  bool OpenFlowSocket(uint64_t flowId);

  // Closes the flow's socket and forgets it; its pending receive comes back
  // to the pool through the completion worker. Nothing when the flow has no
  // socket. Any thread.
  void CloseFlowSocket(uint64_t flowId);

  // Wraps `length` bytes (1 to 65062) for `peer` (family 2) in the tunnel
  // header and sends them from the flow's socket to the node; `kind` 0 is a
  // datagram, 2 an ICMP message (the port of `peer` is set to 0 for it, in
  // the caller's address). The first send of a flow also arms its receive;
  // only one receive is armed per socket at a time. True when the datagram
  // went to the system (its completion returns the record); false when
  // refused or when the send failed at once (the caller then passes the
  // datagram unchanged). Any thread; never blocks on the network.
  bool SendDatagram(uint64_t flowId, const uint8_t* data, size_t length, platform::SocketAddress& peer,
                    uint32_t kind);

  // PROXY_CONFIG.userId for the tunnel header. Any thread.
  void SetUser(uint32_t userId);
  // The node's IPv4 address and UDP tunnel port, both in network order. Any
  // thread; sockets opened before keep working with the new node.
  void SetNode(uint32_t addressNet, uint16_t portNet);
  // Replaces the clock of the tunnel header's time stamp (null: the calendar
  // clock). For tests.
  void SetClock(TimeSource clock);

  bool running() const { return running_.load(std::memory_order_acquire); }
  // Open flow sockets (the ICMP one included).
  size_t FlowSocketCount() const;

  // IOCPHandler: a finished send returns its record; a finished receive
  // delivers its reply (when it holds one) and arms the next receive with the
  // same record.
  void OnCompletion(uintptr_t key, uint32_t bytesTransferred, platform::Overlapped* overlapped,
                    uint32_t error) override;

 private:
  platform::SocketAddress NodeAddress() const;
  // Arms a receive on `flowSocket` with `record`. The caller holds the socket
  // map's lock (shared is enough) and the socket is open. On failure the
  // record is back in the pool.
  bool PostReceive(FlowSocket* flowSocket, OV_DATA* record);
  void ReceiveCompleted(FlowSocket* flowSocket, OV_DATA* record, uint32_t bytes, uint32_t error);
  // Under the exclusive lock: closes the socket and drops the map's hold.
  void CloseLocked(FlowSocket* flowSocket);
  // A record goes to / comes back from the port for `flowSocket`.
  void Hold(FlowSocket* flowSocket);
  void Done(FlowSocket* flowSocket);

  IOCPService service_;
  std::atomic<UDPProxyHandler*> target_{nullptr};
  std::map<uint64_t, FlowSocket*> sockets_;
  mutable std::shared_mutex socketsLock_;
  std::atomic<uint32_t> userId_{0};
  std::atomic<uint64_t> node_{0};  // address (network order) << 16 | port (network order)
  std::atomic<bool> running_{false};
  std::atomic<TimeSource> clock_{nullptr};

  // Records the port holds; Stop waits for them to come back.
  std::atomic<int64_t> outstanding_{0};
  std::mutex drainLock_;
  std::condition_variable drained_;
  std::mutex lifecycle_;  // Start and Stop one at a time
};

}  // namespace UdpProxy
