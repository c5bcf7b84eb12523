// A tap on this process's own accepts, for tcp_path_bench: the relay runs in
// the benchmark's process, so the moment it accepts an application's
// connection is seen without anything in the relay itself. The tap keeps,
// for each peer port of an accepted IPv4 connection, the steady-clock moment
// of the accept; the benchmark binds its application sockets to a port of
// their own (which no other connection then shares) and looks the moment up
// by that port. Linux with glibc only; any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace taps {

// The moment a connection from peer port `port` (host order) was last
// accepted in this process; the clock's epoch when none was.
std::chrono::steady_clock::time_point acceptedAt(uint16_t port);

}  // namespace taps
