// Inside the driver interface library: the one process-wide state and the
// functions that the operations, the reader thread and the jobs share. Not
// for use outside src/drvapi.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "drvapi/auto_lock.h"
#include "drvapi/connection_table.h"
#include "drvapi/event_handler.h"
#include "drvapi/event_queue.h"
#include "drvapi/record_pool.h"
#include "platform/device.h"
#include "platform/event.h"

namespace drvapi {

// Delivers one connection's pending inbound records to the handler.
class DrvEvent final : public QueuedJob {
 public:
  void run() override;
};

// Writes one connection's queued injections to the driver.
class DrvEventOut final : public QueuedJob {
 public:
  void run() override;
};

namespace detail {

// Flow-control thresholds (bytes).
inline constexpr int64_t kInjectLimit = 1048576;
inline constexpr int64_t kTcpToNetLimit = 262144;
inline constexpr int64_t kTcpFromNetLimit = 8388608;
inline constexpr int64_t kUdpDataLimit = 8388608;
inline constexpr int64_t kCanReceiveLimit = 262144;
// Queue loads the reader waits for after each batch.
inline constexpr size_t kEventDrainLimit = 8000;
inline constexpr size_t kEventOutDrainLimit = 64000;
// Maintenance timing (ms).
inline constexpr uint32_t kMaintenanceInterval = 10000;
inline constexpr uint32_t kCloseWhenIdleMs = 10001;
inline constexpr uint32_t kVerdictFallbackMs = 20000;
inline constexpr uint32_t kIdleAfterEndMs = 60000;
inline constexpr uint32_t kReadWaitMs = 1000;
inline constexpr size_t kDatagramGranularity = 4096;
// Datagrams injected towards an application that wait for the driver to ask
// for them (it asks for one at a time). A game reads its socket every frame;
// 128 datagrams are over a second of a 128-tick server's stream, so a reader
// further behind than that is not playing on them, and what it will want is
// the newest state: beyond the cap the oldest waiting datagram is dropped
// (and counted). 128 nodes of small datagrams take 512 KiB, half the inject
// limit, so a capped queue alone never suspends the application's own flow.
inline constexpr size_t kMaxWaitingInboundDatagrams = 128;

struct Library {
  RecursiveLock lock;    // the library lock
  std::mutex writeLock;  // innermost: one record in the outbound buffer at a time

  std::atomic<bool> initialised{false};
  // The reader ended on its own: the device failed (its driver went away).
  // Writes and injections then fail at once; the next initDriver opens the
  // device again. Cleared by freeDriver.
  std::atomic<bool> driverGone{false};
  std::shared_ptr<platform::Device> device;  // changed under both locks
  char driverName[260] = {};
  SharedBuffers buffers{};  // under both locks
  uint32_t driverKind = 0;
  std::atomic<int> chunkLimit{static_cast<int>(kSmallChunk)};
  int workerThreads = 1;
  std::atomic<uint32_t> optionFlags{0};
  std::atomic<DRV_EventHandler*> handler{nullptr};
  std::atomic<DRV_IPEventHandler*> ipHandler{nullptr};

  ConnectionTable<TcpEntry> tcp;
  ConnectionTable<UdpEntry> udp;
  // Closing connections whose id the driver gave to a new connection before
  // the old one's close was delivered; oldest first. Their jobs finish and
  // free them.
  std::vector<TcpEntry*> retiredTcp;
  std::atomic<uint64_t> droppedInboundDatagrams{0};
  RecordPool pool;

  platform::Event stopEvent{platform::Event::Reset::Manual};
  platform::Event threadExited{platform::Event::Reset::Manual};
  platform::Event threadStarted{platform::Event::Reset::Manual};
  std::thread reader;
  bool readerRunning = false;

  EventQueue<DrvEvent> events;
  EventQueue<DrvEventOut> eventsOut;

  platform::DeviceIo writeIo;  // under writeLock
  bool maintenanceRan = false;
  uint32_t lastMaintenance = 0;
};

Library& lib();

// The library's clock in milliseconds (the installed tick source or the
// platform's tick count).
uint32_t now();

// The device, or null; takes the library lock briefly.
std::shared_ptr<platform::Device> device();

// The write primitive: writes one record (type, id, `size` payload bytes) to
// the driver. Status 0, -1 (failed, refused with 0 bytes, or interrupted by
// the stop event), -3 (not initialised), -4 (too large, or the write did not
// start). Call without the library lock where possible; takes the write lock.
int writeRecord(uint32_t type, uint64_t id, const void* payload, uint32_t size);
// The same for a record already framed in one block (a data node), and for a
// record whose payload comes in two pieces (raw IP: options + packet).
int writeFramed(const unsigned char* record, uint32_t total);
int writeRecord2(uint32_t type, uint64_t id, const void* a, uint32_t aSize, const void* b, uint32_t bSize);

// Closes a TCP connection: queues an end of stream towards the network and
// sends the close control code. Without the library lock.
void closeTcpConnection(uint64_t id);

// The reader thread's body.
void readerMain(DRV_EventHandler* handler, int workerThreads);

// Runs the periodic maintenance when 10 seconds have passed since the last
// run (or it never ran). Reader thread, without the library lock.
void maintenance();

// Suspend (after data was appended) or resume (at the end of a job) towards
// the driver when the state changes; the new state is recorded only when the
// write succeeded. Called without the library lock.
void tcpFlowControl(uint64_t id, bool afterAppend);
void udpFlowControl(uint64_t id, bool afterAppend);

}  // namespace detail
}  // namespace drvapi
