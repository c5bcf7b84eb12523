#include "rules/filter_key.h"

#include "rules/filter_key_parts.h"

namespace rules {
namespace {

// Volatile so that the compiler cannot fold the two parts into the key as a
// constant of the program.
volatile const uint8_t kMask[kFilterKeyLength] = {LUMO_FILTER_KEY_MASK_BYTES};
volatile const uint8_t kMixed[kFilterKeyLength] = {LUMO_FILTER_KEY_MIXED_BYTES};

}  // namespace

void WithFilterKey(const std::function<void(const uint8_t* key, size_t length)>& use) {
  volatile uint8_t key[kFilterKeyLength];
  for (size_t i = 0; i < kFilterKeyLength; ++i) key[i] = static_cast<uint8_t>(kMask[i] ^ kMixed[i]);
  uint8_t plain[kFilterKeyLength];
  for (size_t i = 0; i < kFilterKeyLength; ++i) plain[i] = key[i];
  use(plain, kFilterKeyLength);
  for (size_t i = 0; i < kFilterKeyLength; ++i) {
    key[i] = 0;
    static_cast<volatile uint8_t*>(plain)[i] = 0;
  }
}

}  // namespace rules
