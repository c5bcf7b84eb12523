// Fuzz target: a driver file's bytes read as a PE image for its fixed version
// record (readPeFixedVersion), as the installer reads shipped and installed
// driver files on Linux.
#include <cstddef>
#include <cstdint>

#include "platform/file_install.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::FileVersion version;
  platform::readPeFixedVersion(data, size, version);
  return 0;
}
