// Linux: sock_diag (NETLINK_SOCK_DIAG, man 7 sock_diag) answers a request
// for one socket, named by its four addresses and ports, with an
// inet_diag_msg and, when asked, the socket's tcp_info. A request without
// NLM_F_DUMP is an exact look-up: the kernel runs it within our sendmsg and
// queues the answer (or an error message, ENOENT for no such socket) before
// the call returns, so the answer is read without waiting.
#include "tcp_socket_stats.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace capture {
namespace {

// The kernel's TCP states (include/net/tcp_states.h) that matter here: the
// two a socket has once nobody holds it any more, the one where our FIN has
// been acknowledged, and those after the peer's FIN came.
constexpr uint8_t kTcpFinWait2 = 5;
constexpr uint8_t kTcpTimeWait = 6;
constexpr uint8_t kTcpClose = 7;
constexpr uint8_t kTcpCloseWait = 8;
constexpr uint8_t kTcpLastAck = 9;
constexpr uint8_t kTcpClosing = 11;

// Room for one answer: the message, tcp_info and a few other attributes.
constexpr size_t kAnswerRoom = 8192;

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// Reads the two byte counts out of an INET_DIAG_INFO attribute of a socket
// in `state`; older kernels write a shorter tcp_info, which then leaves them
// 0. The system counts sequence numbers: the SYN and our FIN among the bytes
// acknowledged, the peer's FIN among those received. Those are taken off.
void readCounts(const uint8_t* info, size_t size, uint8_t state, TcpSocketStats& out) {
  constexpr size_t kAcked = offsetof(tcp_info, tcpi_bytes_acked);
  constexpr size_t kReceived = offsetof(tcp_info, tcpi_bytes_received);
  if (size >= kAcked + sizeof(uint64_t)) std::memcpy(&out.bytesAcked, info + kAcked, sizeof(uint64_t));
  if (size >= kReceived + sizeof(uint64_t))
    std::memcpy(&out.bytesReceived, info + kReceived, sizeof(uint64_t));
  const uint64_t controlAcked = 1 + (state == kTcpFinWait2 ? 1 : 0);
  const uint64_t controlReceived =
      state == kTcpCloseWait || state == kTcpLastAck || state == kTcpClosing ? 1 : 0;
  out.bytesAcked = out.bytesAcked > controlAcked ? out.bytesAcked - controlAcked : 0;
  out.bytesReceived = out.bytesReceived > controlReceived ? out.bytesReceived - controlReceived : 0;
}

// The answer to request `sequence` in `answer` (what one recv gave).
TcpSocketStats readAnswer(const uint8_t* answer, size_t size, uint32_t sequence) {
  TcpSocketStats out;
  size_t at = 0;
  while (size - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, answer + at, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - at) return out;
    const uint8_t* body = answer + at + sizeof header;
    const size_t bodySize = header.nlmsg_len - sizeof header;
    at += NLMSG_ALIGN(header.nlmsg_len) <= size - at ? NLMSG_ALIGN(header.nlmsg_len) : size - at;
    if (header.nlmsg_seq != sequence) continue;  // a late answer to an earlier request
    if (header.nlmsg_type == NLMSG_ERROR) {
      nlmsgerr error;
      if (bodySize < sizeof error) return out;
      std::memcpy(&error, body, sizeof error);
      if (error.error == -ENOENT) out.state = TcpSocketStats::State::Gone;
      return out;
    }
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || bodySize < sizeof(inet_diag_msg)) return out;
    inet_diag_msg message;
    std::memcpy(&message, body, sizeof message);
    // A socket the program closed has no inode left: the system only
    // finishes its connection.
    if (message.idiag_state == kTcpTimeWait || message.idiag_state == kTcpClose || message.idiag_inode == 0) {
      out.state = TcpSocketStats::State::Gone;
      return out;
    }
    out.state = TcpSocketStats::State::Open;
    // The attributes follow the message, each aligned to four bytes.
    size_t attribute = NLMSG_ALIGN(sizeof message);
    while (attribute + sizeof(nlattr) <= bodySize) {
      nlattr a;
      std::memcpy(&a, body + attribute, sizeof a);
      if (a.nla_len < sizeof a || a.nla_len > bodySize - attribute) break;
      if (a.nla_type == INET_DIAG_INFO)
        readCounts(body + attribute + NLA_HDRLEN, a.nla_len - NLA_HDRLEN, message.idiag_state, out);
      attribute += NLA_ALIGN(a.nla_len);
    }
    return out;
  }
  return out;
}

}  // namespace

TcpSocketTable::~TcpSocketTable() {
  if (fd_ >= 0) ::close(fd_);
}

bool TcpSocketTable::ask(uint16_t flags, const wire::Endpoint& local, const wire::Endpoint& remote,
                         uint32_t states) {
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = flags;
  request.header.nlmsg_seq = ++sequence_;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_ext = 1u << (INET_DIAG_INFO - 1);
  request.body.idiag_states = states;
  // The socket's own address is the source; ports and addresses stay in
  // network order.
  request.body.id.idiag_sport = local.port;
  request.body.id.idiag_dport = remote.port;
  request.body.id.idiag_src[0] = local.address;
  request.body.id.idiag_dst[0] = remote.address;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t n;
  do {
    n = ::sendto(fd_, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof request);
}

size_t TcpSocketTable::receive(uint8_t* answer, size_t room) {
  for (;;) {
    const ssize_t n = ::recv(fd_, answer, room, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) return 0;
    // Answers to earlier requests that were still queued are skipped.
    nlmsghdr first;
    std::memcpy(&first, answer, sizeof first);
    if (first.nlmsg_seq == sequence_) return static_cast<size_t>(n);
  }
}

bool TcpSocketTable::open() {
  if (fd_ >= 0) return available_;
  fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd_ < 0) return false;
  // A system without TCP socket diagnostics (inet_diag, tcp_diag) answers
  // every look-up with ENOENT, as if no socket were there: a listing of no
  // states at all tells it apart, answered by an empty end when it has them.
  alignas(nlmsghdr) uint8_t answer[kAnswerRoom];
  if (!ask(NLM_F_REQUEST | NLM_F_DUMP, {}, {}, 0)) return false;
  const size_t n = receive(answer, sizeof answer);
  nlmsghdr header;
  if (n < sizeof header + sizeof(int)) return false;
  std::memcpy(&header, answer, sizeof header);
  int error;
  std::memcpy(&error, answer + sizeof header, sizeof error);
  available_ = (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) && error == 0;
  return available_;
}

TcpSocketStats TcpSocketTable::lookUp(const wire::Endpoint& local, const wire::Endpoint& remote) {
  if (!open() || !ask(NLM_F_REQUEST, local, remote, ~0u)) return {};
  alignas(nlmsghdr) uint8_t answer[kAnswerRoom];
  const size_t n = receive(answer, sizeof answer);
  return n == 0 ? TcpSocketStats{} : readAnswer(answer, n, sequence_);
}

}  // namespace capture
