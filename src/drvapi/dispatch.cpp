// The driver interface's event side: the reader thread that walks each batch
// of records the driver placed in the inbound buffer, the connection tables
// those records update, the two event queues whose jobs make the handler's
// callbacks and write the injected data, flow control towards the driver and
// the periodic maintenance.
//
// Everything the driver wrote is untrusted: record sizes are checked against
// the batch, payloads against the size their type needs, and a record that
// does not fit is skipped (or ends the batch when it runs past its end).
#include <algorithm>
#include <cstring>
#include <vector>

#include "drvapi/drvapi.h"
#include "drvapi/library.h"
#include "platform/debug.h"

namespace drvapi {

using detail::lib;
using detail::Library;
using detail::now;

namespace {

using Guard = std::unique_lock<RecursiveLock>;

constexpr uint32_t bit(uint32_t code) { return 1u << code; }

unsigned char* pointerOf(uint64_t address) {
  return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(address));
}

uint32_t readU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
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
      const RecordHeader q{0, id, static_cast<uint32_t>(kSockAddrSize)};
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
        if (haveLocal) std::memcpy(e->info.localAddress, query + kRecordHeaderSize, kSockAddrSize);
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
          std::memcpy(e->info.localAddress, e->request.localAddress, kSockAddrSize);
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

// Moves one list's waiting data to the handler (or, pass-through, back to the
// driver). The budget is the byte total at the start, so data that arrives
// meanwhile waits for the next job; empty chunks (end of stream) always go.
// Returns false when the entry disappeared.
template <class Locate, class Deliver>
bool deliverStream(Guard& lk, Locate&& locate, bool fromNet, Deliver&& deliver) {
  Library& l = lib();
  TcpEntry* e = locate();
  if (e == nullptr) return false;
  int64_t budget = (fromNet ? e->fromNet : e->toNet).bytes;
  for (;;) {
    NodeList& list = fromNet ? e->fromNet : e->toNet;
    DataNode* node = list.head;
    if (node == nullptr) break;
    const uint32_t size = node->size();
    if (size > 0 && budget <= 0) break;
    list.popFront();
    list.bytes -= size;
    budget = std::max<int64_t>(0, budget - size);
    const bool passThrough = e->passThrough;
    lk.unlock();
    deliver(passThrough, reinterpret_cast<const char*>(node->payload()), static_cast<int>(size));
    lk.lock();
    l.pool.release(node);
    if ((e = locate()) == nullptr) return false;
  }
  return true;
}

// The retired entry `e` if it is still there.
TcpEntry* stillRetired(TcpEntry* e) {
  auto& retired = lib().retiredTcp;
  return std::find(retired.begin(), retired.end(), e) != retired.end() ? e : nullptr;
}

// Finishes the closing connections that stepped aside for a new one with
// the same id: their last data and their close reach the handler, oldest
// first, and their entries are freed. Their injected data is not written:
// the driver's id now means the new connection.
void finishRetiredTcp(Guard& lk, DRV_EventHandler* h, uint64_t id) {
  Library& l = lib();
  for (;;) {
    auto it =
        std::find_if(l.retiredTcp.begin(), l.retiredTcp.end(), [id](TcpEntry* r) { return r->id == id; });
    if (it == l.retiredTcp.end()) return;
    TcpEntry* old = *it;
    auto locate = [old] { return stillRetired(old); };
    auto toHandler = [&](bool fromNet) {
      return deliverStream(lk, locate, fromNet, [&](bool pass, const char* data, int size) {
        if (pass) return;  // nowhere to pass it to any more
        if (fromNet)
          h->tcpReceive(id, data, size);
        else
          h->tcpSend(id, data, size);
      });
    };
    if (toHandler(true) && toHandler(false) && !old->closeReported) {
      old->closeReported = true;
      TcpConnInfo info = old->info;
      lk.unlock();
      h->tcpClosed(id, &info);
      lk.lock();
    }
    if (stillRetired(old) != nullptr) {
      l.retiredTcp.erase(std::find(l.retiredTcp.begin(), l.retiredTcp.end(), old));
      ConnectionTable<TcpEntry>::destroyDetached(l.pool, old);
    }
  }
}

// After a verdict was written, or its write failed: what verdict bits 0x01
// and 0x02 mean for the entry. A verdict the driver did not take is put back
// (its entry made again if it was already forgotten) for the maintenance to
// write at its next run, since the application's connect waits for it. An
// entry that the driver made anew for the id meanwhile is left alone: it has
// no verdict yet, or is connected. Under the library lock.
void afterVerdict(Guard& lk, uint64_t id, const TcpConnInfo& verdict, bool written) {
  Library& l = lib();
  const uint32_t flag = verdict.filteringFlag;
  const bool keep = (flag & kVerdictFiltered) && !(flag & kVerdictClose);
  TcpEntry* e = l.tcp.find(id);
  if (!written) {
    bool created = false;
    if (e == nullptr && !keep) {
      if ((e = l.tcp.insert(l.pool, id, &created)) == nullptr) return;
      e->info = verdict;
      e->lastActivity = now();
    }
    if (e != nullptr && (created || e->verdictSent) && !e->connected) {
      e->verdictSent = false;
      e->verdictRetry = true;
    }
    return;
  }
  if (!keep && e != nullptr && e->verdictSent && !e->connected) l.tcp.erase(l.pool, e);
  if (flag & kVerdictClose) {
    lk.unlock();
    detail::closeTcpConnection(id);
    lk.lock();
  }
}

void runTcpEvent(uint64_t id, uint32_t mask) {
  Library& l = lib();
  DRV_EventHandler* h = l.handler.load();
  if (h == nullptr) return;
  Guard lk(l.lock);
  if (!l.retiredTcp.empty()) finishRetiredTcp(lk, h, id);
  TcpEntry* e = l.tcp.find(id);
  if (e == nullptr || e->closeReported) return;
  // This job serves this entry only: should the driver give the id to a new
  // connection meanwhile, the next job finishes this one and starts that.
  TcpEntry* const entry = e;
  auto own = [&l, id, entry]() -> TcpEntry* { return l.tcp.find(id) == entry ? entry : nullptr; };

  if (mask & bit(kTcpConnected)) {
    // Handlers get a copy: the reader may update the entry meanwhile.
    TcpConnInfo info = e->info;
    lk.unlock();
    h->tcpConnected(id, &info);
    lk.lock();
    if ((e = own()) == nullptr) return;
  }

  if (mask & bit(kTcpConnectRequest)) {
    TcpConnInfo info = e->info;
    e->deciding = true;
    e->disableAfterVerdict = false;
    lk.unlock();
    h->tcpConnectRequest(id, &info);
    lk.lock();
    if ((e = own()) == nullptr) return;
    e->deciding = false;
    e->info.filteringFlag = info.filteringFlag;
    std::memcpy(e->info.remoteAddress, info.remoteAddress, kSockAddrSize);
    const uint32_t flag = info.filteringFlag;
    // tcpDisableFiltering asked for while the verdict was being made is
    // judged by that verdict, not by the flags the driver reported.
    if (e->disableAfterVerdict && (flag & kVerdictFiltered) && !(flag & kVerdictKeepFiltering))
      e->passThrough = true;
    e->disableAfterVerdict = false;
    // Deciding later only holds the verdict back; the rest of the job (a
    // close that came in the same batch) still runs.
    if (!(flag & kVerdictDecideLater)) {
      const TcpConnInfo verdict = e->info;
      // An entry that is not kept is forgotten before the verdict goes out,
      // so a connected record that the verdict releases finds a fresh slot.
      const bool keep = (flag & kVerdictFiltered) && !(flag & kVerdictClose);
      if (!keep)
        l.tcp.erase(l.pool, e);
      else
        e->verdictSent = true;
      lk.unlock();
      const bool written = detail::writeRecord(kTcpConnectRequest, id, &verdict, sizeof verdict) == kOk;
      lk.lock();
      afterVerdict(lk, id, verdict, written);
      if (!keep) return;
    }
  }

  if (!deliverStream(lk, own, true, [&](bool pass, const char* data, int size) {
        if (pass)
          tcpInjectReceive(id, data, size);
        else
          h->tcpReceive(id, data, size);
      }))
    return;
  if (!deliverStream(lk, own, false, [&](bool pass, const char* data, int size) {
        if (pass)
          tcpInjectSend(id, data, size);
        else
          h->tcpSend(id, data, size);
      }))
    return;
  if ((e = own()) == nullptr) return;

  if ((mask & bit(kTcpCanReceive)) && e->injectIn.bytes < detail::kCanReceiveLimit &&
      !e->canReceiveReported) {
    e->canReceiveReported = true;
    lk.unlock();
    h->tcpCanReceive(id);
    lk.lock();
    if ((e = own()) == nullptr) return;
  }
  if ((mask & bit(kTcpCanSend)) && e->injectOut.empty() && !e->canSendReported) {
    e->canSendReported = true;
    lk.unlock();
    h->tcpCanSend(id);
    lk.lock();
  }

  lk.unlock();
  detail::tcpFlowControl(id, false);
  lk.lock();

  // The close is the entry's own: a close bit that came with the record of a
  // new connection under a reused id belonged to the one that stepped aside.
  if (mask & bit(kTcpClosed)) {
    if ((e = own()) == nullptr || !e->closeSeen || e->closeReported) return;
    e->closeReported = true;
    TcpConnInfo info = e->info;
    lk.unlock();
    h->tcpClosed(id, &info);
    // The out-queue deletes the entry after its last flush.
    l.eventsOut.push(kTcpClosed, id);
    lk.lock();
  }
}

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
    if (fromNet && l.driverKind == 2 && optionsLength >= 32 + kSockAddrSize)
      std::memcpy(e->info.localAddress, payload + sizeof(UdpDatagramHeader) + 32, kSockAddrSize);
    const bool passThrough = e->passThrough;
    lk.unlock();
    deliver(passThrough, payload, reinterpret_cast<const char*>(data), length, options);
    lk.lock();
    l.pool.release(node);
    if ((e = l.udp.find(id)) == nullptr) return false;
  }
  return true;
}

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
  if (!deliverDatagrams(lk, id, true,
                        [&](bool pass, const unsigned char* remote, const char* data, int length,
                            const UdpOptions* options) {
                          if (pass)
                            udpInjectReceive(id, remote, data, length, options);
                          else
                            h->udpReceive(id, remote, data, length, options);
                        }))
    return;
  if (!deliverDatagrams(lk, id, false,
                        [&](bool pass, const unsigned char* remote, const char* data, int length,
                            const UdpOptions* options) {
                          if (pass)
                            udpInjectSend(id, remote, data, length, options);
                          else
                            h->udpSend(id, remote, data, length, options);
                        }))
    return;
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

