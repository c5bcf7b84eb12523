// Name look-ups of a captured program through the capture. The C library's
// stub resolver sends its queries with calls inside libc, which no preload
// library sees; the calls a program makes into it (getaddrinfo and the
// gethostbyname family) are interposed instead (interpose.cpp), and where the
// capture has something to add they ask the name server themselves, with one
// A query (RFC 1035, recursion desired, a random ID) on a UDP socket made and
// used through the capture's own socket calls (capture_client.h), so the
// driver sees it as any program's DNS query and the engine may answer it,
// and learns the name's addresses.
//
// What stays the C library's: a null or numeric host, AI_NUMERICHOST, names
// without a dot, "localhost" and names under .localhost and .local, names the
// hosts file lists (or a hosts file that cannot be read), anything but
// AF_INET and AF_UNSPEC (IPv6 answers need AAAA queries, and the capture
// sees no IPv6 socket anyway), hints and services it would refuse or that
// the capture does not know (lookup_result.h), and every call while the
// driver cannot be reached. AI_ADDRCONFIG is ignored (a namespace may have
// nothing but loopback).
//
// The server is the first IPv4 `nameserver` of /etc/resolv.conf (127.0.0.1
// when none), or LUMO_CAPTURE_NAMESERVER (resolver_config.h); with several,
// one query goes to each in turn, for `attempts` rounds, each waiting up to
// `timeout` seconds. Only a reply from a server asked, from port 53, with the
// query's ID and question counts (address_reply.h). NXDOMAIN gives
// EAI_NONAME (HOST_NOT_FOUND); a name without A records EAI_NODATA
// (NO_DATA), except for AF_UNSPEC, where the C library may still find IPv6
// addresses and is asked. When no server gave a usable answer the call goes
// to the C library after all, which asks unsteered.
//
// Any thread, any number at once; no static buffers but gethostbyname's and
// gethostbyname2's result, which is per thread. errno is kept across calls
// that the capture answers.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>

namespace capture::preload {

// getaddrinfo: as the C library's. A list this returns is freed by
// freeaddrinfoCall.
int getaddrinfoCall(const char* node, const char* service, const addrinfo* hints, addrinfo** result);

// freeaddrinfo: the capture's lists it frees itself, others go to the C
// library.
void freeaddrinfoCall(addrinfo* list);

// gethostbyname (`family` AF_INET, `withFamily` false) and gethostbyname2:
// the result lives until the calling thread's next call; null with h_errno
// set on failure.
hostent* gethostbynameCall(const char* name, int family, bool withFamily);

// gethostbyname_r and gethostbyname2_r: 0 with `*result` set, 0 with it
// null and `*hostError` set when the name has no address, ERANGE (errno too,
// `*hostError` NETDB_INTERNAL) when `buffer` is too small.
int gethostbynameReentrantCall(const char* name, int family, bool withFamily, hostent* host, char* buffer,
                               size_t size, hostent** result, int* hostError);

}  // namespace capture::preload
