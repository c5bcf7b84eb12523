// Look-ups of the filter tables on the packet path, with a table of the size a
// large filter file gives, each against a straightforward baseline in the same
// run:
//   FindAddressRule  vs  walking the rule records in file order
//   ClassifyDomain   vs  compiling each pattern at every look-up
// Prints the ratios and the allocations per FindAddressRule call at the end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "rules/address_text.h"
#include "rules/filter_file.h"
#include "rules/filter_tables.h"

// The replaced global allocation functions below count every allocation; GCC
// sees their malloc/free through inlining and wrongly reports a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using platform::SocketAddress28;

// 3000 address rules (exact, /24 and /16 networks), 200 port rules, 2000
// exact domain rules and 16 patterns: a large catalogue for one game.
std::string Catalogue() {
  std::string text;
  char line[160];
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(line, sizeof line, "0,0,1,10.%d.%d.%d,%d,%d,0\n", i % 200, (i * 7) % 250, 1 + i % 250,
                  1000 + i, i % 2);
    text += line;
    std::snprintf(line, sizeof line, "0,0,1,172.%d.%d.0,%d,0,0\n", 16 + i % 16, i % 250, 2000 + i);
    text += line;
    std::snprintf(line, sizeof line, "0,0,1,100.%d.0.0,0,1,2\n", i % 250);
    text += line;
  }
  for (int i = 0; i < 200; ++i) {
    std::snprintf(line, sizeof line, "0,0,2,%d,1,%d\n", 30000 + i, i % 3);
    text += line;
  }
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(line, sizeof line, "0,0,0,0,host%d.game%d.example.com,1,n\n", i, i % 40);
    text += line;
  }
  for (int i = 0; i < 16; ++i) {
    std::snprintf(line, sizeof line, "0,0,0,0,][^cdn%d-\\d+\\.example\\.net$,1,n\n", i);
    text += line;
  }
  return text;
}

