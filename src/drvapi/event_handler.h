// The engine's side of the driver interface: the callbacks through which the
// driver library delivers every event. The slot order is part of the
// contract. Callbacks run on the library's worker threads (raw-IP ones on its
// reader thread) with no library lock held; one connection's callbacks never
// overlap, different connections' run in parallel.
#pragma once

#include <cstdint>

#include "drvapi/records.h"

namespace drvapi {

class DRV_EventHandler {
 public:
  virtual ~DRV_EventHandler() = default;

  // Once at the start and at the end of every worker thread of both pools.
  virtual void threadStart() {}
  virtual void threadEnd() {}

  // A connect is held until this returns; the handler may change
  // info->filteringFlag and info->remoteAddress in place (the verdict).
  virtual void tcpConnectRequest(uint64_t id, TcpConnInfo* info) = 0;
  virtual void tcpConnected(uint64_t id, TcpConnInfo* info) = 0;
  virtual void tcpClosed(uint64_t id, TcpConnInfo* info) = 0;
  // Stream bytes towards the application / towards the network; length 0 is
  // the end of the stream in that direction.
  virtual void tcpReceive(uint64_t id, const char* data, int length) = 0;
  virtual void tcpSend(uint64_t id, const char* data, int length) = 0;
  virtual void tcpCanReceive(uint64_t id) = 0;
  virtual void tcpCanSend(uint64_t id) = 0;

  virtual void udpCreated(uint64_t id, UdpConnInfo* info) = 0;
  virtual void udpConnectRequest(uint64_t id, UdpConnectRequest* request) = 0;
  virtual void udpClosed(uint64_t id, UdpConnInfo* info) = 0;
  virtual void udpReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                          const UdpOptions* options) = 0;
  virtual void udpSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                       const UdpOptions* options) = 0;
  virtual void udpCanReceive(uint64_t id) = 0;
  virtual void udpCanSend(uint64_t id) = 0;
};

class DRV_IPEventHandler {
 public:
  virtual ~DRV_IPEventHandler() = default;
  // One raw IP packet inbound / outbound, with its options record.
  virtual void ipReceive(const char* packet, int length, const IpOptions* options) = 0;
  virtual void ipSend(const char* packet, int length, const IpOptions* options) = 0;
};

}  // namespace drvapi
