// Live mode of the simulated driver for raw IPv4: a simulated application
// (a pinging program) sends raw IPv4 packets, and the driver library sees
// them as a filter driver would show them.
//
// send() classifies each outbound packet by the driver's rule list (its
// protocol, process, destination, direction 2). A rule with the raw-IP flag
// (128) hands it to the library as an ipSend record, with options whose
// first word is the family (2); the other options bytes are the caller's.
// Without one, the packet goes straight onto the network.
//
// What the library writes is acted on when it is written:
//  - an injected send (ipSend record) is on the network;
//  - an injected receive (ipReceive record) is queued for receive() with its
//    options and its arrival time.
// The network (recorded in onNetwork()) answers an ICMP echo request whose
// destination is loopback or mapped (map()) with the echo reply a host there
// would send: from the address the request went to, TTL 64, both checksums
// valid. Those replies come in past the driver (its rules for raw IP are
// outbound only) and are queued for receive() like injected ones. Other
// packets and destinations get no answer.
//
// receive() waits on a condition variable; nothing polls.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drvapi/records.h"
#include "sim_driver.h"

namespace simdrv {

class LiveIp {
 public:
  // Acts on the library's writes to `driver` from now on; `driver` must
  // outlive this object.
  explicit LiveIp(SimDriver& driver);
  ~LiveIp();
  LiveIp(const LiveIp&) = delete;
  LiveIp& operator=(const LiveIp&) = delete;

  // Destinations in `cidr` ("203.0.113.0/24" or one address) are answered as
  // if a host on `localAddress` (a 127.x.y.z address) were there. False for
  // unparsable text or a target outside loopback. Any thread.
  bool map(std::string_view cidr, std::string_view localAddress);

  enum class SendResult {
    Reported,  // handed to the library as an ipSend record
    Sent,      // went straight onto the network
    Failed,    // not an IPv4 packet, or the library took no record in time
  };

  // Process `processId` sends the raw IPv4 `packet`. `options` are the
  // options record the driver reports (its family word is set to 2 here).
  SendResult send(uint32_t processId, std::string_view packet, drvapi::IpOptions options = {},
                  uint32_t timeoutMs = 10000);

  // One packet as the application receives it.
  struct Packet {
    std::string data;
    drvapi::IpOptions options{};  // as the library wrote them (zero for the network's own)
    bool injected = false;        // written by the library (else the network's answer)
    std::chrono::steady_clock::time_point arrived;
  };
  // The next packet for the application, waiting up to `timeoutMs`.
  std::optional<Packet> receive(uint32_t timeoutMs = 10000);

  // Every packet that went onto the network, in order (straight or injected).
  std::vector<std::string> onNetwork() const;

  struct Hub;

 private:
  std::shared_ptr<Hub> hub_;
  uint64_t observer_ = 0;
};

}  // namespace simdrv