struct Fixture {
  Fixture() {
    rules::ParseFilterText(Catalogue(), lists);
    rules::FilterLists copy = lists;
    tables.ReplaceLists(std::move(copy));
    tables.BuildFilterTables(1, 1, {});
    // Destinations: a third hit exact rules, a third /24 or /16 networks, a
    // third nothing (the worst case: every level is looked at).
    for (int i = 0; i < 1024; ++i) {
      int k = i % 1000;
      switch (i % 3) {
        case 0:
          destinations.push_back(SocketAddress28::FromIpv4(
              platform::ipv4(10, uint8_t(k % 200), uint8_t((k * 7) % 250), uint8_t(1 + k % 250)),
              platform::hostToNet16(uint16_t(1000 + k))));
          break;
        case 1:
          destinations.push_back(
              SocketAddress28::FromIpv4(platform::ipv4(172, uint8_t(16 + k % 16), uint8_t(k % 250), 99),
                                        platform::hostToNet16(uint16_t(2000 + k))));
          break;
        default:
          destinations.push_back(
              SocketAddress28::FromIpv4(platform::ipv4(203, 0, 113, uint8_t(k)), platform::hostToNet16(443)));
          break;
      }
    }
    for (int i = 0; i < 256; ++i) {
      switch (i % 3) {
        case 0:
          names.push_back("host" + std::to_string(i * 7) + ".game" + std::to_string((i * 7) % 40) + ".example.com");
          break;
        case 1:
          names.push_back("cdn" + std::to_string(i % 16) + "-" + std::to_string(i) + ".example.net");
          break;
        default:
          names.push_back("unknown" + std::to_string(i) + ".example.org");
          break;
      }
    }
  }
  rules::FilterLists lists;
  rules::FilterTables tables;
  std::vector<SocketAddress28> destinations;
  std::vector<std::string> names;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

// The naive answer: walk the kind 1 and kind 2 rules in file order (their
// addresses converted once, in advance).
struct FlatRule {
  uint32_t kind, protocol, address;
  uint16_t port, action;
};

std::vector<FlatRule> Flatten(const std::vector<rules::FILTER_RECORD>& records) {
  std::vector<FlatRule> flat;
  for (const auto& r : records)
    flat.push_back(FlatRule{r.kind, r.protocol, rules::ClassicInetAddr(r.name), r.port, r.action});
  return flat;
}

int LinearFindAddressRule(const std::vector<FlatRule>& rules, const SocketAddress28& d) {
  uint32_t address = d.ipv4();
  uint16_t port = d.port();
  for (int level = 0; level < 3; ++level) {
    uint32_t key = address;
    if (level >= 1) key &= platform::hostToNet32(0xFFFFFF00u);
    if (level >= 2) key &= platform::hostToNet32(0xFFFF0000u);
    for (const FlatRule& r : rules)
      if (r.kind == rules::FILTER_ADDRESS_PORT && (r.protocol == 0 || r.protocol == 1) &&
          (r.port == 0 || r.port == port) && r.address == key)
        return r.action == 1 ? 2 : 1;
  }
  for (const FlatRule& r : rules)
    if (r.kind == rules::FILTER_PORT && (r.protocol == 0 || r.protocol == 1) && r.port == port)
      return r.action == 1 ? 2 : 1;
  return 0;
}

void BM_FindAddressRule(benchmark::State& state) {
  Fixture& f = Shared();
  size_t i = 0;
  uint64_t before = allocations.load();
  uint64_t calls = 0;
  for (auto _ : state) {
    const SocketAddress28& d = f.destinations[i++ & 1023];
    benchmark::DoNotOptimize(f.tables.FindAddressRule(d.family(), d.bytes.data(), 1));
    ++calls;
  }
  state.counters["allocs_per_call"] = double(allocations.load() - before) / double(calls ? calls : 1);
}
BENCHMARK(BM_FindAddressRule);

void BM_FindAddressRule_LinearBaseline(benchmark::State& state) {
  Fixture& f = Shared();
  std::vector<FlatRule> flat = Flatten(f.lists.records);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(LinearFindAddressRule(flat, f.destinations[i++ & 1023]));
}
BENCHMARK(BM_FindAddressRule_LinearBaseline);

void BM_ClassifyDomain(benchmark::State& state) {
  Fixture& f = Shared();
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(f.tables.ClassifyDomain(f.names[i++ & 255]));
}
BENCHMARK(BM_ClassifyDomain);

// Compiling the patterns at each use, as a matcher without a cache does.
void BM_ClassifyDomain_CompileEachUseBaseline(benchmark::State& state) {
  Fixture& f = Shared();
  std::map<std::string, const rules::FILTER_RECORD*> exact;
  std::map<std::string, const rules::FILTER_RECORD*> patterns;
  for (const auto& r : f.lists.records) {
    if (r.kind != rules::FILTER_STEER) continue;
    (r.name.rfind("][", 0) == 0 ? patterns : exact).emplace(r.name, &r);
  }
  size_t i = 0;
  for (auto _ : state) {
    const std::string& name = f.names[i++ & 255];
    const rules::FILTER_RECORD* found = nullptr;
    auto it = exact.find(name);
    if (it != exact.end()) found = it->second;
    for (auto p = patterns.begin(); found == nullptr && p != patterns.end(); ++p)
      if (std::regex_search(name, std::regex(p->first.substr(2), std::regex::ECMAScript | std::regex::icase)))
        found = p->second;
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_ClassifyDomain_CompileEachUseBaseline);

// Console output plus the per-benchmark times for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Shared();  // build the tables before any timing
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* baseline, const char* subject) {
    auto b = reporter.times.find(baseline);
    auto s = reporter.times.find(subject);
    if (b == reporter.times.end() || s == reporter.times.end() || s->second <= 0) return;
    std::printf("%-44s %8.1fx faster than %s\n", subject, b->second / s->second, baseline);
  };
  ratio("BM_FindAddressRule_LinearBaseline", "BM_FindAddressRule");
  ratio("BM_ClassifyDomain_CompileEachUseBaseline", "BM_ClassifyDomain");
  benchmark::Shutdown();
  return 0;
}
