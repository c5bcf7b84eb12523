// The answer to one A query the capture sent for a program's name look-up
// (resolver.h), read from a reply datagram (RFC 1035 4.1). The reader tells a
// reply that belongs to the query from one that does not, and reads the
// addresses the name has: the A records of the name itself, or of the end of
// the CNAME chain that starts at it, as far as the reply holds it.
//
// Every byte is read through platform::WireReader, so no read leaves the
// datagram whatever its counts, lengths and compression pointers say. Pure
// function; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace capture::preload {

// Whether two dotted names are the same name: letter case and one trailing
// dot do not count.
bool SameDnsName(std::string_view a, std::string_view b);

enum class ReplyKind : uint8_t {
  // Not the answer to this query (another ID or question, not a response),
  // or unreadable: the look-up keeps waiting for the real one.
  Ignored,
  // The server's answer, but none to go by: a failure code other than
  // NXDOMAIN (server failure, refused, not implemented, format error), or a
  // truncated message. The look-up asks the next server.
  Unusable,
  NoName,     // NXDOMAIN (RCODE 3): the name does not exist
  NoData,     // the name (or its chain) exists but has no A record
  Addresses,  // `addresses` holds at least one
};

struct AddressReply {
  ReplyKind kind = ReplyKind::Ignored;
  std::vector<uint32_t> addresses;  // network order, in the reply's order
  // For NoData and Addresses: the name the addresses belong to (the end of
  // the CNAME chain, dotted, as the reply spells it), and the names before it
  // in the chain, starting with the one asked (as the reply spells it).
  std::string canonicalName;
  std::vector<std::string> aliases;
};

// The CNAME records followed from the name asked at most (a longer chain, or
// a loop, ends there: the name counts as having no address).
inline constexpr int kMaxCnameHops = 16;

// Reads `reply` as the answer to the query with `id` for the A records of
// `name` (dotted, one trailing dot allowed; compared without ASCII case),
// class IN. Names in the answer must be host-name text: a label with a byte
// outside '!'..'~' or a dot makes the reply Ignored, as does any record that
// cannot be read whole.
AddressReply ReadAddressReply(const uint8_t* reply, size_t length, uint16_t id, std::string_view name);

}  // namespace capture::preload
