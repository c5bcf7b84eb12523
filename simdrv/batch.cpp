// The records a test scripts: addresses and connection descriptions, and
// batches framed as they stand in the inbound buffer.
#include <cstddef>
#include <cstring>
#include <string>

#include "driver_records.h"
#include "platform/net.h"
#include "sim_driver.h"

namespace simdrv {

using namespace drvapi;

platform::SocketAddress28 ipv4(std::string_view address, uint16_t port) {
  // Unparsable text gives 0.0.0.0; 255.255.255.255 is the one address that
  // reads the same as "not an address".
  const std::string text(address);
  uint32_t addressNet = platform::inetAddr(text.c_str());
  if (addressNet == 0xFFFFFFFFu && text != "255.255.255.255") addressNet = 0;
  return ipv4Field(addressNet, platform::hostToNet16(port));
}

TcpConnInfo tcpInfo(uint32_t processId, const platform::SocketAddress28& local,
                    const platform::SocketAddress28& remote, uint32_t filteringFlag) {
  TcpConnInfo info{};
  info.filteringFlag = filteringFlag;
  info.processId = processId;
  info.direction = 2;
  info.ipFamily = kFamilyIpv4;
  info.localAddress = local;
  info.remoteAddress = remote;
  return info;
}

UdpConnInfo udpInfo(uint32_t processId, const platform::SocketAddress28& local) {
  UdpConnInfo info{};
  info.processId = processId;
  info.ipFamily = kFamilyIpv4;
  info.localAddress = local;
  return info;
}

// --- Batch -------------------------------------------------------------------

Batch& Batch::record(uint32_t type, uint64_t id, const void* payload, size_t size) {
  const RecordHeader h{type, id, static_cast<uint32_t>(size)};
  rawBytes(&h, sizeof h);
  if (size != 0) rawBytes(payload, size);
  return *this;
}

Batch& Batch::rawBytes(const void* bytes, size_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  bytes_.insert(bytes_.end(), p, p + size);
  return *this;
}

Batch& Batch::tcpConnectRequest(uint64_t id, const TcpConnInfo& info) {
  return record(kTcpConnectRequest, id, &info, sizeof info);
}
Batch& Batch::tcpConnected(uint64_t id, const TcpConnInfo& info) {
  return record(kTcpConnected, id, &info, sizeof info);
}
Batch& Batch::tcpReceive(uint64_t id, std::string_view bytes) {
  return record(kTcpReceive, id, bytes.data(), bytes.size());
}
Batch& Batch::tcpSend(uint64_t id, std::string_view bytes) {
  return record(kTcpSend, id, bytes.data(), bytes.size());
}
Batch& Batch::udpCreated(uint64_t id, const UdpConnInfo& info) {
  return record(kUdpCreated, id, &info, sizeof info);
}
Batch& Batch::udpConnectRequest(uint64_t id, const UdpConnectRequest& request) {
  return record(kUdpConnectRequest, id, &request, sizeof request);
}

namespace {

std::vector<uint8_t> datagramPayload(const platform::SocketAddress28& remote, std::string_view datagram,
                                     std::string_view options, uint32_t flags) {
  std::vector<uint8_t> p(sizeof(UdpDatagramHeader) + options.size() + datagram.size());
  std::memcpy(p.data() + offsetof(UdpDatagramHeader, remoteAddress), remote.bytes.data(), sizeof remote);
  const uint32_t length = static_cast<uint32_t>(options.size());
  std::memcpy(p.data() + offsetof(UdpDatagramHeader, optionsFlags), &flags, sizeof flags);
  std::memcpy(p.data() + offsetof(UdpDatagramHeader, optionsLength), &length, sizeof length);
  uint8_t* const data = p.data() + sizeof(UdpDatagramHeader);
  if (!options.empty()) std::memcpy(data, options.data(), options.size());
  if (!datagram.empty()) std::memcpy(data + options.size(), datagram.data(), datagram.size());
  return p;
}

std::vector<uint8_t> ipPayload(const IpOptions& options, std::string_view packet) {
  std::vector<uint8_t> p(sizeof options + packet.size());
  std::memcpy(p.data(), &options, sizeof options);
  if (!packet.empty()) std::memcpy(p.data() + sizeof options, packet.data(), packet.size());
  return p;
}

}  // namespace

Batch& Batch::udpReceive(uint64_t id, const platform::SocketAddress28& remote, std::string_view datagram,
                         std::string_view options, uint32_t optionsFlags) {
  const auto p = datagramPayload(remote, datagram, options, optionsFlags);
  return record(kUdpReceive, id, p.data(), p.size());
}
Batch& Batch::udpSend(uint64_t id, const platform::SocketAddress28& remote, std::string_view datagram,
                      std::string_view options, uint32_t optionsFlags) {
  const auto p = datagramPayload(remote, datagram, options, optionsFlags);
  return record(kUdpSend, id, p.data(), p.size());
}
Batch& Batch::ipReceive(const IpOptions& options, std::string_view packet) {
  const auto p = ipPayload(options, packet);
  return record(kIpReceive, 0, p.data(), p.size());
}
Batch& Batch::ipSend(const IpOptions& options, std::string_view packet) {
  const auto p = ipPayload(options, packet);
  return record(kIpSend, 0, p.data(), p.size());
}

}  // namespace simdrv
