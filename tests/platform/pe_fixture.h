// The project's own test fixture for driver files: a minimal 64-bit PE image
// whose only content is a version resource. It is what a shipped or installed
// driver file looks like to the installation code (version and size); it is
// never loaded or started.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/file_install.h"

namespace lumotest {

// Offsets inside the image built below, for tests that corrupt single fields.
struct PeLayout {
  static constexpr size_t kPeHeader = 0x40;
  static constexpr size_t kOptionalHeader = kPeHeader + 24;
  static constexpr size_t kSectionTable = kOptionalHeader + 240;
  static constexpr size_t kResources = 0x200;          // file offset of .rsrc (RVA 0x1000)
  static constexpr size_t kVersionBlock = kResources + 0x58;
  static constexpr size_t kFixedInfo = kVersionBlock + 40;
  static constexpr size_t kVersionEnd = kVersionBlock + 92;
};

// The image with the given file version; `extraBytes` zero bytes are appended
// after the section (they change the size, not the version).
std::vector<uint8_t> buildVersionedPe(const platform::FileVersion& version, size_t extraBytes = 0);

// Writes bytes to a file (creating or replacing it).
void writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFileBytes(const std::filesystem::path& path);

}  // namespace lumotest
