// The driver interface's TCP jobs: delivering a connection's records to the
// handler (its verdict included) and writing what the engine injects, in
// chunks the driver takes, when the driver asks for them.
#include <algorithm>
#include <cstring>

#include "drvapi/drvapi.h"
#include "drvapi/events.h"

namespace drvapi {
namespace detail {

namespace {

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

}  // namespace

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
    e->info.remoteAddress = info.remoteAddress;
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

  // What came from the network, then what the application sent; a
  // connection whose filtering is off gets its bytes passed on unchanged.
  for (const bool fromNet : {true, false}) {
    const auto deliver = [&](bool pass, const char* data, int size) {
      if (pass)
        (fromNet ? tcpInjectReceive : tcpInjectSend)(id, data, size);
      else if (fromNet)
        h->tcpReceive(id, data, size);
      else
        h->tcpSend(id, data, size);
    };
    if (!deliverStream(lk, own, fromNet, deliver)) return;
  }
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

}  // namespace detail

int tcpInjectSend(uint64_t id, const char* data, int length) {
  return detail::tcpInject(id, data, length, false);
}
int tcpInjectReceive(uint64_t id, const char* data, int length) {
  return detail::tcpInject(id, data, length, true);
}

}  // namespace drvapi
