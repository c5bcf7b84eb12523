// The 9-byte key of the filter file. It exists only while a file is being
// enciphered or deciphered: built on the stack from two constants of the
// build, handed to the caller and wiped afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace rules {

inline constexpr size_t kFilterKeyLength = 9;

// Builds the key, calls `use(key, kFilterKeyLength)`, then overwrites the
// key with zeros. Any thread.
void WithFilterKey(const std::function<void(const uint8_t* key, size_t length)>& use);

}  // namespace rules
