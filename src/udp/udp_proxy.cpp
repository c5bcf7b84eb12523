#include "udp/udp_proxy.h"

#include <chrono>
#include <cstring>

#include "platform/owned_socket.h"
#include "platform/time.h"

namespace UdpProxy {
namespace {

// How long Stop waits for the port to give back the records it holds. The
// pending receives of closed sockets end at once; this only bounds a system
// that never completes them (the records then stay out, never freed).
constexpr std::chrono::seconds kDrainLimit{5};

// A socket whose receives keep failing is not re-armed from the completion
// thread forever: after this many failures in a row the chain stops and the
// flow's next send arms a new receive.
constexpr uint32_t kMaxFailedReceives = 8;

constexpr uint8_t kLoopbackNet = 127;

uintptr_t keyOf(FlowSocket* flowSocket) { return reinterpret_cast<uintptr_t>(flowSocket); }

}  // namespace

UDPProxy::~UDPProxy() { Stop(); }

bool UDPProxy::Start(UDPProxyHandler* target) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  if (!running() && !service_.Start(this)) return false;
  target_.store(target);
  {
    std::unique_lock<std::shared_mutex> lock(socketsLock_);
    running_.store(true, std::memory_order_release);
  }
  OpenFlowSocket(icmpFlowId);
  return true;
}

void UDPProxy::Stop() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  {
    std::unique_lock<std::shared_mutex> lock(socketsLock_);
    if (!running()) return;
    running_.store(false, std::memory_order_release);
    for (auto& [flowId, flowSocket] : sockets_) CloseLocked(flowSocket);
    sockets_.clear();
  }
  // The worker still runs: the aborted receives of the closed sockets and any
  // send still in flight come back through it to the pool. Stopping the port
  // first would strand them.
  {
    std::unique_lock<std::mutex> lock(drainLock_);
    drained_.wait_for(lock, kDrainLimit, [this] { return outstanding_.load() == 0; });
  }
  service_.Stop();
}

bool UDPProxy::OpenFlowSocket(uint64_t flowId) {
  if (!running()) return false;
  platform::OwnedSocket s(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram));
  if (!s.valid()) return false;
  const platform::SocketAddress node = NodeAddress();
  if (static_cast<uint8_t>(node.ipv4()) == kLoopbackNet &&
      !platform::bindSocket(s.get(), platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)))
    return false;
  auto flowSocket = std::make_unique<FlowSocket>(s.get());
  std::unique_lock<std::shared_mutex> lock(socketsLock_);
  if (!running() || !service_.port().associate(s.get(), keyOf(flowSocket.get()))) {
    lock.unlock();
    return false;
  }
  // The flow's record owns the socket from here, and the map the record.
  s.release();
  FlowSocket* const record = flowSocket.release();
  auto [it, inserted] = sockets_.try_emplace(flowId, record);
  if (!inserted) {
    CloseLocked(it->second);
    it->second = record;
  }
  return true;
}

void UDPProxy::CloseFlowSocket(uint64_t flowId) {
  std::unique_lock<std::shared_mutex> lock(socketsLock_);
  auto it = sockets_.find(flowId);
  if (it == sockets_.end()) return;
  CloseLocked(it->second);
  sockets_.erase(it);
}

bool UDPProxy::SendDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                            platform::SocketAddress& peer, uint32_t kind) {
  if (!running() || (kind != kKindDatagram && kind != kKindIcmp) || length < 1 ||
      length > kMaxTunnelPayload || data == nullptr || peer.family() != platform::kFamilyIpv4)
    return false;
  std::shared_lock<std::shared_mutex> lock(socketsLock_);
  auto it = sockets_.find(flowId);
  if (!running() || it == sockets_.end()) return false;
  FlowSocket* flowSocket = it->second;

  OV_DATA* send = AcquireOvData();
  if (send == nullptr) return false;
  send->flowId = flowId;
  send->operation = kOperationSend;
  send->kind = kind;
  if (kind == kKindIcmp) peer.setPort(0);
  const TimeSource clock = clock_.load();
  const size_t total =
      BuildTunnelMessage(send->buffer, sizeof send->buffer, userId_.load(), peer.port(), peer.ipv4(),
                         clock != nullptr ? clock() : platform::calendarSeconds(), data, length);
  const platform::SocketAddress node = NodeAddress();
  Hold(flowSocket);
  if (!service_.port().startSend(flowSocket->socket, send->buffer, static_cast<uint32_t>(total), node,
                                 send->overlapped)) {
    // Nothing was queued for it: the record is ours to give back here.
    Done(flowSocket);
    ReleaseOvData(send);
    return false;
  }

  if (flowSocket->receiving.fetch_or(1) & 1) return true;
  // The first send bound the socket, so a receive can be armed now.
  OV_DATA* receive = AcquireOvData();
  if (receive == nullptr) {
    flowSocket->receiving.store(0);
    return true;
  }
  receive->flowId = flowId;
  receive->operation = kOperationReceive;
  receive->kind = kind;
  receive->fromAddress = node;
  receive->fromAddressLength = static_cast<int32_t>(sizeof receive->fromAddress);
  // The datagram has gone either way; a receive that cannot be armed now is
  // armed by the flow's next send, and replies wait in the socket meanwhile.
  if (!PostReceive(flowSocket, receive)) flowSocket->receiving.store(0);
  return true;
}

