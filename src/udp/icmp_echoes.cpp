#include "udp/icmp_echoes.h"

#include <cstring>
#include <new>

namespace udp {

bool IcmpEchoes::IsExcludedDestination(uint32_t destinationNet, uint32_t nodeAddressNet) {
  uint8_t a[4];
  std::memcpy(a, &destinationNet, sizeof a);
  // The loopback network is answered by this very machine: a ping the node
  // answered would report the node's own loopback, not ours.
  if (a[0] == 127) return true;
  if (a[0] == 27 && a[1] == 0 && a[2] == 0 && a[3] == 1) return true;
  if (destinationNet == nodeAddressNet) return true;
  // Private networks are the player's own.
  if (a[0] == 10) return true;
  if (a[0] == 172 && (a[1] & 0xF0) == 16) return true;
  return a[0] == 192 && a[1] == 168;
}

bool IcmpEchoes::RedirectEcho(const uint8_t* packet, size_t length, const drvapi::IpOptions& options) {
  // Only what the scheduler can queue and the reply path can rebuild is
  // taken; anything else goes as it is and gets its answer from the network.
  if (length > kIcmpPacketRoom || !IsEchoRequest(packet, length)) return false;
  const size_t headerLength = Ipv4HeaderLength(packet, length);
  if (headerLength > kIpv4KeptHeader) return false;
  const uint32_t destination = ReadAddress(packet + kIpv4Destination);
  if (IsExcludedDestination(destination, links_.nodeAddress())) return false;
  const std::optional<uint32_t> delay = links_.delayFor(destination);
  if (!delay) return false;

  auto record = std::shared_ptr<ICMP_OPTIONS>(new (std::nothrow) ICMP_OPTIONS);
  if (!record) return false;
  record->options = options;
  record->headerLength = static_cast<uint32_t>(headerLength);
  std::memcpy(record->header, packet, headerLength);
  record->sent.store(1);

  const uint32_t key = EchoKeyOf(packet + headerLength);
  {
    std::lock_guard<std::mutex> lock(pendingLock_);
    auto found = pending_.find(key);
    // The same identifier and sequence while one is pending: taken without a
    // send, so that the application gets one reply for both.
    if (found != pending_.end() && found->second->sent.load() == 1) return true;
    try {
      pending_[key] = record;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  // The entry exists before the copy is queued: however short the delay,
  // the synthesized reply finds it.
  if (scheduler_.Enqueue(packet, length, *delay) == IcmpRedirector::kRefused) {
    std::lock_guard<std::mutex> lock(pendingLock_);
    auto found = pending_.find(key);
    if (found != pending_.end() && found->second == record) pending_.erase(found);
    return false;
  }

  // A failed send leaves the request to the synthesized reply.
  links_.sendToNode(packet + headerLength, length - headerLength, destination);
  return true;
}

void IcmpEchoes::DeliverIcmpReply(const uint8_t* message, size_t length) {
  // Only an echo reply answers a ping: anything else the node might return
  // for it (its own echo of the request, say) leaves the entry to the
  // synthesized reply.
  if (length < kIcmpEchoHeader || message[kIcmpType] != kIcmpEchoReply || message[kIcmpCode] != 0) return;
  // A reply too long to rebuild leaves the entry to the other reply.
  const std::shared_ptr<ICMP_OPTIONS> record = take(EchoKeyOf(message), length);
  if (!record) return;  // answered already, never pending, or too long
  uint8_t expected = 1;
  if (!record->sent.compare_exchange_strong(expected, 0)) return;
  uint8_t packet[kIcmpPacketRoom];
  const size_t total =
      BuildReplyPacket(record->header, record->headerLength, message, length, packet, sizeof packet);
  if (total == 0) return;  // longer than a reply may be
  links_.injectReceive(packet, total, record->options);
}

std::shared_ptr<ICMP_OPTIONS> IcmpEchoes::take(uint32_t key, size_t messageLength) {
  std::lock_guard<std::mutex> lock(pendingLock_);
  auto found = pending_.find(key);
  if (found == pending_.end() || found->second->headerLength + messageLength > kIcmpPacketRoom)
    return nullptr;
  std::shared_ptr<ICMP_OPTIONS> record = std::move(found->second);
  pending_.erase(found);
  return record;
}

void IcmpEchoes::Clear() {
  std::lock_guard<std::mutex> lock(pendingLock_);
  pending_.clear();
  pending_.rehash(8);
}

size_t IcmpEchoes::PendingCount() const {
  std::lock_guard<std::mutex> lock(pendingLock_);
  return pending_.size();
}

}  // namespace udp
