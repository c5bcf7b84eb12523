// The capture library's side of a launched program: what the interposed
// socket calls (interpose.cpp) do with the program's AF_INET sockets, and the
// one connection per process to the driver's capture server
// (capture_wire.h) that reports them.
//
// The connection is opened on first need (a UDP datagram sent, a TCP connect,
// an ICMP socket made) at platform::captureSocketPath(); a fork's child opens
// its own the same way, and an exec keeps the capture as long as LD_PRELOAD
// names the library. A reader thread of the library (started with the
// connection, every signal blocked) acts on what the driver sends: verdicts,
// datagrams to send out of a program's socket or to hand to it, ICMP
// messages. Whenever the driver cannot be reached or goes away, the program
// goes on unsteered: one line on stderr ("lumo-capture: ...") and every call
// goes to the C library as if the capture were not there.
//
// What each kind of socket becomes:
//  - TCP (SOCK_STREAM): connect() first binds an unbound socket to the
//    source address the system would choose for the destination (found with
//    a connected UDP probe socket, which sends nothing) and port 0, reports
//    the connect with that real local address and waits for the driver's
//    verdict, then connects where it points; getpeername() of a redirected
//    socket gives the destination the program asked for. The verdict wait
//    blocks the calling thread also for a non-blocking socket.
//  - UDP (SOCK_DGRAM): every datagram the program sends (sendto, sendmsg,
//    sendmmsg, send, write, writev) is reported, after binding an unbound
//    socket as the system's autobind would (any address, a free port); the
//    driver sends it back to go out of the socket as it is, or through the
//    library. Datagrams with ancillary data, MSG_MORE or MSG_OOB go out
//    straight, unreported. A send returns once the report is written (or,
//    should the driver not read for 10 s, goes straight and the driver
//    counts as gone).
//    Datagrams the driver hands to an unconnected socket are sent to the
//    program's own socket from a helper socket of the library on 127.0.0.1,
//    behind a 16-byte header that names their source, so poll, epoll and
//    blocking reads see them as any datagram; every receive call (recvfrom,
//    recvmsg, recvmmsg, recv, read, readv) strips the header and gives the
//    source the driver named.
//    A peer that only the driver's library sent to from the socket (a
//    UdpSend of sequence 0 to where the program never sent from it: the
//    node of the driver's direct transport) answers the library, not the
//    program: what it sends is handed to the driver (UdpReceived) instead,
//    which reports it to its library, and the receive call goes on as if it
//    had not come (a blocking one waits for the next datagram, a
//    non-blocking one fails with EAGAIN after the wake-up). A connected
//    socket's catcher does the same.
//    connect() binds an unbound socket where a connect would (the source
//    address for the peer, a free port by number) and connects it in the
//    system to a shadow peer of the capture's on loopback, with a catcher
//    socket on the same port (SO_REUSEPORT) for what the real peer answers.
//    Whatever the program sends on the connected socket reaches the capture
//    so, by any call, the raw system calls some event libraries make (dig's)
//    included; what is handed to it comes from the shadow, which recvfrom,
//    getpeername and getsockname show as the peer and as the address a
//    connection to it has. Where that cannot be arranged the socket is
//    connected to its peer in the system and disconnected (its port bound by
//    number, so it keeps it) when the driver first hands it a datagram,
//    which the system would refuse otherwise; the capture keeps the
//    connection then and passes the program only its peer's datagrams. A
//    connected socket passed on across an exec loses its shadow.
//    So that datagrams on their way through the driver still leave after
//    the program is done with the socket, shutdown(SHUT_WR) is kept by the
//    capture (the program's later sends fail with EPIPE, the capture's go
//    out), a closed socket with datagrams whose fate the capture does not
//    know yet stays open behind the program's back for up to a second (its
//    port taken as long), and exit() waits up to 300 ms for datagrams nothing
//    answered yet.
//  - ICMP datagram sockets (SOCK_DGRAM, IPPROTO_ICMP): the program's
//    descriptor is one end of an AF_UNIX datagram pair that the library
//    feeds; beside it the library holds a real ICMP socket. An echo request
//    is reported with the source address the system would use; what the
//    driver sends for real, and every reply the real socket receives, goes
//    to the program through the pair, with the sender as recvfrom's source.
//    bind, connect, getsockname and socket options reach the real socket
//    (SOL_SOCKET options also the program's end).
//  - Other families and types are left alone: their traffic goes where the
//    program sends it, unseen by the driver. That includes every IPv6
//    socket, also a dual-stack one that reaches an IPv4 peer through an
//    IPv4-mapped address.
//
// Name look-ups: the C library's resolver sends its queries with calls
// inside libc, which no preload library sees, so the program's own calls of
// getaddrinfo and the gethostbyname family are taken instead (resolver.h).
// Where the C library would ask a name server, the capture sends one A query
// from a UDP socket of its own kind, made and used through the calls above
// (the driver sees the program's DNS query, which the engine may answer), to
// the first IPv4 server of /etc/resolv.conf, or to the server that
// LUMO_CAPTURE_NAMESERVER=a.b.c.d names when it is set (the demo and the
// tests name the engine's virtual DNS address 8.8.8.1 that way). Numeric
// hosts, names the hosts file lists, names without a dot, IPv6-only
// look-ups, and every look-up while the driver cannot be reached or when no
// server answers, are the C library's.
//
// Every call here may run on any program thread at once. Two locks: one for
// writing to the driver (taken first), one for the tables (held only for
// short steps, never across a wait for the driver or the network).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

namespace capture::preload {

// What a program's descriptor is, as far as the capture is concerned.
enum class Kind : uint8_t {
  Unknown = 0,  // not looked at yet
  Other,        // not captured
  Udp,
  Tcp,
  Icmp,      // the program's end of an emulated ICMP socket
  Internal,  // one of the capture's own descriptors
};

// The kind of `fd`; looks at an unknown descriptor once (socket options).
Kind kindOf(int fd);

// True while this process's connection to the driver is up, connecting
// first when it was never tried; false once the driver could not be reached
// or went away (the program runs unsteered then).
bool driverReachable();

int socketCall(int domain, int type, int protocol);
int connectCall(int fd, const sockaddr* address, socklen_t length);
int bindCall(int fd, const sockaddr* address, socklen_t length);
int getpeernameCall(int fd, sockaddr* address, socklen_t* length);
int getsocknameCall(int fd, sockaddr* address, socklen_t* length);
int setsockoptCall(int fd, int level, int name, const void* value, socklen_t length);
int getsockoptCall(int fd, int level, int name, void* value, socklen_t* length);
// Every send and receive variant of a Udp or Icmp descriptor, as one
// message (`message->msg_name` may be null).
ssize_t sendCall(int fd, const msghdr* message, int flags);
ssize_t receiveCall(int fd, msghdr* message, int flags);
int sendManyCall(int fd, mmsghdr* messages, unsigned int count, int flags);
int receiveManyCall(int fd, mmsghdr* messages, unsigned int count, int flags);
int shutdownCall(int fd, int how);
int closeCall(int fd);
// dup (newFd -1), dup2 (flags 0) and dup3.
int dupCall(int fd, int newFd, int flags, bool isDup3);

}  // namespace capture::preload
