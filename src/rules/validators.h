// Validators of address and name text in rule text, the hosts file and the
// filter file. The first three are full-string matches of fixed regular
// expressions (ECMAScript grammar). All are safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket_address28.h"

namespace rules {

using platform::SocketAddress28;

// Dotted-quad IPv4 text, optionally surrounded by white space. The first
// octet has one digit 1-9 or two or three digits; leading zeros in two- and
// three-digit forms are accepted ("010.1.2.3"). On success `text` becomes the
// address without the surrounding white space.
bool IsIpv4Text(std::string& text);

// A domain name of at least two labels whose last label is letters only
// (labels start with a letter or digit and hold at most 63 characters of
// letters, digits and '-'), optionally surrounded by white space. On success
// `text` becomes the name without the white space.
bool IsDomainText(std::string& text);

// "a.b.c.d/n" with optional surrounding white space. On success `addressNet`
// is the address as inet_addr converts it (network order; leading zeros read
// as octal) and `prefixLength` the number after the slash (saturated like
// every decimal number of the rules). False leaves both unchanged.
bool ParseCidrText(const std::string& text, uint32_t& addressNet, uint32_t& prefixLength);

// Numeric IPv6 text (address_text.h, ParseIpv6Address). On success `text`
// becomes the canonical form of the address.
bool IsIpv6Text(std::string& text);

// The same conversion into an IPv6 socket address (family 23, the port of a
// bracketed form, the scope). On failure `out` is zeroed and the answer false.
bool ParseIpv6Text(const std::string& text, SocketAddress28& out);

}  // namespace rules
