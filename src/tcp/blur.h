// The upstream byte transformation of relayed TCP connections.
//
// When the client switches it on, every client-to-node byte of a proxied
// connection leaves the relay as Blur(byte) = NOT((byte + 7) mod 256); the
// proxy node applies Unblur before it forwards the stream. Node-to-client
// bytes are never transformed. Both directions are bijections on 0..255 and
// each is the other's inverse:
//
//   byte   00 41 F9 FF
//   Blur   F8 B7 FF F9
//
// Header-only (inline), so that the proxy node tool can share it without
// linking the engine library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tcp {

// One byte, client side: NOT((byte + 7) mod 256). Pure; any thread.
constexpr uint8_t Blur(uint8_t byte) { return static_cast<uint8_t>(~static_cast<uint8_t>(byte + 7u)); }

// One byte, node side: (NOT byte) - 7 mod 256, the inverse of Blur. Pure.
constexpr uint8_t Unblur(uint8_t byte) { return static_cast<uint8_t>(static_cast<uint8_t>(~byte) - 7u); }

// Applies Blur to `length` bytes at `bytes` in place. `bytes` may be null only
// when `length` is 0. The loop is a plain byte map without dependencies
// between iterations, which the compiler turns into vector code. Any thread;
// the caller owns the buffer.
inline void BlurInPlace(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes[i] = Blur(bytes[i]);
}

// Applies Unblur to `length` bytes at `bytes` in place; as BlurInPlace.
inline void UnblurInPlace(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes[i] = Unblur(bytes[i]);
}

static_assert(Blur(0x00) == 0xF8 && Blur(0x41) == 0xB7 && Blur(0xF9) == 0xFF && Blur(0xFF) == 0xF9);
static_assert(Unblur(0xF8) == 0x00 && Unblur(0xB7) == 0x41 && Unblur(0xFF) == 0xF9 && Unblur(0xF9) == 0xFF);

}  // namespace tcp
