// The driver interface's UDP jobs: delivering a flow's datagrams to the
// handler and writing what the engine injects; towards the application one
// datagram per request of the driver.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "drvapi/drvapi.h"
#include "drvapi/events.h"

namespace drvapi {
namespace detail {

namespace {

template <class Deliver>
bool deliverDatagrams(Guard& lk, uint64_t id, bool fromNet, Deliver&& deliver) {
  Library& l = lib();
  UdpEntry* e = l.udp.find(id);
  if (e == nullptr) return false;
  int64_t budget = (fromNet ? e->fromNet : e->toNet).bytes;
  for (bool first = true;; first = false) {
    NodeList& list = fromNet ? e->fromNet : e->toNet;
    DataNode* node = list.head;
    if (node == nullptr || (!first && budget <= 0)) break;
    list.popFront();
    list.bytes -= node->size();
    budget -= node->size();
    const unsigned char* payload = node->payload();
    const uint32_t optionsLength = readU32(payload + offsetof(UdpDatagramHeader, optionsLength));
    const auto* options =
        reinterpret_cast<const UdpOptions*>(payload + offsetof(UdpDatagramHeader, optionsFlags));
    const unsigned char* data = payload + sizeof(UdpDatagramHeader) + optionsLength;
    const int length = static_cast<int>(node->size() - sizeof(UdpDatagramHeader) - optionsLength);
    // The newer driver kind tells the flow's current local address at
    // offset 32 of the options of every inbound datagram.
    if (fromNet && l.driverKind == 2 && optionsLength >= 32 + sizeof e->info.localAddress)
      std::memcpy(e->info.localAddress.bytes.data(), payload + sizeof(UdpDatagramHeader) + 32,
                  sizeof e->info.localAddress);
    const bool passThrough = e->passThrough;
    lk.unlock();
    deliver(passThrough, payload, reinterpret_cast<const char*>(data), length, options);
    lk.lock();
    l.pool.release(node);
    if ((e = l.udp.find(id)) == nullptr) return false;
  }
  return true;
}

int udpInject(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
              const UdpOptions* options, bool towardsApplication) {
  if (remoteAddress == nullptr || data == nullptr || length < 0 ||
      static_cast<uint32_t>(length) > kMaxDatagram)
    return kFailed;
  const uint32_t optionsLength = options != nullptr ? options->optionsLength : 0;
  const uint32_t flags = optionsLength != 0 ? options->flags : 0;
  if (optionsLength > kMaxDatagram) return kFailed;
  Library& l = lib();
  QueuedJob* claimed = nullptr;
  {
    AutoLock guard(l.lock);
    if (!l.initialised.load()) return kNotInitialised;
    if (l.driverGone.load()) return kFailed;
    UdpEntry* e = l.udp.find(id);
    if (e == nullptr) return kUnknownConnection;
    const uint32_t size = static_cast<uint32_t>(sizeof(UdpDatagramHeader)) + optionsLength + length;
    DataNode* node = DataNode::create(l.pool, towardsApplication ? kUdpReceive : kUdpSend, id, size,
                                      detail::kDatagramGranularity);
    if (node == nullptr) return kFailed;
    unsigned char* p = node->payload();
    // 16 bytes of an IPv4 address, all 28 of an IPv6 one; the rest zero.
    const platform::SocketAddress28 remote = platform::SocketAddress28::FromRaw(remoteAddress);
    std::memcpy(p + offsetof(UdpDatagramHeader, remoteAddress), remote.bytes.data(), sizeof remote);
    std::memcpy(p + offsetof(UdpDatagramHeader, optionsFlags), &flags, sizeof flags);
    std::memcpy(p + offsetof(UdpDatagramHeader, optionsLength), &optionsLength, sizeof optionsLength);
    if (optionsLength != 0) std::memcpy(p + sizeof(UdpDatagramHeader), options->data, optionsLength);
    if (length != 0) std::memcpy(p + sizeof(UdpDatagramHeader) + optionsLength, data, length);
    node->header()->size = size;
    NodeList& queue = towardsApplication ? e->injectIn : e->injectOut;
    queue.pushBack(node);
    queue.bytes += size;
    if (towardsApplication) {
      // Beyond the cap the oldest waiting datagram goes: the application
      // wants the newest state (the one being written is not in the list).
      while (queue.count > detail::kMaxWaitingInboundDatagrams) {
        DataNode* oldest = queue.popFront();
        queue.bytes -= oldest->size();
        l.pool.release(oldest);
        l.droppedInboundDatagrams.fetch_add(1, std::memory_order_relaxed);
      }
      // One inbound datagram at a time: the flag is taken here, when the
      // write is scheduled, so a second datagram injected while the first is
      // on its way waits for the driver's next request instead of racing it.
      if (e->injectInBusy) return kOk;
      e->injectInBusy = true;
    }
    // Pushed under the library lock (see tcpInject). When the flow has no
    // write queued or running, this thread writes the datagram itself rather
    // than waking the writer: the claim keeps the flow's writes one at a
    // time and in order, and the queue's stop waits for it.
    claimed = l.eventsOut.claimOrPush(towardsApplication ? kUdpCanReceive : kUdpCanSend, id);
  }
  if (claimed != nullptr) {
    claimed->run();
    l.eventsOut.finishClaimed(claimed);
  }
  return kOk;
}

}  // namespace

void runUdpEvent(uint64_t id, uint32_t mask) {
  Library& l = lib();
  DRV_EventHandler* h = l.handler.load();
  if (h == nullptr) return;
  Guard lk(l.lock);
  UdpEntry* e = l.udp.find(id);
  if (e == nullptr) return;

  if (mask & bit(kUdpCreated)) {
    UdpConnInfo info = e->info;
    lk.unlock();
    h->udpCreated(id, &info);
    lk.lock();
    if ((e = l.udp.find(id)) == nullptr) return;
  }
  if (mask & bit(kUdpConnectRequest)) {
    UdpConnectRequest request = e->request;
    lk.unlock();
    h->udpConnectRequest(id, &request);
    lk.lock();
    if ((e = l.udp.find(id)) == nullptr) return;
    e->request = request;
    // Deciding later only holds the verdict back: datagrams and a close of
    // the same batch are still delivered.
    if (!(request.filteringFlag & kVerdictDecideLater)) {
      lk.unlock();
      detail::writeRecord(kUdpConnectRequest, id, &request, sizeof request);
      lk.lock();
    }
  }
  // What came from the network, then what the application sent; a flow
  // whose filtering is off gets its datagrams passed on unchanged.
  for (const bool fromNet : {true, false}) {
    const auto deliver = [&](bool pass, const unsigned char* remote, const char* data, int length,
                             const UdpOptions* options) {
      if (pass)
        (fromNet ? udpInjectReceive : udpInjectSend)(id, remote, data, length, options);
      else if (fromNet)
        h->udpReceive(id, remote, data, length, options);
      else
        h->udpSend(id, remote, data, length, options);
    };
    if (!deliverDatagrams(lk, id, fromNet, deliver)) return;
  }
  if ((e = l.udp.find(id)) == nullptr) return;
  const bool canReceive = (mask & bit(kUdpCanReceive)) && e->injectIn.empty();
  const bool canSend = (mask & bit(kUdpCanSend)) && e->injectOut.empty();
  lk.unlock();
  if (canReceive) h->udpCanReceive(id);
  if (canSend) h->udpCanSend(id);
  detail::udpFlowControl(id, false);
  lk.lock();
  if (mask & bit(kUdpClosed)) {
    if ((e = l.udp.find(id)) == nullptr) return;
    UdpConnInfo info = e->info;
    lk.unlock();
    h->udpClosed(id, &info);
    l.eventsOut.push(kUdpClosed, id);
    lk.lock();
  }
}

void runUdpEventOut(uint64_t id, uint32_t mask) {
  Library& l = lib();
  Guard lk(l.lock);
  UdpEntry* e = l.udp.find(id);
  if (e == nullptr) return;
  if (mask & bit(kUdpCanReceive)) {
    // One injected inbound datagram per request of the driver: the next one
    // waits for the driver's next code 12.
    if (DataNode* node = e->injectIn.popFront()) {
      lk.unlock();
      const int written = detail::writeFramed(node->record, node->recordSize());
      lk.lock();
      if ((e = l.udp.find(id)) == nullptr) {
        l.pool.release(node);
        return;
      }
      if (written == kOk) {
        e->injectIn.bytes -= node->size();
        l.pool.release(node);
        e->injectInBusy = true;
      } else {
        // Not written: it waits for the driver's next request, and a new
        // injection may schedule a write again.
        e->injectIn.pushFront(node);
        e->injectInBusy = false;
      }
    } else {
      e->injectInBusy = false;
    }
    if (e->injectIn.empty()) {
      lk.unlock();
      l.events.runOrPush(kUdpCanReceive, id);
      lk.lock();
      if ((e = l.udp.find(id)) == nullptr) return;
    }
  }
  if (mask & bit(kUdpCanSend)) {
    int64_t budget = e->injectOut.bytes;
    for (bool first = true;; first = false) {
      DataNode* node = e->injectOut.head;
      if (node == nullptr || (!first && budget <= 0)) break;
      e->injectOut.popFront();
      lk.unlock();
      const int written = detail::writeFramed(node->record, node->recordSize());
      lk.lock();
      if ((e = l.udp.find(id)) == nullptr) {
        l.pool.release(node);
        return;
      }
      if (written != kOk) {
        e->injectOut.pushFront(node);
        break;
      }
      e->injectOut.bytes -= node->size();
      budget -= node->size();
      l.pool.release(node);
    }
    if (e->injectOut.empty()) {
      lk.unlock();
      l.events.runOrPush(kUdpCanSend, id);
      lk.lock();
    }
  }
  lk.unlock();
  detail::udpFlowControl(id, false);
  lk.lock();
  if (mask & bit(kUdpClosed)) {
    if ((e = l.udp.find(id)) != nullptr) l.udp.erase(l.pool, e);
  }
}

}  // namespace detail

int udpInjectSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const UdpOptions* options) {
  return detail::udpInject(id, remoteAddress, data, length, options, false);
}

int udpInjectReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                     const UdpOptions* options) {
  return detail::udpInject(id, remoteAddress, data, length, options, true);
}

uint64_t droppedInboundDatagrams() {
  return detail::lib().droppedInboundDatagrams.load(std::memory_order_relaxed);
}

}  // namespace drvapi
