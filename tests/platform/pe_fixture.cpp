#include "pe_fixture.h"

#include <fstream>
#include <iterator>
#include <string_view>

namespace lumotest {
namespace {

// Little-endian, as every field of the image.
template <class T>
void put(std::vector<uint8_t>& b, size_t at, T v) {
  for (size_t i = 0; i < sizeof v; ++i) b[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}

}  // namespace

std::vector<uint8_t> buildVersionedPe(const platform::FileVersion& v, size_t extraBytes) {
  using L = PeLayout;
  std::vector<uint8_t> b(0x400, 0);
  // DOS header: "MZ", e_lfanew.
  b[0] = 'M';
  b[1] = 'Z';
  put<uint32_t>(b, 0x3C, L::kPeHeader);
  // "PE\0\0" and the COFF header: AMD64, one section, PE32+ optional header.
  b[L::kPeHeader] = 'P';
  b[L::kPeHeader + 1] = 'E';
  size_t coff = L::kPeHeader + 4;
  put<uint16_t>(b, coff + 0, 0x8664);
  put<uint16_t>(b, coff + 2, 1);
  put<uint16_t>(b, coff + 16, 240);
  put<uint16_t>(b, coff + 18, 0x2022);  // executable image, large-address aware, DLL
  size_t opt = L::kOptionalHeader;
  put<uint16_t>(b, opt + 0, 0x20B);
  put<uint64_t>(b, opt + 24, 0x180000000ull);     // image base
  put<uint32_t>(b, opt + 32, 0x1000);             // section alignment
  put<uint32_t>(b, opt + 36, 0x200);              // file alignment
  put<uint16_t>(b, opt + 40, 6);                  // OS version 6.0
  put<uint16_t>(b, opt + 48, 6);                  // subsystem version 6.0
  put<uint32_t>(b, opt + 56, 0x2000);             // size of image
  put<uint32_t>(b, opt + 60, 0x200);              // size of headers
  put<uint16_t>(b, opt + 68, 1);                  // native subsystem, as a driver
  put<uint64_t>(b, opt + 72, 0x40000);            // stack reserve
  put<uint64_t>(b, opt + 80, 0x1000);             // stack commit
  put<uint64_t>(b, opt + 88, 0x100000);           // heap reserve
  put<uint64_t>(b, opt + 96, 0x1000);             // heap commit
  put<uint32_t>(b, opt + 108, 16);                // number of directories
  put<uint32_t>(b, opt + 112 + 2 * 8, 0x1000);    // resource directory RVA
  put<uint32_t>(b, opt + 112 + 2 * 8 + 4, 0xB4);  // and size
  // Section ".rsrc".
  size_t sec = L::kSectionTable;
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) b[sec + i] = static_cast<uint8_t>(name[i]);
  put<uint32_t>(b, sec + 8, 0xB4);
  put<uint32_t>(b, sec + 12, 0x1000);
  put<uint32_t>(b, sec + 16, 0x200);
  put<uint32_t>(b, sec + 20, L::kResources);
  put<uint32_t>(b, sec + 36, 0x40000040);  // initialised data, readable
  // Resource tree: type 16 → name 1 → language 0x409 → data entry.
  size_t r = L::kResources;
  put<uint16_t>(b, r + 14, 1);
  put<uint32_t>(b, r + 16, 16);
  put<uint32_t>(b, r + 20, 0x80000000u | 0x18);
  put<uint16_t>(b, r + 0x18 + 14, 1);
  put<uint32_t>(b, r + 0x18 + 16, 1);
  put<uint32_t>(b, r + 0x18 + 20, 0x80000000u | 0x30);
  put<uint16_t>(b, r + 0x30 + 14, 1);
  put<uint32_t>(b, r + 0x30 + 16, 0x409);
  put<uint32_t>(b, r + 0x30 + 20, 0x48);
  put<uint32_t>(b, r + 0x48, 0x1000 + 0x58);  // data RVA
  put<uint32_t>(b, r + 0x48 + 4, 92);         // data size
  // VS_VERSIONINFO with its fixed record and no children.
  size_t vb = L::kVersionBlock;
  put<uint16_t>(b, vb + 0, 92);
  put<uint16_t>(b, vb + 2, 52);
  put<uint16_t>(b, vb + 4, 0);
  constexpr std::u16string_view key = u"VS_VERSION_INFO";
  for (size_t i = 0; i < key.size(); ++i) put<uint16_t>(b, vb + 6 + 2 * i, key[i]);
  size_t fi = L::kFixedInfo;
  put<uint32_t>(b, fi + 0, 0xFEEF04BD);
  put<uint32_t>(b, fi + 4, 0x00010000);
  put<uint32_t>(b, fi + 8, static_cast<uint32_t>(v.major) << 16 | v.minor);
  put<uint32_t>(b, fi + 12, static_cast<uint32_t>(v.build) << 16 | v.revision);
  put<uint32_t>(b, fi + 16, static_cast<uint32_t>(v.major) << 16 | v.minor);
  put<uint32_t>(b, fi + 20, static_cast<uint32_t>(v.build) << 16 | v.revision);
  put<uint32_t>(b, fi + 24, 0x3F);
  put<uint32_t>(b, fi + 32, 0x00040004);  // VOS_NT_WINDOWS32
  put<uint32_t>(b, fi + 36, 3);           // VFT_DRV
  b.resize(b.size() + extraBytes, 0);
  return b;
}

void writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace lumotest