void UDPProxy::SetUser(uint32_t userId) { userId_.store(userId); }

void UDPProxy::SetNode(uint32_t addressNet, uint16_t portNet) {
  node_.store((uint64_t{addressNet} << 16) | portNet);
}

void UDPProxy::SetClock(TimeSource clock) { clock_.store(clock); }

size_t UDPProxy::FlowSocketCount() const {
  std::shared_lock<std::shared_mutex> lock(socketsLock_);
  return sockets_.size();
}

platform::SocketAddress UDPProxy::NodeAddress() const {
  const uint64_t node = node_.load();
  return platform::makeIpv4Address(static_cast<uint32_t>(node >> 16), static_cast<uint16_t>(node));
}

void UDPProxy::OnCompletion(uintptr_t key, uint32_t bytesTransferred, platform::Overlapped* overlapped,
                            uint32_t error) {
  if (overlapped == nullptr) return;
  auto* record = reinterpret_cast<OV_DATA*>(overlapped);
  auto* flowSocket = reinterpret_cast<FlowSocket*>(key);
  switch (record->operation) {
    case kOperationSend:
      // A send is over whatever its error; a lost datagram is UDP's lot.
      ReleaseOvData(record);
      break;
    case kOperationReceive:
      ReceiveCompleted(flowSocket, record, bytesTransferred, error);
      break;
    default:
      return;  // not a record of this proxy: nothing to return
  }
  // The completion's own reference kept `flowSocket` alive through
  // ReceiveCompleted, which takes and drops references of its own.
  Done(flowSocket);  // NOLINT(clang-analyzer-cplusplus.NewDelete)
}

void UDPProxy::ReceiveCompleted(FlowSocket* flowSocket, OV_DATA* record, uint32_t bytes, uint32_t error) {
  if (error == 0) {
    flowSocket->failedReceives = 0;
    // A reply of 20 bytes or fewer, or one for an IPv6 peer, carries nothing
    // to deliver; the flow still goes on receiving below.
    ReplyMessage reply;
    const size_t received = bytes < sizeof record->buffer ? bytes : sizeof record->buffer;
    UDPProxyHandler* target = target_.load();
    if (target != nullptr && ParseReplyMessage(record->buffer, received, reply)) {
      const platform::SocketAddress peer = platform::makeIpv4Address(reply.peerAddressNet, reply.peerPortNet);
      const int kind = reply.peerPortNet == 0 ? kKindIcmp : kKindDatagram;
      target->OnProxyDatagram(record->flowId, reply.payload, reply.length, peer,
                              static_cast<int>(platform::kSocketAddressStorage), kind);
    }
  } else if (platform::isAbortedCompletion(error) || ++flowSocket->failedReceives >= kMaxFailedReceives) {
    // The socket was closed, or fails every receive: end the chain and let
    // the next send arm a fresh one.
    flowSocket->receiving.store(0);
    ReleaseOvData(record);
    return;
  }

  // The next receive reuses the record; the flag stays set throughout, so a
  // concurrent send does not arm a second one.
  record->overlapped = platform::Overlapped{};
  record->fromAddressLength = static_cast<int32_t>(sizeof record->fromAddress);
  std::shared_lock<std::shared_mutex> lock(socketsLock_);
  if (flowSocket->closed) {
    flowSocket->receiving.store(0);
    ReleaseOvData(record);
    return;
  }
  if (!PostReceive(flowSocket, record)) flowSocket->receiving.store(0);
}

bool UDPProxy::PostReceive(FlowSocket* flowSocket, OV_DATA* record) {
  Hold(flowSocket);
  if (service_.port().startReceive(flowSocket->socket, record->buffer, sizeof record->buffer,
                                   &record->fromAddress, &record->fromAddressLength, record->overlapped))
    return true;
  // Nothing was queued: the record comes back here, not through the port.
  Done(flowSocket);
  ReleaseOvData(record);
  return false;
}

void UDPProxy::CloseLocked(FlowSocket* flowSocket) {
  flowSocket->closed = true;
  // Pending operations end aborted and come back through the worker.
  service_.port().closeSocket(flowSocket->socket);
  flowSocket->socket = platform::kInvalidSocket;
  if (flowSocket->references.fetch_sub(1) == 1) delete flowSocket;
}

void UDPProxy::Hold(FlowSocket* flowSocket) {
  flowSocket->references.fetch_add(1);
  outstanding_.fetch_add(1);
}

void UDPProxy::Done(FlowSocket* flowSocket) {
  if (flowSocket->references.fetch_sub(1) == 1) delete flowSocket;
  if (outstanding_.fetch_sub(1) == 1) {
    // Taken so that a Stop between its check and its wait cannot miss this.
    std::lock_guard<std::mutex> lock(drainLock_);
    drained_.notify_all();
  }
}

}  // namespace UdpProxy
