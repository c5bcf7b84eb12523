// DNS messages as the engine reads and writes them (RFC 1035 over UDP, at
// most 512 bytes): the parse of an intercepted query or an observed response,
// the response the engine synthesises, the query it sends upstream, and the
// key under which a waiting query is found again by its answer.
//
// Every byte of a message is read through platform::WireReader: whatever the
// counts, label lengths, compression pointers or bit-string lengths say, no
// read leaves the message. Pure functions; any thread. Depends on headers
// only, so the reference node compiles it as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket_address28.h"

namespace dns {

using platform::SocketAddress28;

inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kMaxMessageSize = 512;  // RFC 1035 4.2.1, UDP without extensions
inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeAaaa = 28;
inline constexpr uint16_t kClassInternet = 1;
inline constexpr uint32_t kAnswerTtlSeconds = 30;
// The largest encoded name (RFC 1035 3.1), root byte included.
inline constexpr size_t kMaxNameLength = 255;

// The header facts every caller checks before anything else.
struct DnsHeader {
  uint16_t id = 0;
  bool isResponse = false;  // QR
  uint16_t questionCount = 0;
  uint16_t answerCount = 0;
};
// Reads the header: false when `data` is null or `length` is outside 12..512.
bool ReadDnsHeader(const uint8_t* data, size_t length, DnsHeader& header);
// The message is one the engine examines: 12..512 bytes, exactly one question,
// and QR as `wantResponse` says.
bool IsExaminable(const uint8_t* data, size_t length, bool wantResponse);

// The parse of one message.
struct DnsMessage {
  bool ok = false;          // a query with a readable A/AAAA question, or a response with an address
  bool isResponse = false;  // QR
  uint16_t id = 0;          // host order
  // The question name, dotted and normalised (trimmed, lower-cased); empty
  // when the header, the question or an answer record could not be read, or
  // the question is not A or AAAA of class IN.
  std::string name;
  bool isA = false;         // the question type is A (false: AAAA)
  bool mixedTypes = false;  // an answer of the other address type was seen
  // The A (family 2) and AAAA (family 23) answers in message order, port 0.
  std::vector<SocketAddress28> answers;
};

// Parses a query or a response. Never reads outside data[0, length).
DnsMessage ParseDnsMessage(const uint8_t* data, size_t length);

// White space (space, CR, LF, tab) trimmed from both ends, ASCII lower-cased.
std::string NormalizeName(std::string_view name);

// The key of a waiting query: "0x<id in hex>-<A|AAAA>-<name>".
std::string PendingKey(uint16_t id, bool isA, const std::string& name);

// Writes `name` as labels (RFC 1035 3.1) at out's end. False, with `out`
// unchanged, for an empty label, a label over 63 bytes or a name over 255
// bytes encoded. One trailing dot is allowed.
bool AppendEncodedName(std::string_view name, std::vector<uint8_t>& out);

// The response the engine gives an application: ID `id`, flags 0x8180, the
// question (name, A or AAAA, class IN), and one answer per address whatever
// the question's type (A for family 2, AAAA otherwise), each naming the
// question through the pointer 0xC00C with TTL 30 s. Addresses that would
// take the message past 512 bytes are left out. Empty when the name cannot be
// encoded.
std::vector<uint8_t> BuildDnsResponse(uint16_t id, std::string_view name, bool isA,
                                      const std::vector<SocketAddress28>& addresses);

// The query the resolver sends upstream: ID `id`, flags 0x0100 (recursion
// desired), one question of `type` and class IN. Empty when the name cannot
// be encoded.
std::vector<uint8_t> BuildDnsQuery(uint16_t id, std::string_view name, uint16_t type);

}  // namespace dns
