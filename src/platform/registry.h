// The system registry: the local-machine keys under which the driver's
// service, the load-order list and the host network settings live.
//
// Windows: the real registry under HKEY_LOCAL_MACHINE (RegOpenKeyExW,
// RegQueryValueExW, RegSetValueExW). Linux has no registry: systemRegistry()
// there is a process-wide in-memory store of keys and typed values that
// follows the same rules (a value is written only into a key that exists; key
// and value names compare case-insensitively for A to Z), so the code that
// keeps the driver service and the host settings runs and is tested on Linux
// as well. MemoryRegistry is that store; tests use their own instances of it
// on both systems.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Value types, numbered as Windows numbers them.
inline constexpr uint32_t kRegString = 1;       // REG_SZ: UTF-16LE text with its terminator
inline constexpr uint32_t kRegBinary = 3;       // REG_BINARY
inline constexpr uint32_t kRegDword = 4;        // REG_DWORD: 4 bytes, little-endian
inline constexpr uint32_t kRegMultiString = 7;  // REG_MULTI_SZ: texts each ending in NUL, then one more NUL

struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Key paths are relative to the local-machine root, parts separated by "\"
// ("SYSTEM\CurrentControlSet\Services\Tcpip"). Every operation opens and
// closes the key itself; all may be called from any thread.
class Registry {
 public:
  virtual ~Registry() = default;

  // True when the key can be opened for reading.
  virtual bool keyExists(std::u16string_view key) = 0;
  // Creates the key and any missing parents; true when it exists afterwards.
  virtual bool createKey(std::u16string_view key) = 0;
  // Deletes the key with everything below it; true when it is gone afterwards
  // (also when it never existed).
  virtual bool deleteTree(std::u16string_view key) = 0;
  // Reads one value; false when the key or the value is missing or unreadable.
  virtual bool readValue(std::u16string_view key, std::u16string_view name, RegistryValue& value) = 0;
  // Writes one value into an existing key (a missing key is a failure, as
  // with RegOpenKeyExW + RegSetValueExW); true on success.
  virtual bool writeValue(std::u16string_view key, std::u16string_view name, const RegistryValue& value) = 0;
  // Deletes one value; true when it is gone afterwards.
  virtual bool deleteValue(std::u16string_view key, std::u16string_view name) = 0;
};

// The system's registry (Windows: HKEY_LOCAL_MACHINE; Linux: the process-wide
// in-memory store). Lives as long as the process.
Registry& systemRegistry();

// The in-memory registry: keys and typed values in ordered maps under one
// mutex. Also counts successful value writes, so a test can tell a write of
// unchanged data from no write at all.
class MemoryRegistry final : public Registry {
 public:
  bool keyExists(std::u16string_view key) override;
  bool createKey(std::u16string_view key) override;
  bool deleteTree(std::u16string_view key) override;
  bool readValue(std::u16string_view key, std::u16string_view name, RegistryValue& value) override;
  bool writeValue(std::u16string_view key, std::u16string_view name, const RegistryValue& value) override;
  bool deleteValue(std::u16string_view key, std::u16string_view name) override;

  // Number of successful writeValue calls so far.
  uint64_t writeCount() const;
  // Makes every later write fail (true) or succeed again (false): a registry
  // that refuses writes, as one without administrator rights does.
  void setReadOnly(bool readOnly);

 private:
  // Keys by their lower-cased path without leading or trailing "\"; values by
  // lower-cased name.
  using Values = std::map<std::u16string, RegistryValue>;
  mutable std::mutex lock_;
  std::map<std::u16string, Values> keys_;
  uint64_t writes_ = 0;
  bool readOnly_ = false;
};

// Typed helpers over any Registry. Reads fail when the value has another type
// or a malformed length; strings are UTF-16 as the wide registry calls take
// them.
bool readDword(Registry& registry, std::u16string_view key, std::u16string_view name, uint32_t& value);
bool writeDword(Registry& registry, std::u16string_view key, std::u16string_view name, uint32_t value);
bool readBinary(Registry& registry, std::u16string_view key, std::u16string_view name, std::vector<uint8_t>& data);
bool writeBinary(Registry& registry, std::u16string_view key, std::u16string_view name,
                 const std::vector<uint8_t>& data);
// REG_SZ (REG_EXPAND_SZ is read too, unexpanded). The text ends at the first
// NUL; data of odd length fails.
bool readString(Registry& registry, std::u16string_view key, std::u16string_view name, std::u16string& text);
bool writeString(Registry& registry, std::u16string_view key, std::u16string_view name, std::u16string_view text);
bool readMultiString(Registry& registry, std::u16string_view key, std::u16string_view name,
                     std::vector<std::u16string>& texts);
bool writeMultiString(Registry& registry, std::u16string_view key, std::u16string_view name,
                      const std::vector<std::u16string>& texts);

}  // namespace platform
