// Address text conversions of the rule parsers, written out here so that they
// behave alike on every system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rules {

inline constexpr uint32_t kInvalidIpv4 = 0xFFFFFFFFu;  // INADDR_NONE

// The classic inet_addr conversion (the rule texts' form; platform::inetAddr is
// the strict dotted-decimal one): one to four parts separated by dots, each
// decimal, octal (leading 0) or hexadecimal (leading 0x), forming a.b.c.d,
// a.b.c (c is 16 bits), a.b (b is 24 bits) or a (32 bits); the text ends at
// its end or at the first white space. Answers the address in network byte
// order, or kInvalidIpv4 for anything else (which is also the value of
// 255.255.255.255). So "010.1.2.3" is 8.1.2.3 and "09.1.2.3" is invalid.
uint32_t ClassicInetAddr(std::string_view text);

// Numeric IPv6 text: eight groups of one to four hex digits with at most one
// "::", optionally ending with a dotted IPv4 address in the last 32 bits, an
// optional "%scope" (decimal), or the same inside brackets with an optional
// ":port" after them. No surrounding white space. False for anything else.
bool ParseIpv6Address(std::string_view text, uint8_t address[16], uint32_t& scopeId, uint16_t& portNet);

// The canonical text of an IPv6 address: lower-case hex without leading
// zeros, the longest run of two or more zero groups written "::" (the first
// such run on a tie), IPv4-mapped and IPv4-compatible addresses with a dotted
// tail; "%scope" when scopeId is not 0, and "[...]:port" when portNet is not 0.
std::string FormatIpv6Address(const uint8_t address[16], uint32_t scopeId, uint16_t portNet);

}  // namespace rules
