// Linux: MD5 comes from nettle; RC4 is small enough to carry here, which also
// keeps the result independent of whether a crypto library still ships the
// cipher. The derived key matches the Windows base provider: the first 5 MD5
// bytes and 11 zero bytes, used as one 16-byte RC4 key.
#include "platform/crypto.h"

#include <nettle/md5.h>

#include <array>
#include <mutex>

namespace platform {
namespace {

std::mutex cipherLock;

void rc4Apply(const std::array<uint8_t, 16>& key, std::vector<uint8_t>& data) {
  std::array<uint8_t, 256> s{};
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    j = static_cast<uint8_t>(j + s[i] + key[i % key.size()]);
    std::swap(s[i], s[j]);
  }
  uint8_t x = 0;
  uint8_t y = 0;
  for (uint8_t& byte : data) {
    x = static_cast<uint8_t>(x + 1);
    y = static_cast<uint8_t>(y + s[x]);
    std::swap(s[x], s[y]);
    byte ^= s[static_cast<uint8_t>(s[x] + s[y])];
  }
  s.fill(0);
}

CipherStatus transform(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> guard(cipherLock);
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, secretLength, secret);
  std::array<uint8_t, MD5_DIGEST_SIZE> digest{};
  md5_digest(&ctx, digest.size(), digest.data());
  // A 40-bit key: five hash bytes, then eleven zero salt bytes.
  std::array<uint8_t, 16> key{};
  for (size_t i = 0; i < 5; ++i) key[i] = digest[i];
  rc4Apply(key, data);
  key.fill(0);
  digest.fill(0);
  return CipherStatus::kOk;
}

}  // namespace

CipherStatus rc4DecryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error) {
  error.clear();
  return transform(secret, secretLength, data);
}

CipherStatus rc4EncryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error) {
  error.clear();
  return transform(secret, secretLength, data);
}

}  // namespace platform
