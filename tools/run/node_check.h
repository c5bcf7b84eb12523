// Whether the proxy node answers, asked before the engine starts so that a
// wrong address or a node that is down is reported as such, not as traffic
// that goes nowhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace run {

// Opens a TCP connection to `address` (IPv4, network byte order) port `port`
// (host order) and closes it at once. True when the connection was accepted
// within `patience`; otherwise false with the reason in `reason`
// ("Connection refused", "no answer within 3000 ms").
bool nodeAnswers(uint32_t address, uint16_t port, std::chrono::milliseconds patience, std::string& reason);

}  // namespace run