// Writes one direction's injected TCP chunks. A chunk whose write fails goes
// back to the front and waits for the driver's next "can" record; chunks
// after an end of stream are dropped.
void flushTcpInjected(Guard& lk, uint64_t id, bool towardsApplication) {
  Library& l = lib();
  TcpEntry* e = l.tcp.find(id);
  if (e == nullptr) return;
  e->lastActivity = now();
  int64_t budget = (towardsApplication ? e->injectIn : e->injectOut).bytes;
  for (;;) {
    NodeList& queue = towardsApplication ? e->injectIn : e->injectOut;
    DataNode* node = queue.head;
    if (node == nullptr) break;
    const uint32_t size = node->size();
    if (size > 0 && budget <= 0) break;
    queue.popFront();
    if (!(towardsApplication ? e->inEndInjected : e->outEndInjected)) {
      lk.unlock();
      const int written = detail::writeFramed(node->record, node->recordSize());
      lk.lock();
      if ((e = l.tcp.find(id)) == nullptr) {
        l.pool.release(node);
        return;
      }
      if (written != kOk) {
        (towardsApplication ? e->injectIn : e->injectOut).pushFront(node);
        return;
      }
      if (size == 0) {
        if (towardsApplication) {
          e->inEndInjected = true;
          e->closeAfterMs = detail::kIdleAfterEndMs;
        } else {
          e->outEndInjected = true;
        }
      }
    }
    (towardsApplication ? e->injectIn : e->injectOut).bytes -= size;
    budget = std::max<int64_t>(0, budget - size);
    l.pool.release(node);
  }
  if ((towardsApplication ? e->injectIn : e->injectOut).empty()) {
    lk.unlock();
    l.events.runOrPush(towardsApplication ? kTcpCanReceive : kTcpCanSend, id);
    lk.lock();
  }
}

