// Taps on this process's own calls into the C library, for udp_path_bench.
// The engine runs in the benchmark's process, so what it calls is seen too:
//  - every heap allocation (malloc, calloc, realloc and the aligned forms;
//    operator new ends in malloc), counted, and within a window also kept
//    with its call stack, so that each can be put down to the code that
//    made it;
//  - the moment a datagram is sent to one watched address (sendto) and the
//    moment one arrives from it (recvfrom), per numbered round trip, which
//    splits a round trip into its stretches before, beyond and after the
//    first hop.
// Linux with glibc only. Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/net.h"

namespace taps {

// Makes ready what the taps need before the first thread starts (the stack
// walker loads its library at its first use). Call once, at the top of main.
void prepare();

// Heap allocations made by the process so far.
uint64_t allocations();

// Keeps the call stacks of the allocations from now on (up to a bound;
// further ones are only counted) until stopStacks.
void startStacks();
void stopStacks();

// The stacks kept by the last window, each put down to the first frame in
// the project's own code: "engine src/udp/udp_flows.cpp:123 (udpSend)",
// "simulated driver ...", "benchmark ...". Returns how many stacks each such
// site made; `kept` is how many stacks the window kept in all.
std::map<std::string, uint64_t> stackSites(uint64_t& kept);

// Datagram moments: the tap records, for the current round trip, when a
// datagram first went to `peer` and when one first came from it.
// unwatch() stops recording.
void watch(const platform::SocketAddress& peer);
void unwatch();
// Round trips are numbered 0 .. kMaxRounds-1; clearRounds forgets all moments.
inline constexpr uint32_t kMaxRounds = 8192;
void setRound(uint32_t round);
void clearRounds();
// Steady-clock nanoseconds of the two moments of `round`; 0 when none.
int64_t sentToPeerAt(uint32_t round);
int64_t receivedFromPeerAt(uint32_t round);

// Steady-clock nanoseconds, the clock of the moments.
int64_t now();

}  // namespace taps
