// The taps replace the C library's allocation entry points and sendto and
// recvfrom for the whole program: a definition in the executable wins over
// the library's, for the engine's code linked into it as well. Each
// replacement notes what it saw and goes on to glibc's own function
// (__libc_malloc and its kin, the system calls for the socket pair), so the
// heap and the sockets behave exactly as without the taps.
//
// Call stacks are taken with backtrace() and kept as raw addresses; they are
// named only after the window, by addr2line over this program's debug
// information, so the window itself allocates nothing for them.
#include "udp_path_taps.h"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <unordered_map>
#include <vector>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace taps {
namespace {

constexpr size_t kMaxStacks = 32768;
constexpr int kMaxFrames = 24;

struct Stack {
  int depth;
  void* frames[kMaxFrames];
};

std::atomic<uint64_t> allocationCount{0};
std::atomic<bool> keepingStacks{false};
std::atomic<size_t> stacksKept{0};
Stack stacks[kMaxStacks];
// Set while this thread walks its stack: an allocation made by the walk is
// counted but not walked again.
thread_local bool walking = false;

// The watched peer as (address << 16 | port), network order; 0 for none.
std::atomic<uint64_t> watchedPeer{0};
std::atomic<uint32_t> currentRound{0};
std::atomic<int64_t> sentAt[kMaxRounds];
std::atomic<int64_t> receivedAt[kMaxRounds];

void noteAllocation() {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  if (!keepingStacks.load(std::memory_order_relaxed) || walking) return;
  const size_t slot = stacksKept.fetch_add(1, std::memory_order_relaxed);
  if (slot >= kMaxStacks) return;
  walking = true;
  stacks[slot].depth = backtrace(stacks[slot].frames, kMaxFrames);
  walking = false;
}

uint64_t peerKey(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < sizeof(sockaddr_in) || address->sa_family != AF_INET) return 0;
  sockaddr_in v4;
  std::memcpy(&v4, address, sizeof v4);
  return (uint64_t{v4.sin_addr.s_addr} << 16) | v4.sin_port;
}

void noteMoment(std::atomic<int64_t>* moments, const sockaddr* address, socklen_t length) {
  const uint64_t watched = watchedPeer.load(std::memory_order_relaxed);
  if (watched == 0 || peerKey(address, length) != watched) return;
  int64_t unset = 0;
  moments[currentRound.load(std::memory_order_relaxed)].compare_exchange_strong(unset, now());
}

// "src/udp/udp_flows.cpp" from any spelling of a path in the tree (absolute,
// or relative to a build directory); empty for files outside the project.
std::string projectPath(const std::string& path) {
  static const char* const kFolders[] = {"/src/", "/simdrv/", "/bench/", "/tools/"};
  const std::string slashed = "/" + path;
  size_t best = std::string::npos;
  for (const char* folder : kFolders) {
    const size_t at = slashed.rfind(folder);
    if (at != std::string::npos && (best == std::string::npos || at > best)) best = at;
  }
  if (best == std::string::npos || slashed.rfind("/usr/", 0) == 0) return {};
  return slashed.substr(best + 1);
}

std::string owner(const std::string& path) {
  if (path.rfind("src/", 0) == 0) return "engine";
  if (path.rfind("simdrv/", 0) == 0) return "simulated driver";
  return "benchmark";
}

// "udp::UdpFlows::udpSend(unsigned long, ...)" -> "UdpFlows::udpSend".
std::string shortFunction(const std::string& signature) {
  std::string name = signature.substr(0, signature.find('('));
  size_t last = name.rfind("::");
  if (last != std::string::npos && last >= 2) {
    const size_t before = name.rfind("::", last - 1);
    if (before != std::string::npos) name = name.substr(before + 2);
  }
  return name;
}

// Each frame's inline chain, innermost first: (function, file:line).
using Chain = std::vector<std::pair<std::string, std::string>>;

std::map<uintptr_t, Chain> nameFrames(const std::set<uintptr_t>& offsets, const std::string& program) {
  std::map<uintptr_t, Chain> named;
  const std::filesystem::path list = std::filesystem::temp_directory_path() / "udp_path_bench_frames.txt";
  if (FILE* f = std::fopen(list.c_str(), "w")) {
    for (uintptr_t offset : offsets) std::fprintf(f, "0x%zx\n", static_cast<size_t>(offset));
    std::fclose(f);
  }
  const std::string command = "addr2line -a -i -f -C -e '" + program + "' < '" + list.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return named;
  char line[4096];
  Chain* chain = nullptr;
  std::string function;
  bool expectFunction = true;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.rfind("0x", 0) == 0) {
      chain = &named[static_cast<uintptr_t>(std::stoull(text, nullptr, 16))];
      expectFunction = true;
    } else if (chain != nullptr && expectFunction) {
      function = text;
      expectFunction = false;
    } else if (chain != nullptr) {
      chain->emplace_back(function, text);
      expectFunction = true;
    }
  }
  pclose(pipe);
  std::filesystem::remove(list);
  return named;
}

}  // namespace

