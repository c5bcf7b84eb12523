// The bounded reader of wire bytes: fixed-width fields in network order read
// from one received message, and never a byte outside it. Every read either
// succeeds whole or fails; once failed, the reader stays failed, so a parser
// may read a run of fields and check ok() once. Reads may also jump (seek) to
// an offset inside the message, as DNS name compression needs. Used by the
// DNS message code and the DNS query client. No allocation; one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class WireReader {
 public:
  WireReader(const uint8_t* data, size_t length) : data_(data), length_(data == nullptr ? 0 : length) {}

  bool ok() const { return ok_; }
  size_t offset() const { return at_; }
  size_t length() const { return length_; }
  size_t remaining() const { return length_ - at_; }

  uint8_t u8() {
    if (!need(1)) return 0;
    return data_[at_++];
  }
  uint16_t u16() {
    if (!need(2)) return 0;
    uint16_t v = static_cast<uint16_t>((data_[at_] << 8) | data_[at_ + 1]);
    at_ += 2;
    return v;
  }
  uint32_t u32() {
    if (!need(4)) return 0;
    uint32_t hi = u16();
    return (hi << 16) | u16();
  }
  // A view of the next `n` bytes (inside the message), or null.
  const uint8_t* bytes(size_t n) {
    if (!need(n)) return nullptr;
    const uint8_t* p = data_ + at_;
    at_ += n;
    return p;
  }
  bool skip(size_t n) {
    if (!need(n)) return false;
    at_ += n;
    return true;
  }
  // Moves to `offset`, which must lie inside the message (the end itself is
  // allowed: nothing more can then be read).
  bool seek(size_t offset) {
    if (!ok_ || offset > length_) return fail();
    at_ = offset;
    return true;
  }
  // Steps over a domain name (RFC 1035 4.1.4) without reading it: labels up
  // to a zero byte, or a two-byte compression pointer that ends the name here.
  bool skipName() {
    for (int labels = 0; labels < 128; ++labels) {
      const uint8_t* len = bytes(1);
      if (len == nullptr) return false;
      if (*len == 0) return true;
      if ((*len & 0xC0) == 0xC0) return bytes(1) != nullptr;
      if ((*len & 0xC0) != 0) return fail();
      if (bytes(*len) == nullptr) return false;
    }
    return fail();
  }
  bool fail() {
    ok_ = false;
    return false;
  }

 private:
  bool need(size_t n) {
    if (!ok_ || length_ - at_ < n) return fail();
    return true;
  }

  const uint8_t* data_;
  size_t length_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace platform
