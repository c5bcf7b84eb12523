// The filter file's cipher: RC4 keyed the way the platform's base
// cryptographic provider derives a default-length RC4 key from an MD5 hash.
//
// Key derivation: MD5 over the secret; the first 5 digest bytes followed by
// 11 zero bytes form the 16-byte RC4 key (a 40-bit key with a zero salt).
// RC4 is a stream cipher, so encrypting and decrypting are the same
// transformation; both are offered so that the Windows build can use the
// provider's own calls for each direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class CipherStatus {
  kOk,          // `data` now holds the transformed bytes
  kNoProvider,  // no cryptographic context could be acquired; `data` is unchanged
  kFailed,      // a hash, key or cipher call failed; `data` is unspecified
};

// Decrypts `data` in place with the key derived from `secret` (`secretLength`
// bytes; the caller keeps ownership and may wipe it afterwards).
//
// Windows: CryptoAPI with "Microsoft Base Cryptographic Provider v1.0"
// (type 1). The provider handle is acquired once per process, trying in turn:
// container "MyContainer" with flag 8, no container with flags 0, 32 and 40,
// then "MyContainer" with flags 0; when all five fail the call answers
// kNoProvider (and tries again at the next call). The bytes are decrypted in
// chunks of at most 1000 bytes, the last one final. Linux: MD5 from nettle
// and RC4 in this file; kNoProvider never happens.
//
// A failing call is written to the debugger output (debug.h) and its text put
// in `error`: "CryptCreateHash error", "CryptHashData error",
// "CryptDeriveKey error", "CryptDestroyHash error", or "Error Code:" and the
// system error number in decimal for the cipher call itself; the answer is
// then kFailed. Nothing is thrown. Any thread: calls are serialised by one
// process-wide lock.
CipherStatus rc4DecryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error);

// The same transformation in the encrypting direction (Windows:
// CryptEncrypt), for the tool that writes filter files. Same failures.
CipherStatus rc4EncryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error);

}  // namespace platform
