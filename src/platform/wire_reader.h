// The bounded reader of wire bytes: fixed-width fields read from one message
// or file image, and never a byte outside it. Two ways to read:
// - in sequence, in network order: every read either succeeds whole or
//   fails; once failed, the reader stays failed, so a parser may read a run
//   of fields and check ok() once. Reads may also jump (seek) to an offset
//   inside the message, as DNS name compression needs. The DNS message code,
//   the DNS query client and the capture's address replies read this way.
// - at an offset, little-endian (u16At, u32At): each read says whether the
//   field lay inside, and leaves the sequence alone. The PE version reader
//   reads this way.
// No allocation; one thread.
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

  // Whether `length` bytes at `offset` lie inside.
  bool fits(uint64_t offset, uint64_t length) const {
    return offset <= length_ && length <= length_ - offset;
  }
  // The little-endian field at `offset`; false (and `v` unchanged) when it
  // does not lie inside.
  bool u16At(uint64_t offset, uint16_t& v) const {
    if (!fits(offset, 2)) return false;
    v = static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
    return true;
  }
  bool u32At(uint64_t offset, uint32_t& v) const {
    if (!fits(offset, 4)) return false;
    v = static_cast<uint32_t>(data_[offset]) | static_cast<uint32_t>(data_[offset + 1]) << 8 |
        static_cast<uint32_t>(data_[offset + 2]) << 16 | static_cast<uint32_t>(data_[offset + 3]) << 24;
    return true;
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
