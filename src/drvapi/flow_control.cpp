// Flow control towards the driver: a connection or flow whose queues hold too
// much is suspended, and resumed once they drain.
#include "drvapi/drvapi.h"
#include "drvapi/events.h"

namespace drvapi {
namespace detail {

namespace {

// One kind's limits on the queues towards the network and from it (the
// inject queues share kInjectLimit), and its two control codes.
struct FlowLimits {
  int64_t toNet, fromNet;
  uint32_t suspend, resume;
};
constexpr FlowLimits kTcpLimits{kTcpToNetLimit, kTcpFromNetLimit, kTcpSuspend, kTcpResume};
constexpr FlowLimits kUdpLimits{kUdpDataLimit, kUdpDataLimit, kUdpSuspend, kUdpResume};

// The record to write, or 0: after data was appended, suspend once any queue
// reached its limit; otherwise resume once all are back within them.
template <typename Entry>
uint32_t decide(const Entry& e, bool afterAppend, const FlowLimits& k) {
  if (afterAppend)
    return !e.suspended && (e.injectOut.footprint >= kInjectLimit || e.injectIn.footprint >= kInjectLimit ||
                            e.toNet.footprint >= k.toNet || e.fromNet.footprint >= k.fromNet)
               ? k.suspend
               : 0u;
  return e.suspended && e.injectOut.footprint <= kInjectLimit && e.injectIn.footprint <= kInjectLimit &&
                 e.toNet.footprint <= k.toNet && e.fromNet.footprint <= k.fromNet
             ? k.resume
             : 0u;
}

// Suspend and resume for one connection or flow, judged by the heap bytes
// the queues hold (a node is counted whole, however little of it is used).
// The decision and the recorded state live under the library lock, the
// write does not; so that two threads (a delivering worker and the injection
// writer) cannot both decide on the same stale state, only one writes at a
// time and a second one that arrives meanwhile makes it decide again after
// its write is recorded.
template <typename Table>
void flowControl(Table& table, uint64_t id, bool afterAppend, const FlowLimits& limits) {
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
      code = decide(*e, afterAppend, limits);
      if (code == 0) return;
      e->flowWriting = true;
      e->flowRecheck = false;
    }
    const bool written = writeRecord(code, id, nullptr, 0) == kOk;
    AutoLock guard(l.lock);
    auto* e = table.find(id);
    if (e == nullptr) return;
    // The state is recorded only when the driver took the record.
    if (written) e->suspended = code == limits.suspend;
    e->flowWriting = false;
    if (!e->flowRecheck) return;
    e->flowRecheck = false;
    // Look again with both rules: whatever the other thread saw still holds.
    afterAppend = !e->suspended;
  }
}

}  // namespace

void tcpFlowControl(uint64_t id, bool afterAppend) { flowControl(lib().tcp, id, afterAppend, kTcpLimits); }

void udpFlowControl(uint64_t id, bool afterAppend) { flowControl(lib().udp, id, afterAppend, kUdpLimits); }

}  // namespace detail
}  // namespace drvapi
