// The driver interface's reader thread: it walks each batch of records the
// driver placed in the inbound buffer, updates the connection tables those
// records touch, queues the jobs that deliver them (tcp_events.cpp,
// udp_events.cpp) and runs the periodic maintenance.
//
// Everything the driver wrote is untrusted: record sizes are checked against
// the batch, payloads against the size their type needs, and a record that
// does not fit is skipped (or ends the batch when it runs past its end).
#include <algorithm>
#include <cstring>
#include <vector>

#include "drvapi/drvapi.h"
#include "drvapi/events.h"
#include "platform/debug.h"

namespace drvapi {
namespace detail {

namespace {

unsigned char* pointerOf(uint64_t address) {
  return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(address));
}

// Appends driver stream bytes to a TCP list. Bytes of consecutive records
// share a chunk while it holds no more than 131072 bytes; an empty payload
// (end of stream) always gets a chunk of its own, and nothing is appended to
// one. False when no chunk could be had (the record is dropped).
bool appendStream(RecordPool& pool, NodeList& list, uint32_t type, uint64_t id, const unsigned char* data,
                  uint32_t size) {
  DataNode* last = list.tail;
  if (last != nullptr && size > 0 && last->size() > 0 && size <= kLargeChunk - last->size() &&
      last->size() + size <= last->capacity) {
    std::memcpy(last->payload() + last->size(), data, size);
    last->header()->size = last->size() + size;
  } else {
    DataNode* node = DataNode::create(pool, type, id, size == 0 ? 0 : std::max(size, kLargeChunk));
    if (node == nullptr) return false;
    if (size != 0) std::memcpy(node->payload(), data, size);
    node->header()->size = size;
    list.pushBack(node);
  }
  list.bytes += size;
  return true;
}

// Appends one datagram record (its whole payload) to a UDP list.
bool appendDatagram(RecordPool& pool, NodeList& list, uint32_t type, uint64_t id,
                    const unsigned char* payload, uint32_t size) {
  DataNode* node = DataNode::create(pool, type, id, size, detail::kDatagramGranularity);
  if (node == nullptr) return false;
  std::memcpy(node->payload(), payload, size);
  node->header()->size = size;
  list.pushBack(node);
  list.bytes += size;
  return true;
}

// The entry a connect request or a connected record of `id` goes to. When
// the entry there belongs to a connection whose close has arrived, the
// driver has given the id to a new connection: the old entry steps aside
// (its job still delivers its close) and the new one starts fresh. Under the
// library lock.
TcpEntry* freshTcpEntry(uint64_t id) {
  Library& l = lib();
  if (TcpEntry* old = l.tcp.find(id); old != nullptr && old->closeSeen) {
    l.tcp.detach(old);
    l.retiredTcp.push_back(old);
  }
  return l.tcp.insert(l.pool, id);
}

// One inbound record, on the reader thread without the library lock.
void dispatchRecord(const RecordHeader& h, const unsigned char* payload) {
  Library& l = lib();
  const uint64_t id = h.id;
  const uint32_t size = h.size;
  switch (h.type) {
    case kTcpConnected: {
      if (size < sizeof(TcpConnInfo)) return;
      TcpConnInfo info;
      std::memcpy(&info, payload, sizeof info);
      // The driver tells the local address of an established connection on
      // request: a record header with type 0 and the id, and 28 bytes back.
      unsigned char query[kLocalAddressQuerySize] = {};
      const RecordHeader q{0, id, static_cast<uint32_t>(sizeof info.localAddress)};
      std::memcpy(query, &q, sizeof q);
      uint32_t returned = 0;
      bool haveLocal = false;
      if (auto dev = detail::device())
        haveLocal =
            dev->control(kIoctlTcpLocalAddress, query, sizeof query, query, sizeof query, &returned) &&
            returned >= sizeof query;
      {
        AutoLock guard(l.lock);
        TcpEntry* e = freshTcpEntry(id);
        if (e == nullptr) return;
        e->info = info;
        if (haveLocal)
          std::memcpy(e->info.localAddress.bytes.data(), query + kRecordHeaderSize,
                      sizeof e->info.localAddress);
        e->connected = true;
        e->lastActivity = now();
      }
      l.events.push(kTcpConnected, id);
      return;
    }
    case kTcpClosed: {
      {
        AutoLock guard(l.lock);
        if (TcpEntry* e = l.tcp.find(id)) e->closeSeen = true;
      }
      l.events.push(kTcpClosed, id);
      return;
    }
    case kUdpClosed:
      l.events.push(kUdpClosed, id);
      return;
    case kTcpReceive:
    case kTcpSend: {
      {
        AutoLock guard(l.lock);
        TcpEntry* e = l.tcp.find(id);
        if (e == nullptr) return;  // data of an unknown connection is lost
        e->lastActivity = now();
        if (!appendStream(l.pool, h.type == kTcpReceive ? e->fromNet : e->toNet, h.type, id, payload, size))
          return;
      }
      detail::tcpFlowControl(id, true);
      l.events.push(h.type, id);
      return;
    }
    case kTcpCanReceive:
    case kTcpCanSend:
    case kUdpCanReceive:
    case kUdpCanSend:
    case kDriverPing:
      l.eventsOut.push(h.type, id);
      return;
    case kUdpCreated: {
      if (size < sizeof(UdpConnInfo)) return;
      {
        AutoLock guard(l.lock);
        UdpEntry* e = l.udp.insert(l.pool, id);
        if (e == nullptr) return;
        std::memcpy(&e->info, payload, sizeof e->info);
      }
      l.events.push(kUdpCreated, id);
      return;
    }
    case kUdpReceive:
    case kUdpSend: {
      // remoteAddress(28) flags(4) optionsLength(4) options datagram
      if (size < sizeof(UdpDatagramHeader)) return;
      const uint32_t optionsLength = readU32(payload + offsetof(UdpDatagramHeader, optionsLength));
      if (optionsLength > size - sizeof(UdpDatagramHeader)) return;
      {
        AutoLock guard(l.lock);
        bool created = false;
        UdpEntry* e = l.udp.insert(l.pool, id, &created);
        if (e == nullptr) return;
        if (created) std::memcpy(&e->info.ipFamily, payload, sizeof e->info.ipFamily);
        if (!appendDatagram(l.pool, h.type == kUdpReceive ? e->fromNet : e->toNet, h.type, id, payload, size))
          return;
      }
      detail::udpFlowControl(id, true);
      l.events.push(h.type, id);
      return;
    }
    case kTcpConnectRequest: {
      if (size < sizeof(TcpConnInfo)) return;
      {
        AutoLock guard(l.lock);
        TcpEntry* e = freshTcpEntry(id);
        if (e == nullptr) return;
        std::memcpy(&e->info, payload, sizeof e->info);
        e->lastActivity = now();
      }
      l.events.push(kTcpConnectRequest, id);
      return;
    }
    case kUdpConnectRequest: {
      if (size < sizeof(UdpConnectRequest)) return;
      {
        AutoLock guard(l.lock);
        // A request for a flow not seen before still needs its verdict, or
        // the application's connect would wait forever: it gets an entry.
        bool created = false;
        UdpEntry* e = l.udp.insert(l.pool, id, &created);
        if (e == nullptr) return;
        std::memcpy(&e->request, payload, sizeof e->request);
        if (created) {
          e->info.processId = e->request.processId;
          e->info.ipFamily = e->request.ipFamily;
          e->info.localAddress = e->request.localAddress;
        }
      }
      l.events.push(kUdpConnectRequest, id);
      return;
    }
    case kTcpCloseWhenIdle: {
      AutoLock guard(l.lock);
      if (TcpEntry* e = l.tcp.find(id)) e->closeWhenIdle = true;
      return;
    }
    case kIpReceive:
    case kIpSend: {
      if (size < sizeof(IpOptions)) return;
      IpOptions options;
      std::memcpy(&options, payload, sizeof options);
      const char* packet = reinterpret_cast<const char*>(payload + sizeof(IpOptions));
      const int length = static_cast<int>(size - sizeof(IpOptions));
      if (DRV_IPEventHandler* ip = l.ipHandler.load()) {
        if (h.type == kIpReceive)
          ip->ipReceive(packet, length, &options);
        else
          ip->ipSend(packet, length, &options);
      } else {
        detail::writeRecord(h.type, id, payload, size);  // nobody wants it: let it go on unchanged
      }
      return;
    }
    default:
      return;  // unknown or outbound-only codes
  }
}

}  // namespace

void maintenance() {
  Library& l = lib();
  enum class Action { EndTowardsApplication, Close, Verdict };
  struct Step {
    Action action;
    uint64_t id;
    TcpConnInfo info;
  };
  std::vector<Step> steps;
  // Suspended connections and flows get no new data, and new data is what
  // would otherwise run the resume rule: a resume the driver refused is
  // tried again here.
  std::vector<uint64_t> suspendedTcp;
  std::vector<uint64_t> suspendedUdp;
  {
    AutoLock guard(l.lock);
    if (!l.initialised.load()) return;
    const uint32_t t = now();
    if (l.maintenanceRan && t - l.lastMaintenance < kMaintenanceInterval) return;
    l.maintenanceRan = true;
    l.lastMaintenance = t;
    l.tcp.forEach([&](TcpEntry& e) {
      const uint32_t idle = t - e.lastActivity;
      if (e.suspended) suspendedTcp.push_back(e.id);
      if (e.connected && (e.info.filteringFlag & kVerdictFiltered) && !e.timedOut) {
        if (e.closeWhenIdle && e.fromNet.bytes + e.injectIn.bytes == 0 && idle >= kCloseWhenIdleMs) {
          e.closeWhenIdle = false;
          steps.push_back({Action::EndTowardsApplication, e.id, {}});
        } else if (e.closeAfterMs != 0 && idle > e.closeAfterMs) {
          e.timedOut = true;
          steps.push_back({Action::Close, e.id, {}});
        }
      } else if (!e.connected && !e.verdictSent && (e.verdictRetry || idle > kVerdictFallbackMs)) {
        // A request whose handler asked to decide later is answered as it
        // stands after 20 seconds at the latest; one whose verdict the
        // driver refused, at the next run.
        e.verdictSent = true;
        e.verdictRetry = false;
        steps.push_back({Action::Verdict, e.id, e.info});
      }
    });
    l.udp.forEach([&](UdpEntry& e) {
      if (e.suspended) suspendedUdp.push_back(e.id);
    });
  }
  for (const Step& s : steps) {
    switch (s.action) {
      case Action::EndTowardsApplication:
        tcpInjectReceive(s.id, nullptr, 0);
        break;
      case Action::Close:
        closeTcpConnection(s.id);
        break;
      case Action::Verdict: {
        const bool written = writeRecord(kTcpConnectRequest, s.id, &s.info, sizeof s.info) == kOk;
        Guard lk(l.lock);
        afterVerdict(lk, s.id, s.info, written);
        break;
      }
    }
  }
  for (uint64_t id : suspendedTcp) tcpFlowControl(id, false);
  for (uint64_t id : suspendedUdp) udpFlowControl(id, false);
}

void readerMain(DRV_EventHandler* handler, int workerThreads) {
  Library& l = lib();
  l.events.start(workerThreads, handler);
  // Several pings of one id in a batch get one answer: the writer takes no
  // job until the whole batch is queued.
  l.eventsOut.setStrictPause(true);
  // The writer delivers the "can" callback that follows its flush itself
  // when the connection has nothing else queued or running, instead of
  // waking an event worker for it.
  l.eventsOut.setHostsInlineJobs(true);
  l.eventsOut.start(1, handler);
  l.threadStarted.set();

  std::shared_ptr<platform::Device> dev = device();
  unsigned char* inbound = pointerOf(l.buffers.inboundAddress);
  const uint64_t inboundSize = inbound != nullptr ? l.buffers.inboundSize : 0;
  platform::DeviceIo io;
  uint64_t count = 0;
  bool reading = false;
  while (dev) {
    count = 0;
    if (dev->read(&count, sizeof count, io) == platform::IoStart::Failed) break;
    reading = true;
    int woken;
    platform::Event* events[2] = {&l.stopEvent, &io.event()};
    while ((woken = platform::waitAny(events, 2, kReadWaitMs)) == platform::kWaitTimeout) maintenance();
    if (woken != 1) break;
    uint32_t transferred = 0;
    reading = false;
    if (!dev->result(io, &transferred)) break;

    // The count is the driver's word only as far as the buffer reaches.
    uint64_t available = transferred >= sizeof count ? count : 0;
    if (available > inboundSize) available = inboundSize;
    l.events.pause();
    l.eventsOut.pause();
    uint64_t position = 0;
    while (available - position >= kRecordHeaderSize) {
      RecordHeader h;
      std::memcpy(&h, inbound + position, sizeof h);
      if (available - position - kRecordHeaderSize < h.size) break;  // cut short: the batch ends here
      if (l.handler.load() != nullptr && h.type < 30)
        dispatchRecord(h, inbound + position + kRecordHeaderSize);
      position += kRecordHeaderSize + h.size;
    }
    l.events.resume();
    l.eventsOut.resume();
    maintenance();
    l.events.drain(kEventDrainLimit, l.stopEvent);
    l.eventsOut.drain(kEventOutDrainLimit, l.stopEvent);
  }
  if (reading) dev->cancel(io);
  if (!l.stopEvent.wait(0)) {
    // Nobody asked the reader to stop: the device failed under it, so the
    // driver is gone (its process ended, or it broke the protocol). Writers
    // waiting for it have been failed by the device; from here on writes and
    // injections fail at once instead of queueing for a driver that will
    // never take them.
    l.driverGone.store(true);
    platform::debugOutput(
        "[DRV] the driver went away: its device read failed; driver events stop until the "
        "library is closed and opened again");
  }
  l.events.stop();
  l.eventsOut.stop();
  l.threadExited.set();
}

}  // namespace detail

void DrvEvent::run() {
  if (kind == kKindTcp)
    detail::runTcpEvent(id, mask);
  else
    detail::runUdpEvent(id, mask);
}

void DrvEventOut::run() {
  if (kind == kKindTcp)
    detail::runTcpEventOut(id, mask);
  else
    detail::runUdpEventOut(id, mask);
}

}  // namespace drvapi
