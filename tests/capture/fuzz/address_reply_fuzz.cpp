// Fuzz target: any datagram as the answer to the capture's A query for
// "cname.example" with the datagram's own ID. A read never leaves the input
// (the sanitizers watch), and what comes back holds together: addresses only
// with the kind that says so, names of host-name text within a name's
// length, a chain no longer than the hop limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "address_reply.h"

namespace {

bool hostText(const std::string& name) {
  if (name.size() > 254) return false;
  for (char c : name)
    if (c < '!' || c > '~') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using capture::preload::ReplyKind;
  // An exact-size copy, so that a read past the end is one past the buffer.
  std::vector<uint8_t> copy(data, data + size);
  const uint16_t id = size >= 2 ? static_cast<uint16_t>((data[0] << 8) | data[1]) : 0;
  const capture::preload::AddressReply r = capture::preload::ReadAddressReply(
      copy.empty() ? nullptr : copy.data(), copy.size(), id, "cname.example");
  if ((r.kind == ReplyKind::Addresses) != !r.addresses.empty()) std::abort();
  if (r.aliases.size() > static_cast<size_t>(capture::preload::kMaxCnameHops)) std::abort();
  if (r.kind == ReplyKind::Addresses || r.kind == ReplyKind::NoData) {
    if (r.canonicalName.empty() || !hostText(r.canonicalName)) std::abort();
    for (const std::string& alias : r.aliases)
      if (!hostText(alias)) std::abort();
  } else if (!r.canonicalName.empty() || !r.aliases.empty()) {
    std::abort();
  }
  return 0;
}