void runTcpEventOut(uint64_t id, uint32_t mask) {
  Library& l = lib();
  if (mask & bit(kDriverPing)) detail::writeRecord(kDriverPing, id, nullptr, 0);
  Guard lk(l.lock);
  if (l.tcp.find(id) == nullptr) return;
  if (mask & bit(kTcpCanReceive)) flushTcpInjected(lk, id, true);
  if (mask & bit(kTcpCanSend)) flushTcpInjected(lk, id, false);
  lk.unlock();
  detail::tcpFlowControl(id, false);
  lk.lock();
  // Only the entry whose close was delivered: a new connection may already
  // have taken the id.
  if (mask & bit(kTcpClosed)) {
    if (TcpEntry* e = l.tcp.find(id); e != nullptr && e->closeReported) l.tcp.erase(l.pool, e);
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

int tcpInject(uint64_t id, const char* data, int length, bool towardsApplication) {
  if (length < 0 || (length > 0 && data == nullptr)) return kFailed;
  Library& l = lib();
  int result = kOk;
  {
    AutoLock guard(l.lock);
    if (!l.initialised.load()) return kNotInitialised;
    if (l.driverGone.load()) return kFailed;
    TcpEntry* e = l.tcp.find(id);
    if (e == nullptr || !e->connected) return kUnknownConnection;
    (towardsApplication ? e->canReceiveReported : e->canSendReported) = false;
    NodeList& queue = towardsApplication ? e->injectIn : e->injectOut;
    const uint32_t type = towardsApplication ? kTcpReceive : kTcpSend;
    const uint32_t limit = static_cast<uint32_t>(l.chunkLimit.load());
    const uint32_t total = static_cast<uint32_t>(length);
    DataNode* last = queue.tail;
    if (total > limit) {
      // The driver takes at most chunkLimit bytes per record.
      for (uint32_t offset = 0; offset < total; offset += limit) {
        const uint32_t part = std::min(limit, total - offset);
        DataNode* node = DataNode::create(l.pool, type, id, limit);
        if (node == nullptr) {
          result = kFailed;
          break;
        }
        std::memcpy(node->payload(), data + offset, part);
        node->header()->size = part;
        queue.pushBack(node);
        queue.bytes += part;
      }
    } else if (total > 0 && last != nullptr && last->size() > 0 && last->size() + total <= limit &&
               last->size() + total <= last->capacity) {
      std::memcpy(last->payload() + last->size(), data, total);
      last->header()->size = last->size() + total;
      queue.bytes += total;
    } else {
      DataNode* node = DataNode::create(l.pool, type, id, total == 0 ? 0 : limit);
      if (node == nullptr) return kFailed;
      if (total != 0) std::memcpy(node->payload(), data, total);
      node->header()->size = total;
      queue.pushBack(node);
      queue.bytes += total;
    }
    // Pushed under the library lock, so that nothing injected before
    // freeDriver is still queued when the library starts again.
    if (!queue.empty()) l.eventsOut.push(towardsApplication ? kTcpCanReceive : kTcpCanSend, id);
  }
  return result;
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
    std::memset(p, 0, kSockAddrSize);
    uint16_t family = 0;
    std::memcpy(&family, remoteAddress, sizeof family);
    std::memcpy(p, remoteAddress, family == kFamilyIpv6 ? kSockAddrSize : 16);
    std::memcpy(p + 28, &flags, 4);
    std::memcpy(p + 32, &optionsLength, 4);
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

void DrvEvent::run() {
  if (kind == kKindTcp)
    runTcpEvent(id, mask);
  else
    runUdpEvent(id, mask);
}

void DrvEventOut::run() {
  if (kind == kKindTcp)
    runTcpEventOut(id, mask);
  else
    runUdpEventOut(id, mask);
}

int tcpInjectSend(uint64_t id, const char* data, int length) { return tcpInject(id, data, length, false); }
int tcpInjectReceive(uint64_t id, const char* data, int length) { return tcpInject(id, data, length, true); }

int udpInjectSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const UdpOptions* options) {
  return udpInject(id, remoteAddress, data, length, options, false);
}

int udpInjectReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                     const UdpOptions* options) {
  return udpInject(id, remoteAddress, data, length, options, true);
}

uint64_t droppedInboundDatagrams() { return lib().droppedInboundDatagrams.load(std::memory_order_relaxed); }

namespace detail {

namespace {

// Suspend and resume for one connection or flow, judged by the heap bytes
// the queues hold (a node is counted whole, however little of it is used).
// The decision and the
// recorded state live under the library lock, the write does not; so that two
// threads (a delivering worker and the injection writer) cannot both decide
// on the same stale state, only one writes at a time and a second one that
// arrives meanwhile makes it decide again after its write is recorded.
// `decide(entry, afterAppend)` gives the record to write, or 0.
template <typename Table, typename Decide>
void flowControl(Table& table, uint64_t id, bool afterAppend, uint32_t suspendCode, Decide decide) {
  Library& l = lib();
  for (;;) {
    uint32_t code = 0;
    {
      AutoLock guard(l.lock);
      auto* e = table.find(id);
      if (e == nullptr) return;
      if (e->flowWriting) {
        e->flowRecheck = true;
        return;
      }
      code = decide(*e, afterAppend);
      if (code == 0) return;
      e->flowWriting = true;
      e->flowRecheck = false;
    }
    const bool written = writeRecord(code, id, nullptr, 0) == kOk;
    AutoLock guard(l.lock);
    auto* e = table.find(id);
    if (e == nullptr) return;
    // The state is recorded only when the driver took the record.
    if (written) e->suspended = code == suspendCode;
    e->flowWriting = false;
    if (!e->flowRecheck) return;
    e->flowRecheck = false;
    // Look again with both rules: whatever the other thread saw still holds.
    afterAppend = !e->suspended;
  }
}

}  // namespace

void tcpFlowControl(uint64_t id, bool afterAppend) {
  flowControl(lib().tcp, id, afterAppend, kTcpSuspend, [](const TcpEntry& e, bool append) -> uint32_t {
    if (append)
      return !e.suspended && (e.injectOut.footprint >= kInjectLimit || e.injectIn.footprint >= kInjectLimit ||
                              e.toNet.footprint >= kTcpToNetLimit || e.fromNet.footprint >= kTcpFromNetLimit)
                 ? static_cast<uint32_t>(kTcpSuspend)
                 : 0u;
    return e.suspended && e.injectOut.footprint <= kInjectLimit && e.injectIn.footprint <= kInjectLimit &&
                   e.toNet.footprint <= kTcpToNetLimit && e.fromNet.footprint <= kTcpFromNetLimit
               ? static_cast<uint32_t>(kTcpResume)
               : 0u;
  });
}

void udpFlowControl(uint64_t id, bool afterAppend) {
  flowControl(lib().udp, id, afterAppend, kUdpSuspend, [](const UdpEntry& e, bool append) -> uint32_t {
    if (append)
      return !e.suspended && (e.injectOut.footprint >= kInjectLimit || e.injectIn.footprint >= kInjectLimit ||
                              e.toNet.footprint >= kUdpDataLimit || e.fromNet.footprint >= kUdpDataLimit)
                 ? static_cast<uint32_t>(kUdpSuspend)
                 : 0u;
    return e.suspended && e.injectOut.footprint <= kInjectLimit && e.injectIn.footprint <= kInjectLimit &&
                   e.toNet.footprint <= kUdpDataLimit && e.fromNet.footprint <= kUdpDataLimit
               ? static_cast<uint32_t>(kUdpResume)
               : 0u;
  });
}

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
  unsigned char* inbound = pointerOf(l.buffers[0]);
  const uint64_t inboundSize = inbound != nullptr ? l.buffers[1] : 0;
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
}  // namespace drvapi
