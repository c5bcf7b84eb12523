// The driver's capture server: the side of lumo-driver that real programs'
// traffic reaches. Each program launched with liblumo-capture.so preloaded
// opens one connection to the capture socket (capture_wire.h) and reports its
// AF_INET sockets there; this server turns those reports into the records a
// filter driver gives the driver library, through the same SimDriver that
// serves the library's control device (its rule list, classify(), deliver()
// of Batches, and write observers for what the library writes back), and
// carries the library's verdicts and injections out through the program.
//
// What a program's traffic becomes:
//  - TCP: a connect is classified (protocol 6, outbound, the socket's real
//    local address); a rule with the connect-request flag (16) reports a
//    tcpConnectRequest and the program connects where the library's verdict
//    points (the relay on loopback, or the original destination); a block
//    rule without it refuses the connect; anything else connects as asked.
//    Nothing more of the connection is reported, also when the verdict keeps
//    it filtered (adapter mode): its bytes would have to pass through the
//    driver on every read and write of the program, and steering through the
//    relay is decided by the verdict alone. Such a connection goes where the
//    verdict says, as if the library passed every byte unchanged, and its
//    close is reported (tcpClosed) so the library forgets it.
//  - UDP: each datagram the program sends is classified (protocol 17,
//    outbound, its destination). Filtered ones become udpSend records (after
//    a udpCreated with the socket's real local address; with driver kind 2
//    their options carry that address at offset 32); the others go straight
//    out of the program's socket; a block rule drops them. A connect-request
//    rule (16) holds the first datagram to each destination, and those after
//    it, until the library's udpConnectRequest verdict says where that
//    destination's datagrams go (a blocking verdict drops them; no verdict
//    within 10 s drops the held ones). The library's udpSend goes out of the
//    program's own socket, its udpReceive reaches the program's socket as if
//    from the source the library wrote, and the next one is asked for with
//    udpCanReceive once the program's connection has room; udpFilteringOff
//    sends the flow straight from then on (the program's capture library
//    then sends by itself); the socket's close, or the program's end,
//    reports udpClosed. Datagrams the program receives from the network
//    reach it unseen, but for those from a peer that only the library sent
//    to from the socket (the node of its direct transport): the program's
//    capture library hands them here instead, and they become udpReceive
//    records of the flow (with the options its udpSend records carry), which
//    reach the program only as the library injects them.
//  - ICMP: an echo request from a program's ICMP socket becomes the IPv4
//    packet a driver would see (the program's source and destination
//    addresses, valid checksums), classified in the raw-IP layer; a raw-IP
//    rule (128) reports it as ipSend (options: family 2, then a token that
//    names the socket, which the library copies into its reply), otherwise
//    it is sent for real. The library's ipReceive of an ICMP packet goes to
//    the program's socket the token names, its ipSend is sent for real
//    through that socket.
//
// Status: a client (lumo-run --flows) that opens a connection with a
// FlowsRequest instead of a Hello gets flows() as a FlowsReply
// (capture_wire.h), and may ask again once it has read the answer; one that
// asks again before, or sends anything else, is dropped. The answers are
// made on a status thread of their own, so that asking the system about TCP
// sockets never holds up the programs' messages.
//
// Threads: one I/O thread waits (epoll) on the listening socket, every
// program's connection and a wake event; it reads and classifies the
// programs' messages and writes what is queued for them without blocking (a
// program that does not read never holds up another). One reporter thread
// hands the records to the library in batches through SimDriver::deliver,
// the only call that waits for the library. The write observer runs on the
// library's writing thread and only queues. Waits for verdicts end with the
// verdict's write or at a deadline the I/O thread wakes for; nothing polls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture_wire.h"
#include "sim_driver.h"

namespace capture {

// One flow of a captured program, as the status list shows it (the fields
// of wire::FlowRecord, which says what each means).
struct FlowSummary {
  uint32_t pid = 0;
  std::string program;   // the executable's file name; "?" when the system did not tell
  uint8_t protocol = 0;  // 6 TCP, 17 UDP, 1 ICMP
  wire::FlowDecision decision = wire::kDecisionWaiting;
  wire::Endpoint local{}, remote{}, target{};
  uint64_t upDatagrams = 0, upBytes = 0, downDatagrams = 0, downBytes = 0;
  std::chrono::milliseconds age{0};
  bool closed = false;
};

class CaptureServer {
 public:
  // One line of the server's log (malformed peers, dropped records), without
  // a newline. Called on the server's threads; must be quick.
  using Log = std::function<void(const std::string& line)>;

  // Serves programs at `socketPath` (platform::captureSocketPath() for
  // lumo-driver) for `driver`, which must outlive this object. `log`
  // defaults to one line on stderr each.
  CaptureServer(simdrv::SimDriver& driver, std::string socketPath, Log log = nullptr);
  // Stops (see stop()).
  ~CaptureServer();
  CaptureServer(const CaptureServer&) = delete;
  CaptureServer& operator=(const CaptureServer&) = delete;

  // Binds and listens at the socket path (a socket file left by a server
  // that is gone is replaced; one another server still answers at is not)
  // and starts the threads. False, with `error` set, when the path is too
  // long for a Unix socket, another server listens there, or a system call
  // fails; nothing is left running then. Once per object.
  bool start(std::string* error);

  // Closes every program's connection (their capture libraries fail open),
  // reports the end of their flows to the library (up to a few seconds when
  // the library does not read), removes the socket file and joins every
  // thread. Nothing of the server runs after it returns. Idempotent; not
  // from the log callback.
  void stop();

  // Programs connected now (status clients not counted), and records the
  // library did not take in time (dropped), for diagnostics. Any thread.
  size_t connections() const;
  uint64_t droppedRecords() const;

  // The flows of the programs connected now: each TCP connect, UDP socket
  // and ICMP socket they reported, program by program in the order they
  // connected, each program's in the order they began. A flow the program
  // closed stays, marked closed, for 2 s; a TCP connection counts as closed
  // once the system holds no socket of the program's for it (asked here,
  // through sock_diag), or once the program's capture library reported its
  // close. At most 1024 TCP and ICMP flows are kept per program, the oldest
  // dropped first.
  // Any thread; the server's lock is held only to copy the flows and to note
  // the connections found closed, never while the system is asked.
  std::vector<FlowSummary> flows() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace capture
