// The small blocking DNS client: one A or AAAA query to one server over UDP,
// waiting at most about a second for the answer. Used by the upstream server
// probe and by Parts of the engine that need a one-off look-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/net.h"

namespace hostnet {

inline constexpr uint16_t kDnsTypeA = 1;
inline constexpr uint16_t kDnsTypeAaaa = 28;
// The query buffer: 12 header bytes, at most 255 bytes of encoded name, type
// and class.
inline constexpr size_t kDnsQueryBufferSize = 271;
// Elapsed time reported when no acceptable answer came in time.
inline constexpr uint32_t kDnsQueryTimedOut = 1001;

// Milliseconds of a monotonic clock; an empty function means
// platform::monotonicMs.
using MillisecondClock = std::function<uint64_t()>;

struct DnsQueryResult {
  // Answer addresses in answer order: family 2 for A records, family 23 for
  // AAAA records, port 0.
  std::vector<platform::SocketAddress> addresses;
  // Milliseconds from sending to the accepted reply; kDnsQueryTimedOut when
  // the query gave up waiting.
  uint32_t elapsedMs = 0;
};

// Builds the query message (identifier, flags 0x0100, one question, the name
// as labels, type, class 1) into `buffer`. Returns its length, or 0 when the
// name is not a valid host name (empty label, label over 63 bytes) or does
// not fit the 271-byte buffer. A single trailing dot is allowed.
size_t EncodeDnsQuery(uint16_t id, uint16_t type, std::string_view name,
                      uint8_t (&buffer)[kDnsQueryBufferSize]);

// What a reply datagram means for a query.
enum class DnsReplyVerdict {
  Ignore,    // not the answer to this query (other id, error code, no answer): keep waiting
  Mismatch,  // the answer to this query, but a question name differs or the message is malformed
  Accepted,  // the answer; addresses appended
};

// Reads one reply datagram for the query `query` (as built by
// EncodeDnsQuery) through a bounded reader: never reads outside `reply`.
DnsReplyVerdict ReadDnsReply(const uint8_t* query, size_t queryLength, const uint8_t* reply,
                             size_t replyLength, std::vector<platform::SocketAddress>& addresses);

// Sends one query of `type` (kDnsTypeA or kDnsTypeAaaa; other types fail)
// for `name` to `server` (IPv4, network order) at `serverPortNet` (network
// order, 53 by default), waits in 100 ms slices and gives up once more than
// 1000 ms have passed on `clock` (then elapsedMs is 1001). True when an
// accepted reply came; false on time-out, a mismatched question name, a name
// that does not fit the query, or a send failure. Blocks the calling thread;
// any thread; each call has its own socket.
bool DnsQueryBlocking(uint32_t server, uint16_t type, std::string_view name, DnsQueryResult& out,
                      uint16_t serverPortNet = platform::hostToNet16(53),
                      const MillisecondClock& clock = {});

}  // namespace hostnet
