// A driver event handler that does nothing: tests derive from it and override
// only the callbacks they care about.
#pragma once

#include "drvapi/event_handler.h"

namespace lumotest {

class QuietHandler : public drvapi::DRV_EventHandler {
 public:
  void tcpConnectRequest(uint64_t, drvapi::TcpConnInfo*) override {}
  void tcpConnected(uint64_t, drvapi::TcpConnInfo*) override {}
  void tcpClosed(uint64_t, drvapi::TcpConnInfo*) override {}
  void tcpReceive(uint64_t, const char*, int) override {}
  void tcpSend(uint64_t, const char*, int) override {}
  void tcpCanReceive(uint64_t) override {}
  void tcpCanSend(uint64_t) override {}
  void udpCreated(uint64_t, drvapi::UdpConnInfo*) override {}
  void udpConnectRequest(uint64_t, drvapi::UdpConnectRequest*) override {}
  void udpClosed(uint64_t, drvapi::UdpConnInfo*) override {}
  void udpReceive(uint64_t, const unsigned char*, const char*, int, const drvapi::UdpOptions*) override {}
  void udpSend(uint64_t, const unsigned char*, const char*, int, const drvapi::UdpOptions*) override {}
  void udpCanReceive(uint64_t) override {}
  void udpCanSend(uint64_t) override {}
};

}  // namespace lumotest
