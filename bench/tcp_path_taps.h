// Taps on this process's own accepts and connects, for tcp_path_bench: the
// relay runs in the benchmark's process, so the moment it accepts an
// application's connection, and the moment its connection thread connects
// onwards, are seen without anything in the relay itself. The tap keeps,
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
// The moment connect() was last called in this process towards an IPv4
// address with port `port` (host order); the clock's epoch when never.
std::chrono::steady_clock::time_point connectCalledAt(uint16_t port);

}  // namespace taps
