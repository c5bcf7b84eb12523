// The library's per-connection state: data nodes, the TCP connection and UDP
// flow entries, and the hash table that finds them by connection id while
// keeping them in creation order. Everything here is guarded by the library
// lock; nothing in this file locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "drvapi/record_pool.h"
#include "drvapi/records.h"

namespace drvapi {

// One data chunk or datagram: the complete out-record (frame header and
// payload) preceded by the list link, so it can be written as it stands.
struct DataNode {
  DataNode* next;
  uint32_t capacity;                        // payload bytes the block can hold
  uint32_t footprint;                       // heap bytes the block takes (what memory limits count)
  unsigned char record[kRecordHeaderSize];  // frame header; the payload follows

  RecordHeader* header() { return reinterpret_cast<RecordHeader*>(record); }
  uint32_t size() const { return reinterpret_cast<const RecordHeader*>(record)->size; }
  unsigned char* payload() { return record + kRecordHeaderSize; }
  uint32_t recordSize() const { return static_cast<uint32_t>(kRecordHeaderSize) + size(); }

  // A node whose payload can hold `capacity` bytes, with its header set to
  // (type, id, size 0). Null when the pool refuses.
  static DataNode* create(RecordPool& pool, uint32_t type, uint64_t id, uint32_t capacity,
                          size_t granularity = 0) {
    const size_t size = offsetof(DataNode, record) + kRecordHeaderSize + size_t{capacity};
    const size_t footprint = RecordPool::footprint(size, granularity);
    if (footprint > UINT32_MAX) return nullptr;
    void* block = pool.allocate(size, granularity);
    if (block == nullptr) return nullptr;
    DataNode* node = static_cast<DataNode*>(block);
    node->next = nullptr;
    node->capacity = capacity;
    node->footprint = static_cast<uint32_t>(footprint);
    RecordHeader h{type, id, 0};
    std::memcpy(node->record, &h, sizeof h);
    return node;
  }
};

// A FIFO of nodes with the byte total of their payloads (kept by the
// caller: it is the delivery budget), and the heap bytes and number of the
// nodes (kept here). A small datagram still takes a whole 4096-byte node, so
// memory limits count the footprint, never the payload.
struct NodeList {
  DataNode* head = nullptr;
  DataNode* tail = nullptr;
  int64_t bytes = 0;
  int64_t footprint = 0;
  size_t count = 0;

  bool empty() const { return head == nullptr; }
  void pushBack(DataNode* node) {
    node->next = nullptr;
    if (tail != nullptr)
      tail->next = node;
    else
      head = node;
    tail = node;
    added(node);
  }
  void pushFront(DataNode* node) {
    node->next = head;
    head = node;
    if (tail == nullptr) tail = node;
    added(node);
  }
  DataNode* popFront() {
    DataNode* node = head;
    if (node == nullptr) return nullptr;
    head = node->next;
    if (head == nullptr) tail = nullptr;
    node->next = nullptr;
    footprint -= node->footprint;
    --count;
    return node;
  }
  void release(RecordPool& pool) {
    while (DataNode* node = popFront()) pool.release(node);
    bytes = 0;
  }

 private:
  void added(const DataNode* node) {
    footprint += node->footprint;
    ++count;
  }
};

// Links every entry carries: its hash chain and the creation-ordered list.
struct EntryLinks {
  uint64_t id = 0;
  void* chainNext = nullptr;
  void* orderPrev = nullptr;
  void* orderNext = nullptr;
};

struct TcpEntry : EntryLinks {
  NodeList fromNet;    // code 2 data waiting for the handler
  NodeList toNet;      // code 3 data waiting for the handler
  NodeList injectIn;   // tcpInjectReceive chunks waiting for the driver
  NodeList injectOut;  // tcpInjectSend chunks waiting for the driver
  bool canSendReported = false;
  bool canReceiveReported = false;
  uint32_t lastActivity = 0;
  TcpConnInfo info{};
  bool suspended = false;
  // A suspend or resume record is being written (by one thread at a time);
  // another thread that finds the state should change meanwhile asks the
  // writer to look again once its write has been recorded.
  bool flowWriting = false;
  bool flowRecheck = false;
  bool timedOut = false;
  bool passThrough = false;
  bool connected = false;
  bool closeReported = false;
  bool closeWhenIdle = false;
  bool inEndInjected = false;
  bool outEndInjected = false;
  bool verdictSent = false;
  // The verdict's write failed: the maintenance writes it at its next run.
  bool verdictRetry = false;
  // The tcpConnectRequest callback is deciding the verdict; a
  // tcpDisableFiltering meanwhile is applied to the verdict it makes.
  bool deciding = false;
  bool disableAfterVerdict = false;
  // A tcpClosed record arrived: the connection is over as far as the
  // driver is concerned, and a new connection may come with the same id.
  bool closeSeen = false;
  uint32_t closeAfterMs = 0;

