// The driver's two shared buffers (inbound: driver to library, outbound:
// library to driver) as memory the driver maps and hands to the library: each
// is a memfd, sealed so that neither side can shrink or grow it (a shrink
// would make the other side's accesses fault), mapped here for the simulated
// driver and sent to the library with the buffer exchange's answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/unique_fd.h"

namespace driver {

class SharedBuffers {
 public:
  SharedBuffers() = default;
  // Unmaps both buffers (the library's mappings stay valid).
  ~SharedBuffers();
  SharedBuffers(const SharedBuffers&) = delete;
  SharedBuffers& operator=(const SharedBuffers&) = delete;

  // Creates, seals and maps both buffers (sizes in bytes, at least 1). False
  // with *error set when the system refuses; nothing stays allocated then.
  bool create(size_t inboundSize, size_t outboundSize, std::string* error);

  uint8_t* inbound() const { return inbound_.address; }
  uint8_t* outbound() const { return outbound_.address; }
  size_t inboundSize() const { return inbound_.size; }
  size_t outboundSize() const { return outbound_.size; }
  // The memfds, for sending; they stay owned here.
  int inboundFd() const { return inbound_.fd.get(); }
  int outboundFd() const { return outbound_.fd.get(); }

 private:
  struct Buffer {
    platform::UniqueFd fd;
    uint8_t* address = nullptr;
    size_t size = 0;
    ~Buffer();
    void release();
    bool create(const char* name, size_t bytes, std::string* error);
  };

  Buffer inbound_;
  Buffer outbound_;
};

}  // namespace driver