int64_t now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void prepare() {
  void* frames[4];
  backtrace(frames, 4);
}

uint64_t allocations() { return allocationCount.load(); }

void startStacks() {
  stacksKept.store(0);
  keepingStacks.store(true);
}

void stopStacks() { keepingStacks.store(false); }

std::map<std::string, uint64_t> stackSites(uint64_t& kept) {
  std::map<std::string, uint64_t> sites;
  kept = std::min(stacksKept.load(), kMaxStacks);
  // Only frames in this program are named; frames in shared libraries are
  // not the project's.
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&now), &self) == 0 || self.dli_fname == nullptr) return sites;
  // addr2line takes offsets in a position-independent program and plain
  // addresses in one loaded where it was linked.
  const bool relocated = reinterpret_cast<const ElfW(Ehdr)*>(self.dli_fbase)->e_type == ET_DYN;
  const uintptr_t base = relocated ? reinterpret_cast<uintptr_t>(self.dli_fbase) : 0;
  std::unordered_map<void*, uintptr_t> offsets;  // 0: not in this program
  auto offsetOf = [&](void* frame) -> uintptr_t {
    auto [it, added] = offsets.try_emplace(frame, 0);
    Dl_info info{};
    if (added && dladdr(frame, &info) != 0 && info.dli_fbase == self.dli_fbase)
      // A return address points after the call; the call is one byte before.
      it->second = reinterpret_cast<uintptr_t>(frame) - 1 - base;
    return it->second;
  };
  std::set<uintptr_t> ours;
  for (size_t i = 0; i < kept; ++i)
    for (int f = 0; f < stacks[i].depth; ++f)
      if (const uintptr_t o = offsetOf(stacks[i].frames[f])) ours.insert(o);
  const std::map<uintptr_t, Chain> named = nameFrames(ours, std::filesystem::read_symlink("/proc/self/exe"));

  for (size_t i = 0; i < kept; ++i) {
    std::string site;
    for (int f = 0; f < stacks[i].depth && site.empty(); ++f) {
      auto it = named.find(offsetOf(stacks[i].frames[f]));
      if (it == named.end()) continue;
      for (const auto& [function, location] : it->second) {
        const std::string path = projectPath(location);
        // The taps' own frames come first on every stack.
        if (path.empty() || path.rfind("bench/udp_path_taps", 0) == 0) continue;
        site = owner(path) + "  " + path + " (" + shortFunction(function) + ")";
        break;
      }
    }
    ++sites[site.empty() ? "elsewhere  (system libraries only)" : site];
  }
  return sites;
}

void watch(const platform::SocketAddress& peer) {
  watchedPeer.store((uint64_t{peer.ipv4()} << 16) | peer.port());
}

void unwatch() { watchedPeer.store(0); }

void setRound(uint32_t round) { currentRound.store(round < kMaxRounds ? round : kMaxRounds - 1); }

void clearRounds() {
  for (uint32_t i = 0; i < kMaxRounds; ++i) {
    sentAt[i].store(0);
    receivedAt[i].store(0);
  }
}

int64_t sentToPeerAt(uint32_t round) { return round < kMaxRounds ? sentAt[round].load() : 0; }
int64_t receivedFromPeerAt(uint32_t round) { return round < kMaxRounds ? receivedAt[round].load() : 0; }

}  // namespace taps

// --- The replaced C library functions ------------------------------------------------

extern "C" {

void* malloc(size_t size) noexcept {
  taps::noteAllocation();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
  taps::noteAllocation();
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) noexcept {
  taps::noteAllocation();
  return __libc_realloc(p, size);
}

void free(void* p) noexcept { __libc_free(p); }

void* memalign(size_t alignment, size_t size) noexcept {
  taps::noteAllocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  taps::noteAllocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  taps::noteAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to, socklen_t toLength) {
  taps::noteMoment(taps::sentAt, to, toLength);
  return syscall(SYS_sendto, fd, data, length, flags, to, toLength);
}

ssize_t recvfrom(int fd, void* buffer, size_t capacity, int flags, sockaddr* from, socklen_t* fromLength) {
  const ssize_t n = syscall(SYS_recvfrom, fd, buffer, capacity, flags, from, fromLength);
  if (n >= 0 && from != nullptr && fromLength != nullptr)
    taps::noteMoment(taps::receivedAt, from, *fromLength);
  return n;
}

}  // extern "C"
