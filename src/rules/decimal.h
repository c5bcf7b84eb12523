// Decimal numbers in rule text and filter-file columns, read the same way on
// every system and in every locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace rules {

// Reads optional leading white space (space, tab, line feed, vertical tab,
// form feed, carriage return), an optional '+' or '-', then decimal digits up
// to the first other character. No digits gives 0. The value saturates at the
// signed 32-bit limits (as the 32-bit run-time library's conversions do), so
// "99999999999" is 2147483647 and "-99999999999" is -2147483648. Callers that
// need an unsigned field take the two's-complement bits; port columns take
// the low 16 bits.
int32_t ReadDecimal(std::string_view text);

}  // namespace rules
