// Windows registry under HKEY_LOCAL_MACHINE. Each call opens the key with the
// least access it needs and closes it before returning. A 32-bit process on a
// 64-bit system sees the same SYSTEM hive as a 64-bit one (only SOFTWARE is
// redirected), which is where everything the engine touches lives.
#include "platform/registry.h"

#include <windows.h>

namespace platform {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  bool open(std::u16string_view path, REGSAM access) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, access, &key_) == ERROR_SUCCESS;
  }
  HKEY get() const { return key_; }
  HKEY* out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

class Win32Registry final : public Registry {
 public:
  bool keyExists(std::u16string_view key) override {
    KeyHandle h;
    return h.open(key, KEY_READ);
  }

  bool createKey(std::u16string_view key) override {
    KeyHandle h;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                           nullptr, h.out(), nullptr) == ERROR_SUCCESS;
  }

  bool deleteTree(std::u16string_view key) override {
    // RegDeleteTreeW empties the key; RegDeleteKeyW then removes the key itself.
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, wide(key).c_str());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, wide(key).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }

  bool readValue(std::u16string_view key, std::u16string_view name, RegistryValue& value) override {
    KeyHandle h;
    if (!h.open(key, KEY_QUERY_VALUE)) return false;
    std::wstring valueName = wide(name);
    // The size is asked first; a value that grows between the two calls is
    // asked again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      DWORD type = 0, size = 0;
      if (RegQueryValueExW(h.get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
      std::vector<uint8_t> data(size);
      LONG status = RegQueryValueExW(h.get(), valueName.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(),
                                     &size);
      if (status == ERROR_MORE_DATA) continue;
      if (status != ERROR_SUCCESS) return false;
      data.resize(size);
      value.type = type;
      value.data = std::move(data);
      return true;
    }
    return false;
  }

  bool writeValue(std::u16string_view key, std::u16string_view name, const RegistryValue& value) override {
    KeyHandle h;
    if (!h.open(key, KEY_SET_VALUE)) return false;
    return RegSetValueExW(h.get(), wide(name).c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                          static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
  }

  bool deleteValue(std::u16string_view key, std::u16string_view name) override {
    KeyHandle h;
    if (!h.open(key, KEY_SET_VALUE)) return !keyExists(key);
    LONG status = RegDeleteValueW(h.get(), wide(name).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
};

}  // namespace

Registry& systemRegistry() {
  static Win32Registry registry;
  return registry;
}

}  // namespace platform
