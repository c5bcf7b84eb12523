// Windows: CryptoAPI with the base provider. CryptDeriveKey with CALG_RC4 and
// no length flags gives the provider's default 40-bit key, salted with eleven
// zero bytes; that is the key the filter file is written with. One provider
// handle serves the process; one critical section serialises every use.
#include "platform/crypto.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "platform/debug.h"

namespace platform {
namespace {

constexpr DWORD kChunk = 1000;

CRITICAL_SECTION* cipherLock() {
  // Initialised on first use (thread-safe static); never deleted, since the
  // process may still decrypt while static objects are being destroyed.
  static CRITICAL_SECTION* section = [] {
    auto* cs = new CRITICAL_SECTION;
    InitializeCriticalSection(cs);
    return cs;
  }();
  return section;
}

HCRYPTPROV provider = 0;

// Caller holds cipherLock().
bool acquireProvider() {
  if (provider != 0) return true;
  struct Attempt {
    const wchar_t* container;
    DWORD flags;
  };
  // The order matters for a machine where the user's key container cannot be
  // created: the machine key set is tried next.
  static const Attempt attempts[] = {
      {L"MyContainer", CRYPT_NEWKEYSET},
      {nullptr, 0},
      {nullptr, CRYPT_MACHINE_KEYSET},
      {nullptr, CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET},
      {L"MyContainer", 0},
  };
  for (const Attempt& a : attempts) {
    HCRYPTPROV handle = 0;
    if (CryptAcquireContextW(&handle, a.container, MS_DEF_PROV_W, PROV_RSA_FULL, a.flags)) {
      provider = handle;
      return true;
    }
  }
  return false;
}

CipherStatus fail(std::string& error, const char* text) {
  error = text;
  debugOutput(text);
  return CipherStatus::kFailed;
}

class CipherGuard {
 public:
  CipherGuard() { EnterCriticalSection(cipherLock()); }
  ~CipherGuard() { LeaveCriticalSection(cipherLock()); }
  CipherGuard(const CipherGuard&) = delete;
  CipherGuard& operator=(const CipherGuard&) = delete;
};

CipherStatus transform(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                       std::string& error, bool encrypt) {
  error.clear();
  CipherGuard guard;
  if (!acquireProvider()) return CipherStatus::kNoProvider;

  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) return fail(error, "CryptCreateHash error");
  if (!CryptHashData(hash, secret, static_cast<DWORD>(secretLength), 0)) {
    CryptDestroyHash(hash);
    return fail(error, "CryptHashData error");
  }
  HCRYPTKEY key = 0;
  if (!CryptDeriveKey(provider, CALG_RC4, hash, 0, &key)) {
    CryptDestroyHash(hash);
    return fail(error, "CryptDeriveKey error");
  }
  if (!CryptDestroyHash(hash)) {
    CryptDestroyKey(key);
    return fail(error, "CryptDestroyHash error");
  }

  CipherStatus status = CipherStatus::kOk;
  size_t offset = 0;
  // The stream is processed in chunks; the last one (possibly empty) is marked
  // final so that the key's state is reset for the next use.
  do {
    DWORD length = static_cast<DWORD>(data.size() - offset < kChunk ? data.size() - offset : kChunk);
    BOOL final = offset + length >= data.size();
    DWORD done = length;
    BYTE* chunk = data.empty() ? nullptr : data.data() + offset;
    BOOL ok = encrypt ? CryptEncrypt(key, 0, final, 0, chunk, &done, length)
                      : CryptDecrypt(key, 0, final, 0, chunk, &done);
    if (!ok) {
      char text[32];
      std::snprintf(text, sizeof text, "Error Code:%lu", static_cast<unsigned long>(GetLastError()));
      status = fail(error, text);
      break;
    }
    offset += length;
  } while (offset < data.size());
  CryptDestroyKey(key);
  return status;
}

}  // namespace

CipherStatus rc4DecryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error) {
  return transform(secret, secretLength, data, error, false);
}

CipherStatus rc4EncryptWithDerivedKey(const uint8_t* secret, size_t secretLength, std::vector<uint8_t>& data,
                                      std::string& error) {
  return transform(secret, secretLength, data, error, true);
}

}  // namespace platform
