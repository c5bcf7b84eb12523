// Fuzz target: the proxy node's replies to the relay's SOCKS5 client. A peer
// on 127.0.0.1 accepts the client's connection, sends the input as the node's
// whole byte stream (greeting reply, authentication reply, CONNECT reply and
// whatever follows it) and shuts its sending down, so that a reply cut short
// meets the node's end of stream, never a deadline. Socks5Connect must end
// with one of the results that a node's replies can cause.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "platform/net.h"
#include "platform/owned_socket.h"
#include "tcp/socks5_client.h"

namespace {

using platform::Socket;

// The client reads at most a few hundred bytes; more would only sit in the
// socket buffers.
constexpr size_t kLongestStream = 1024;
constexpr uint32_t kPatienceMs = 10000;

// The node's listener on 127.0.0.1 at a port the system picks, opened once
// for the whole run (kInvalidSocket when it cannot be had).
struct NodeListener {
  Socket socket = platform::kInvalidSocket;
  uint16_t portNet = 0;
};

const NodeListener& nodeListener() {
  static const NodeListener node = [] {
    NodeListener n;
    Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress bound;
    if (s == platform::kInvalidSocket ||
        !platform::bindSocket(s, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)) ||
        !platform::listenSocket(s, 4) || !platform::localAddressOf(s, bound)) {
      platform::closeSocket(s);
      return n;
    }
    n.socket = s;
    n.portNet = bound.port();
    return n;
  }();
  return node;
}

// The node: one connection, the input sent whole, sending shut down, then
// everything the client sends read until it closes (so the client's close
// meets no unread bytes and no reset).
void playNode(Socket listener, const uint8_t* data, size_t size) {
  if (platform::waitReadable(listener, kPatienceMs) != 1) return;
  platform::OwnedSocket node(platform::acceptSocket(listener, nullptr));
  if (node.get() == platform::kInvalidSocket) return;
  while (size > 0) {
    const int sent = platform::sendBytes(node.get(), data, size);
    if (sent <= 0) break;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  platform::shutdownSocket(node.get(), platform::ShutdownHow::Send);
  uint8_t sink[512];
  while (platform::waitReadable(node.get(), kPatienceMs) == 1 &&
         platform::receiveBytes(node.get(), sink, sizeof sink) > 0) {
  }
}

bool replyCanCause(uint32_t result) {
  switch (result) {
    case tcp::kSocks5Ok:
    case tcp::kSocks5GreetingReceiveFailed:
    case tcp::kSocks5AuthReceiveFailed:
    case tcp::kSocks5Refused:
    case tcp::kSocks5ConnectReceiveFailed:
    case tcp::kSocks5ConnectRefused:
      return true;
    default:
      // A time-out in particular would mean the client kept waiting on a
      // node that had already ended its stream.
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const NodeListener& node = nodeListener();
  if (node.socket == platform::kInvalidSocket) std::abort();
  if (size > kLongestStream) size = kLongestStream;

  std::thread peer(playNode, node.socket, data, size);
  uint32_t result = 0;
  int32_t detail = 0;
  {
    platform::OwnedSocket client(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
    if (client.get() == platform::kInvalidSocket) std::abort();
    const platform::SocketAddress destination =
        platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000));
    result = tcp::Socks5Connect(platform::kFamilyIpv4, client.get(), destination,
                                platform::ipv4(127, 0, 0, 1), node.portNet, "player", "secret", detail);
  }
  peer.join();
  if (!replyCanCause(result) || (result == tcp::kSocks5Ok && detail != 0)) std::abort();
  return 0;
}
