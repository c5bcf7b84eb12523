// The portable reader of a PE image's fixed version record.
//
// Layout followed (Microsoft PE/COFF specification; resource format of
// VS_VERSIONINFO), all fields little-endian:
//
//   0x00  "MZ"                            DOS header
//   0x3C  u32 e_lfanew ─────────┐
//   e_lfanew  "PE\0\0"  <───────┘
//   +4   COFF header (20 bytes): +2 u16 NumberOfSections, +16 u16 SizeOfOptionalHeader
//   +24  optional header: u16 Magic 0x10B (PE32: NumberOfRvaAndSizes at +92,
//        directories at +96) or 0x20B (PE32+: at +108 and +112); directory 2 is
//        the resource directory (u32 RVA, u32 size)
//   +24+SizeOfOptionalHeader  section table, 40 bytes each: +8 VirtualSize,
//        +12 VirtualAddress, +16 SizeOfRawData, +20 PointerToRawData
//
//   resource directory (16 bytes): +12 u16 named entries, +14 u16 id entries,
//   then 8-byte entries {u32 name or id, u32 offset}; an offset with the high
//   bit set is another directory, else a data entry {u32 RVA, u32 size, ...}.
//   Offsets count from the start of the resource directory.
//
//   version block: u16 wLength, u16 wValueLength, u16 wType,
//   "VS_VERSION_INFO\0" in UTF-16, padding to 4 bytes, then VS_FIXEDFILEINFO:
//   +0 u32 signature 0xFEEF04BD, +4 struct version, +8 dwFileVersionMS,
//   +12 dwFileVersionLS.
#include "platform/file_install.h"

#include <string_view>

#include "platform/wire_reader.h"

namespace platform {
namespace {

constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;

struct Section {
  uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

class PeImage {
 public:
  explicit PeImage(const WireReader& r) : r_(r) {}

  bool parseHeaders(uint32_t& resourceRva) {
    uint16_t mz = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!r_.u16At(0, mz) || mz != 0x5A4D || !r_.u32At(0x3C, peOffset)) return false;
    if (!r_.u32At(peOffset, signature) || signature != 0x00004550) return false;
    uint64_t coff = uint64_t{peOffset} + 4;
    uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!r_.u16At(coff + 2, sectionCount) || !r_.u16At(coff + 16, optionalSize)) return false;
    uint64_t optional = coff + 20;
    if (!r_.u16At(optional, magic)) return false;
    uint64_t countOffset = 0, directories = 0;
    if (magic == 0x10B) {
      countOffset = 92;
      directories = 96;
    } else if (magic == 0x20B) {
      countOffset = 108;
      directories = 112;
    } else {
      return false;
    }
    uint32_t directoryCount = 0;
    // The resource directory must lie inside the optional header as declared.
    if (optionalSize < directories + 3 * 8 || !r_.u32At(optional + countOffset, directoryCount) ||
        directoryCount < 3)
      return false;
    if (!r_.u32At(optional + directories + 2 * 8, resourceRva) || resourceRva == 0) return false;
    sectionTable_ = optional + optionalSize;
    sectionCount_ = sectionCount;
    return r_.fits(sectionTable_, uint64_t{sectionCount_} * 40);
  }

  // File offset of `length` bytes at `rva`, all inside one section's raw data.
  bool offsetOf(uint32_t rva, uint32_t length, uint64_t& offset) const {
    for (uint32_t i = 0; i < sectionCount_; ++i) {
      Section s{};
      uint64_t at = sectionTable_ + uint64_t{i} * 40;
      if (!r_.u32At(at + 8, s.virtualSize) || !r_.u32At(at + 12, s.virtualAddress) ||
          !r_.u32At(at + 16, s.rawSize) || !r_.u32At(at + 20, s.rawOffset))
        return false;
      if (rva < s.virtualAddress) continue;
      uint64_t delta = uint64_t{rva} - s.virtualAddress;
      if (delta + length > s.rawSize) continue;
      offset = uint64_t{s.rawOffset} + delta;
      return r_.fits(offset, length);
    }
    return false;
  }

 private:
  const WireReader& r_;
  uint64_t sectionTable_ = 0;
  uint32_t sectionCount_ = 0;
};

// The offset field of the entry of `directory` whose id is `id`, or of the
// first entry when `id` is negative.
bool findEntry(const WireReader& r, uint64_t directory, int64_t id, uint32_t& target) {
  uint16_t named = 0, ids = 0;
  if (!r.u16At(directory + 12, named) || !r.u16At(directory + 14, ids)) return false;
  uint32_t count = uint32_t{named} + ids;
  if (!r.fits(directory + 16, uint64_t{count} * 8)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t name = 0;
    r.u32At(directory + 16 + uint64_t{i} * 8, name);
    if (id < 0 || name == static_cast<uint32_t>(id)) return r.u32At(directory + 20 + uint64_t{i} * 8, target);
  }
  return false;
}

}  // namespace

bool readPeFixedVersion(const uint8_t* image, size_t size, FileVersion& version) {
  if (image == nullptr) return false;
  WireReader r(image, size);
  PeImage pe(r);
  uint32_t resourceRva = 0;
  uint64_t root = 0;
  if (!pe.parseHeaders(resourceRva) || !pe.offsetOf(resourceRva, 16, root)) return false;

  // Type → name → language; the first two levels must be directories, the
  // last a data entry. Offsets are relative to the resource root; each one is
  // mapped through the section table again, so a corrupt offset fails there.
  uint32_t entry = 0;
  uint64_t at = root;
  for (int level = 0; level < 3; ++level) {
    const int64_t wanted = level == 0 ? int64_t{kVersionResourceType} : int64_t{-1};
    if (!findEntry(r, at, wanted, entry)) return false;
    bool directory = (entry & kSubdirectoryBit) != 0;
    if (directory != (level < 2)) return false;
    uint64_t rva = uint64_t{resourceRva} + (entry & ~kSubdirectoryBit);
    if (rva > 0xFFFFFFFFu || !pe.offsetOf(static_cast<uint32_t>(rva), 16, at)) return false;
  }
  uint32_t dataRva = 0, dataSize = 0;
  if (!r.u32At(at, dataRva) || !r.u32At(at + 4, dataSize)) return false;
  uint64_t block = 0;
  if (dataSize < 40 + 52 || !pe.offsetOf(dataRva, dataSize, block)) return false;

  uint16_t length = 0, valueLength = 0;
  r.u16At(block, length);
  r.u16At(block + 2, valueLength);
  if (length > dataSize || length < 40 + 52 || valueLength < 52) return false;
  constexpr std::u16string_view kKey = u"VS_VERSION_INFO";
  for (size_t i = 0; i <= kKey.size(); ++i) {
    uint16_t c = 0;
    r.u16At(block + 6 + 2 * i, c);
    if (c != (i < kKey.size() ? kKey[i] : 0)) return false;
  }
  // 6 bytes of header and 32 of key end at 38; the value starts 4-aligned.
  uint64_t fixed = block + 40;
  uint32_t signature = 0, ms = 0, ls = 0;
  if (!r.u32At(fixed, signature) || signature != kFixedInfoSignature || !r.u32At(fixed + 8, ms) ||
      !r.u32At(fixed + 12, ls))
    return false;
  version.major = static_cast<uint16_t>(ms >> 16);
  version.minor = static_cast<uint16_t>(ms & 0xFFFF);
  version.build = static_cast<uint16_t>(ls >> 16);
  version.revision = static_cast<uint16_t>(ls & 0xFFFF);
  return true;
}

}  // namespace platform
