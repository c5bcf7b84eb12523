// Fuzz target: what a library sends lumo-driver's device server. The input
// is a sequence of packets, each a u16 length (little-endian) and that many
// bytes, sent on one connection to a device server in this process (the
// simulated driver behind it, its runtime folder a temporary one). Then the
// kind query is asked: the server must either answer it or drop the
// connection, and serve the next input's connection either way.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device_server.h"
#include "platform/driver_runtime_dir.h"
#include "platform/posix/device_wire.h"
#include "platform/posix/packet_socket.h"
#include "shared_buffers.h"
#include "sim_driver.h"

namespace {

namespace wire = platform::wire;

constexpr uint32_t kKindQuery = 0x0022019C;
constexpr uint64_t kSentinelOp = 0x5EA15EA15EA15EA1ull;
// Past the server's own 5 s limit for a library that takes no answers, and
// inside libFuzzer's 20 s per input: a wait of 5 s was seen to run out on a
// loaded machine without a hang behind it.
constexpr int kAnswerWaitMs = 15000;

struct Server {
  Server() {
    char folder[] = "/tmp/lumo-fuzz-XXXXXX";
    dir = ::mkdtemp(folder) != nullptr ? folder : "/tmp";
    ::setenv("LUMO_DRIVER_DIR", dir.c_str(), 1);
    std::string error;
    buffers.create(1 << 16, 1 << 16, &error);
    simdrv::SimDriver::Config config;
    config.inboundSize = buffers.inboundSize();
    config.outboundSize = buffers.outboundSize();
    config.inboundBuffer = buffers.inbound();
    config.outboundBuffer = buffers.outbound();
    sim = std::make_unique<simdrv::SimDriver>(config);
    server = std::make_unique<driver::DeviceServer>(
        *sim, buffers, platform::deviceSocketPath("CtrlDSLumoDriverSys"), [](const std::string&) {});
    if (!server->start(&error)) std::abort();
  }
  ~Server() {
    server->stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string dir;
  driver::SharedBuffers buffers;
  std::unique_ptr<simdrv::SimDriver> sim;
  std::unique_ptr<driver::DeviceServer> server;
};

// A connection neither answered nor dropped: the descriptor table and every
// thread's stack with its locals (the serving thread's poll set among them)
// go to standard error (through gdb, when the machine has it) before the
// abort, so that a hang shows where the server waits and on what.
[[noreturn]] void hang(const char* where) {
  std::fprintf(stderr, "device_server fuzz: no answer and no drop within %d ms %s\n", kAnswerWaitMs, where);
  const std::string pid = std::to_string(::getpid());
  const std::string command = "ls -l /proc/" + pid + "/fd 1>&2; gdb -p " + pid +
                              " -batch -nx -ex 'thread apply all bt full' </dev/null 1>&2 2>/dev/null";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "device_server fuzz: no stacks (gdb)\n");
  std::abort();
}

// Reads packets until the sentinel's answer or the end of the connection.
void awaitSentinel(int fd) {
  std::vector<uint8_t> packet(wire::kMaxMessage + 1);
  std::vector<platform::UniqueFd> fds;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kAnswerWaitMs) != 1) hang("after the input");
    size_t n = 0;
    bool truncated = false;
    if (!platform::receivePacket(fd, packet, n, fds, truncated)) return;
    wire::Header h{};
    if (n >= sizeof h) std::memcpy(&h, packet.data(), sizeof h);
    if (h.kind == wire::kControlDone && h.op == kSentinelOp) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server served;
  const std::string path = platform::deviceSocketPath("CtrlDSLumoDriverSys");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) std::abort();
  std::vector<uint8_t> hello(sizeof(wire::Hello) + 1);
  std::vector<platform::UniqueFd> fds;
  size_t n = 0;
  bool truncated = false;
  pollfd p{fd.get(), POLLIN, 0};
  if (::poll(&p, 1, kAnswerWaitMs) != 1) hang("to the connection's hello");
  if (!platform::receivePacket(fd.get(), hello, n, fds, truncated)) std::abort();

  size_t at = 0;
  while (size - at >= 2) {
    const size_t length = data[at] | (size_t{data[at + 1]} << 8);
    at += 2;
    const size_t take = std::min(length, size - at);
    if (!platform::sendPacket(fd.get(), data + at, take)) break;  // dropped already
    at += take;
  }
  auto query = wire::make<wire::Control>(wire::kControl, kSentinelOp);
  query.code = kKindQuery;
  query.outCapacity = 4;
  platform::sendPacket(fd.get(), &query, sizeof query);
  awaitSentinel(fd.get());
  return 0;
}
