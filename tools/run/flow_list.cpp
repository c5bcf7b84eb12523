#include "flow_list.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

namespace run {
namespace {

namespace wire = capture::wire;

// "10.0.0.2:40112", or "10.0.0.2" where the port means nothing (ICMP).
std::string endpointText(const wire::Endpoint& e, bool withPort) {
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &e.address, address, sizeof address);
  return withPort ? std::string(address) + ":" + std::to_string(ntohs(e.port)) : address;
}

// "45s", "2m05s", "1h02m".
std::string ageText(uint32_t ms) {
  const uint32_t seconds = ms / 1000;
  char text[32];
  if (seconds < 60)
    std::snprintf(text, sizeof text, "%us", seconds);
  else if (seconds < 3600)
    std::snprintf(text, sizeof text, "%um%02us", seconds / 60, seconds % 60);
  else
    std::snprintf(text, sizeof text, "%uh%02um", seconds / 3600, seconds / 60 % 60);
  return text;
}

// The program's name as the driver wrote it: up to the first zero byte, the
// field's end at the latest, anything that could steer a terminal made '?'.
std::string programText(const char (&name)[sizeof(wire::FlowRecord::program)]) {
  std::string text;
  for (char c : name) {
    if (c == '\0') break;
    const auto byte = static_cast<unsigned char>(c);
    text += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return text.empty() ? "?" : text;
}

std::string decisionText(const wire::FlowRecord& f) {
  switch (f.decision) {
    case wire::kDecisionWaiting:
      return "waiting for a verdict";
    case wire::kDecisionRelayed:
      return "via relay " + endpointText(f.target, true);
    case wire::kDecisionAsAsked:
      return "as asked";
    case wire::kDecisionRefused:
      return "refused";
    case wire::kDecisionReported:
      return "through the library";
    case wire::kDecisionStraight:
      return "straight";
    case wire::kDecisionFilteringOff:
      return "filtering off";
    default:
      return "decision " + std::to_string(f.decision);
  }
}

std::string flowLine(const wire::FlowRecord& f) {
  const bool tcp = f.protocol == 6, udp = f.protocol == 17, icmp = f.protocol == 1;
  std::string line = "  ";
  line += tcp ? "tcp" : udp ? "udp" : icmp ? "icmp" : "ip" + std::to_string(f.protocol);
  line += "  " + programText(f.program) + "[" + std::to_string(f.pid) + "]  ";
  const bool ports = !icmp;
  line += endpointText(f.local, ports) + " -> ";
  line += f.remote.address == 0 && f.remote.port == 0 ? "-" : endpointText(f.remote, ports);
  line += "  " + decisionText(f) + "  ";
  // The capture carries UDP and ICMP messages and counts them; of a TCP
  // connection the system's byte counts are all there is.
  if (tcp) {
    line += "up " + formatBytes(f.upBytes) + " down " + formatBytes(f.downBytes);
  } else {
    const char* unit = icmp ? " msgs " : " dgrams ";
    line += "up " + std::to_string(f.upDatagrams) + unit + formatBytes(f.upBytes) + " down " +
            std::to_string(f.downDatagrams) + unit + formatBytes(f.downBytes);
  }
  line += "  " + ageText(f.ageMs);
  if ((f.flags & wire::kFlowClosed) != 0) line += "  closed";
  return line;
}

}  // namespace

std::string formatBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(units)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

bool parseFlowList(const void* packet, size_t size, FlowList& out, std::string& error) {
  const std::optional<wire::Message> m = wire::readMessage(packet, size, false);
  if (!m || m->type != wire::kFlowsReply) {
    error = "not a flow list (" + std::to_string(size) + " bytes)";
    return false;
  }
  const wire::FlowsReply head = m->as<wire::FlowsReply>();
  // The count is the driver's word only as far as the packet bears it out.
  if (m->payload.size() != size_t{head.count} * sizeof(wire::FlowRecord)) {
    error = "a flow list of " + std::to_string(head.count) + " flows in " +
            std::to_string(m->payload.size()) + " bytes";
    return false;
  }
  out.total = head.total;
  out.truncated = (head.flags & wire::kFlowsTruncated) != 0;
  out.flows.resize(head.count);
  if (head.count != 0) std::memcpy(out.flows.data(), m->payload.data(), m->payload.size());
  return true;
}

std::vector<std::string> flowListLines(const FlowList& list) {
  std::string head = "lumo: flows (from lumo-driver): ";
  if (list.flows.empty() && list.total == 0)
    head += "none";
  else if (list.truncated || list.total != list.flows.size())
    head += std::to_string(list.flows.size()) + " of " + std::to_string(list.total) + " shown";
  else
    head += std::to_string(list.flows.size());
  std::vector<std::string> lines = {head};
  for (const wire::FlowRecord& f : list.flows) lines.push_back(flowLine(f));
  return lines;
}

FlowListReader::FlowListReader(std::string socketPath)
    : socketPath_(std::move(socketPath)), buffer_(wire::kMaxMessage + 1) {}

std::vector<std::string> FlowListReader::failed(const std::string& why) {
  connection_.reset();
  awaiting_ = false;
  return {"lumo: flows: " + why};
}

std::vector<std::string> FlowListReader::ask() {
  if (awaiting_) return failed("lumo-driver did not answer within a second");
  if (connection_.get() < 0) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path)
      return failed("the capture socket's path is too long: " + socketPath_);
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    // Non-blocking: a driver whose backlog is full fails this second's
    // request instead of holding up lumo-run.
    connection_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connection_.get() < 0 ||
        connect(connection_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return failed("lumo-driver does not answer on " + socketPath_ + " (" + strerror(errno) + ")");
    }
  }
  const wire::Hello request{wire::header(wire::kFlowsRequest, 0), wire::kMagic, wire::kVersion, 0};
  if (send(connection_.get(), &request, sizeof request, MSG_DONTWAIT | MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof request)) {
    return failed("cannot ask lumo-driver on " + socketPath_ + " (" + strerror(errno) + ")");
  }
  awaiting_ = true;
  return {};
}

int FlowListReader::descriptor() const { return awaiting_ ? connection_.get() : -1; }

std::vector<std::string> FlowListReader::read() {
  if (!awaiting_) return {};
  msghdr header{};
  iovec part{buffer_.data(), buffer_.size()};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  ssize_t n;
  do {
    n = recvmsg(connection_.get(), &header, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
  if (n < 0) return failed(std::string("reading lumo-driver's answer: ") + strerror(errno));
  if (n == 0) return failed("lumo-driver closed the connection");
  if ((header.msg_flags & MSG_TRUNC) != 0) return failed("lumo-driver's answer is longer than any flow list");
  awaiting_ = false;
  FlowList list;
  std::string error;
  if (!parseFlowList(buffer_.data(), static_cast<size_t>(n), list, error))
    return failed("lumo-driver's answer is malformed: " + error);
  return flowListLines(list);
}

}  // namespace run