  void releaseData(RecordPool& pool) {
    fromNet.release(pool);
    toNet.release(pool);
    injectIn.release(pool);
    injectOut.release(pool);
  }
};

struct UdpEntry : EntryLinks {
  NodeList fromNet;
  NodeList toNet;
  NodeList injectIn;
  NodeList injectOut;
  UdpConnInfo info{};
  UdpConnectRequest request{};
  bool suspended = false;
  // A suspend or resume record is being written (by one thread at a time);
  // another thread that finds the state should change meanwhile asks the
  // writer to look again once its write has been recorded.
  bool flowWriting = false;
  bool flowRecheck = false;
  bool passThrough = false;
  bool injectInBusy = false;  // an injected inbound datagram waits for the driver's next request

  void releaseData(RecordPool& pool) {
    fromNet.release(pool);
    toNet.release(pool);
    injectIn.release(pool);
    injectOut.release(pool);
  }
};

// Chained hash table of entries keyed by connection id: bucket = id modulo
// 12289, new entries at the head of their chain, plus a doubly linked list in
// creation order for the periodic maintenance. Entries live in pool blocks.
template <class Entry>
class ConnectionTable {
 public:
  static constexpr uint64_t kBuckets = 12289;

  ConnectionTable() = default;
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  bool created() const { return !buckets_.empty(); }
  void create() { buckets_.assign(kBuckets, nullptr); }

  Entry* find(uint64_t id) const {
    if (buckets_.empty()) return nullptr;
    for (void* p = buckets_[id % kBuckets]; p != nullptr; p = static_cast<Entry*>(p)->chainNext) {
      Entry* e = static_cast<Entry*>(p);
      if (e->id == id) return e;
    }
    return nullptr;
  }

  // A new entry for `id`, or the existing one (the table is then unchanged).
  // *created tells which. Null when the table is not created or the pool
  // refuses.
  Entry* insert(RecordPool& pool, uint64_t id, bool* created = nullptr) {
    if (created != nullptr) *created = false;
    if (buckets_.empty()) return nullptr;
    if (Entry* existing = find(id)) return existing;
    void* block = pool.allocate(sizeof(Entry));
    if (block == nullptr) return nullptr;
    Entry* e = new (block) Entry();
    e->id = id;
    void*& chain = buckets_[id % kBuckets];
    e->chainNext = chain;
    chain = e;
    e->orderPrev = tail_;
    if (tail_ != nullptr)
      static_cast<Entry*>(tail_)->orderNext = e;
    else
      head_ = e;
    tail_ = e;
    ++count_;
    if (created != nullptr) *created = true;
    return e;
  }

  // Unlinks `e`, frees its queued data and gives its block back.
  void erase(RecordPool& pool, Entry* e) {
    detach(e);
    destroyDetached(pool, e);
  }

  // Takes `e` out of the table without freeing it: a closing connection
  // whose id the driver has already given to a new one.
  void detach(Entry* e) {
    void** link = &buckets_[e->id % kBuckets];
    while (*link != nullptr && *link != e) link = &static_cast<Entry*>(*link)->chainNext;
    if (*link == e) *link = e->chainNext;
    if (e->orderPrev != nullptr)
      static_cast<Entry*>(e->orderPrev)->orderNext = e->orderNext;
    else
      head_ = static_cast<Entry*>(e->orderNext);
    if (e->orderNext != nullptr)
      static_cast<Entry*>(e->orderNext)->orderPrev = e->orderPrev;
    else
      tail_ = static_cast<Entry*>(e->orderPrev);
    e->chainNext = e->orderPrev = e->orderNext = nullptr;
    --count_;
  }

  // Frees an entry that detach() took out (its queued data too).
  static void destroyDetached(RecordPool& pool, Entry* e) {
    e->releaseData(pool);
    e->~Entry();
    pool.release(e);
  }

  // Frees every entry and the buckets.
  void destroy(RecordPool& pool) {
    while (head_ != nullptr) erase(pool, head_);
    buckets_.clear();
    buckets_.shrink_to_fit();
  }

  // Entries in creation order; `fn` must not erase.
  template <class Fn>
  void forEach(Fn&& fn) {
    for (Entry* e = head_; e != nullptr; e = static_cast<Entry*>(e->orderNext)) fn(*e);
  }

  size_t size() const { return count_; }

 private:
  std::vector<void*> buckets_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  size_t count_ = 0;
};

}  // namespace drvapi
