// The in-memory registry and the typed value helpers, shared by both systems.
#include "platform/registry.h"

#include "platform/text.h"

namespace platform {
namespace {

// Registry names compare without regard to the case of A to Z; leading,
// trailing and doubled separators do not make a different key.
std::u16string normalizeKey(std::u16string_view key) {
  std::u16string out;
  out.reserve(key.size());
  for (char16_t c : key) {
    if (c == u'\\' && (out.empty() || out.back() == u'\\')) continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == u'\\') out.pop_back();
  toLowerAsciiInPlace(out);
  return out;
}

bool isSameOrBelow(const std::u16string& candidate, const std::u16string& key) {
  if (candidate.size() < key.size() || candidate.compare(0, key.size(), key) != 0) return false;
  return candidate.size() == key.size() || candidate[key.size()] == u'\\';
}

void appendUtf16Le(std::vector<uint8_t>& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

}  // namespace

bool MemoryRegistry::keyExists(std::u16string_view key) {
  std::lock_guard<std::mutex> guard(lock_);
  return keys_.count(normalizeKey(key)) != 0;
}

bool MemoryRegistry::createKey(std::u16string_view key) {
  std::u16string path = normalizeKey(key);
  if (path.empty()) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (readOnly_) return keys_.count(path) != 0;
  // Every parent exists too, as in a real hive.
  for (size_t pos = path.find(u'\\'); pos != std::u16string::npos; pos = path.find(u'\\', pos + 1))
    keys_.try_emplace(path.substr(0, pos));
  keys_.try_emplace(path);
  return true;
}

bool MemoryRegistry::deleteTree(std::u16string_view key) {
  std::u16string path = normalizeKey(key);
  if (path.empty()) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (readOnly_) return keys_.count(path) == 0;
  for (auto it = keys_.lower_bound(path); it != keys_.end() && isSameOrBelow(it->first, path);)
    it = keys_.erase(it);
  return true;
}

bool MemoryRegistry::readValue(std::u16string_view key, std::u16string_view name, RegistryValue& value) {
  std::lock_guard<std::mutex> guard(lock_);
  auto k = keys_.find(normalizeKey(key));
  if (k == keys_.end()) return false;
  auto v = k->second.find(toLowerAscii(name));
  if (v == k->second.end()) return false;
  value = v->second;
  return true;
}

bool MemoryRegistry::writeValue(std::u16string_view key, std::u16string_view name, const RegistryValue& value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (readOnly_) return false;
  auto k = keys_.find(normalizeKey(key));
  if (k == keys_.end()) return false;
  k->second[toLowerAscii(name)] = value;
  ++writes_;
  return true;
}

bool MemoryRegistry::deleteValue(std::u16string_view key, std::u16string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto k = keys_.find(normalizeKey(key));
  if (k == keys_.end()) return true;
  if (readOnly_) return k->second.count(toLowerAscii(name)) == 0;
  k->second.erase(toLowerAscii(name));
  return true;
}

uint64_t MemoryRegistry::writeCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

void MemoryRegistry::setReadOnly(bool readOnly) {
  std::lock_guard<std::mutex> guard(lock_);
  readOnly_ = readOnly;
}

bool readDword(Registry& registry, std::u16string_view key, std::u16string_view name, uint32_t& value) {
  RegistryValue raw;
  if (!registry.readValue(key, name, raw) || raw.type != kRegDword || raw.data.size() != 4) return false;
  value = static_cast<uint32_t>(raw.data[0]) | static_cast<uint32_t>(raw.data[1]) << 8 |
          static_cast<uint32_t>(raw.data[2]) << 16 | static_cast<uint32_t>(raw.data[3]) << 24;
  return true;
}

bool writeDword(Registry& registry, std::u16string_view key, std::u16string_view name, uint32_t value) {
  RegistryValue raw{kRegDword,
                    {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                     static_cast<uint8_t>(value >> 24)}};
  return registry.writeValue(key, name, raw);
}

bool readBinary(Registry& registry, std::u16string_view key, std::u16string_view name, std::vector<uint8_t>& data) {
  RegistryValue raw;
  if (!registry.readValue(key, name, raw) || raw.type != kRegBinary) return false;
  data = std::move(raw.data);
  return true;
}

bool writeBinary(Registry& registry, std::u16string_view key, std::u16string_view name,
                 const std::vector<uint8_t>& data) {
  return registry.writeValue(key, name, RegistryValue{kRegBinary, data});
}

bool readString(Registry& registry, std::u16string_view key, std::u16string_view name, std::u16string& text) {
  constexpr uint32_t kRegExpandString = 2;
  RegistryValue raw;
  if (!registry.readValue(key, name, raw) || (raw.type != kRegString && raw.type != kRegExpandString) ||
      raw.data.size() % 2 != 0)
    return false;
  text.clear();
  for (size_t i = 0; i + 1 < raw.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(raw.data[i] | raw.data[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return true;
}

bool writeString(Registry& registry, std::u16string_view key, std::u16string_view name, std::u16string_view text) {
  RegistryValue raw{kRegString, {}};
  appendUtf16Le(raw.data, text);
  return registry.writeValue(key, name, raw);
}

bool readMultiString(Registry& registry, std::u16string_view key, std::u16string_view name,
                     std::vector<std::u16string>& texts) {
  RegistryValue raw;
  if (!registry.readValue(key, name, raw) || raw.type != kRegMultiString || raw.data.size() % 2 != 0) return false;
  texts.clear();
  std::u16string current;
  for (size_t i = 0; i + 1 < raw.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(raw.data[i] | raw.data[i + 1] << 8);
    if (c != 0) {
      current.push_back(c);
      continue;
    }
    // An empty text ends the list.
    if (current.empty()) break;
    texts.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) texts.push_back(std::move(current));
  return true;
}

bool writeMultiString(Registry& registry, std::u16string_view key, std::u16string_view name,
                      const std::vector<std::u16string>& texts) {
  RegistryValue raw{kRegMultiString, {}};
  for (const std::u16string& text : texts) appendUtf16Le(raw.data, text);
  raw.data.push_back(0);
  raw.data.push_back(0);
  return registry.writeValue(key, name, raw);
}

}  // namespace platform
