#include "shared_buffers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace driver {

SharedBuffers::~SharedBuffers() = default;

SharedBuffers::Buffer::~Buffer() { release(); }

void SharedBuffers::Buffer::release() {
  if (address != nullptr) ::munmap(address, size);
  address = nullptr;
  size = 0;
  fd.reset();
}

bool SharedBuffers::Buffer::create(const char* name, size_t bytes, std::string* error) {
  auto fail = [&](const char* step) {
    if (error != nullptr)
      *error = std::string(step) + " for the " + name + " buffer: " + std::strerror(errno);
    return false;
  };
  release();
  if (bytes == 0) {
    errno = EINVAL;
    return fail("no size");
  }
  fd.reset(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd.valid()) return fail("memfd_create");
  if (::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0) return fail("ftruncate");
  // The library maps it too: neither side may change its size under the
  // other, and the seals themselves are final.
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return fail("sealing");
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return fail("mmap");
  address = static_cast<uint8_t*>(p);
  size = bytes;
  return true;
}

bool SharedBuffers::create(size_t inboundSize, size_t outboundSize, std::string* error) {
  if (inbound_.create("lumo-inbound", inboundSize, error) &&
      outbound_.create("lumo-outbound", outboundSize, error))
    return true;
  inbound_.release();
  outbound_.release();
  return false;
}

}  // namespace driver
