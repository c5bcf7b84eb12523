// Throughput of the driver interface against the simulated driver, each next
// to a memcpy of the same bytes in the same run:
//   - records per second through dispatch (batch → tables → queue → handler);
//   - bytes per second through the filtered TCP path: the driver reports
//     data, the handler injects it back, the driver takes it.
// After the runs the program prints how many times slower than memcpy each
// path is.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "drvapi/drvapi.h"
#include "sim_driver.h"

namespace {

using namespace drvapi;

constexpr int kDispatchConnections = 256;
constexpr int kDispatchRecords = 4096;
constexpr size_t kDispatchPayload = 64;

constexpr int kPathConnections = 32;
constexpr int kPathRecordsPerConnection = 4;
constexpr size_t kPathPayload = 16384;

// Counts delivered bytes; in echo mode hands every received chunk straight
// back to the driver as the relay of a filtered connection would.
class CountingHandler final : public DRV_EventHandler {
 public:
  bool echo = false;

  void reset() { bytes_.store(0); }
  void waitFor(uint64_t target) {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait(g, [&] { return bytes_.load() >= target; });
  }

  void tcpReceive(uint64_t id, const char* data, int length) override {
    if (echo) tcpInjectReceive(id, data, length);
    if (bytes_.fetch_add(static_cast<uint64_t>(length)) + static_cast<uint64_t>(length) >= target_.load()) {
      std::lock_guard<std::mutex> g(lock_);
      cv_.notify_all();
    }
  }
  void setTarget(uint64_t t) { target_.store(t); }

  void tcpConnectRequest(uint64_t, TcpConnInfo*) override {}
  void tcpConnected(uint64_t, TcpConnInfo*) override {}
  void tcpClosed(uint64_t, TcpConnInfo*) override {}
  void tcpSend(uint64_t, const char*, int) override {}
  void tcpCanReceive(uint64_t) override {}
  void tcpCanSend(uint64_t) override {}
  void udpCreated(uint64_t, UdpConnInfo*) override {}
  void udpConnectRequest(uint64_t, UdpConnectRequest*) override {}
  void udpClosed(uint64_t, UdpConnInfo*) override {}
  void udpReceive(uint64_t, const unsigned char*, const char*, int, const UdpOptions*) override {}
  void udpSend(uint64_t, const unsigned char*, const char*, int, const UdpOptions*) override {}
  void udpCanReceive(uint64_t) override {}
  void udpCanSend(uint64_t) override {}

 private:
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> target_{~uint64_t{0}};
  std::mutex lock_;
  std::condition_variable cv_;
};

// The library with the simulated driver, brought up once per benchmark.
struct Bench {
  simdrv::SimDriver sim{[] {
    simdrv::SimDriver::Config c;
    c.inboundSize = 8 << 20;
    c.outboundSize = 1 << 20;
    return c;
  }()};
  CountingHandler handler;

  Bench(int connections, bool echo) {
    handler.echo = echo;
    sim.setKeepLog(false);
    sim.install();
    setDriverOptions(4, kOptionNoServiceStart);
    if (initDriver("LumoDriverSys", &handler) != kOk) std::abort();
    simdrv::Batch open;
    const auto local = simdrv::ipv4("127.0.0.1", 40000);
    const auto remote = simdrv::ipv4("203.0.113.5", 7000);
    for (int c = 0; c < connections; ++c) open.tcpConnected(c + 1, simdrv::tcpInfo(1200, local, remote));
    sim.deliver(open);
    sim.waitForRead();
  }
  ~Bench() { freeDriver(); }
};

simdrv::Batch dispatchBatch() {
  simdrv::Batch b;
  const std::string payload(kDispatchPayload, 'd');
  for (int r = 0; r < kDispatchRecords; ++r) b.tcpReceive(r % kDispatchConnections + 1, payload);
  return b;
}

simdrv::Batch pathBatch() {
  simdrv::Batch b;
  const std::string payload(kPathPayload, 'p');
  for (int r = 0; r < kPathRecordsPerConnection; ++r)
    for (int c = 0; c < kPathConnections; ++c) b.tcpReceive(c + 1, payload);
  return b;
}

void BM_Dispatch(benchmark::State& state) {
  Bench bench(kDispatchConnections, false);
  const simdrv::Batch batch = dispatchBatch();
  const uint64_t bytes = uint64_t{kDispatchRecords} * kDispatchPayload;
  for (auto _ : state) {
    bench.handler.reset();
    bench.handler.setTarget(bytes);
    bench.sim.deliver(batch);
    bench.handler.waitFor(bytes);
  }
  state.SetItemsProcessed(state.iterations() * kDispatchRecords);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
}

void BM_DispatchMemcpyBaseline(benchmark::State& state) {
  const simdrv::Batch batch = dispatchBatch();
  std::vector<uint8_t> target(batch.size());
  for (auto _ : state) {
    std::memcpy(target.data(), batch.bytes().data(), batch.size());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kDispatchRecords);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
}

void BM_FilteredTcpPath(benchmark::State& state) {
  Bench bench(kPathConnections, true);
  const simdrv::Batch batch = pathBatch();
  const uint64_t bytes = uint64_t{kPathConnections} * kPathRecordsPerConnection * kPathPayload;
  for (auto _ : state) {
    const uint64_t before = bench.sim.writtenBytes(kTcpReceive);
    bench.sim.deliver(batch);
    if (!bench.sim.waitForWrittenBytes(kTcpReceive, before + bytes, 60000)) {
      state.SkipWithError("injected data did not come back");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_FilteredTcpPathMemcpyBaseline(benchmark::State& state) {
  const simdrv::Batch batch = pathBatch();
  std::vector<uint8_t> target(batch.size());
  const uint64_t bytes = uint64_t{kPathConnections} * kPathRecordsPerConnection * kPathPayload;
  for (auto _ : state) {
    std::memcpy(target.data(), batch.bytes().data(), batch.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_Dispatch)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DispatchMemcpyBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FilteredTcpPath)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FilteredTcpPathMemcpyBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration so the ratios can be printed at the end.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (!r.error_occurred && r.iterations > 0)
        timePerIteration[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  std::map<std::string, double> timePerIteration;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* path, const char* baseline) {
    const auto p = reporter.timePerIteration.find(path);
    const auto b = reporter.timePerIteration.find(baseline);
    if (p == reporter.timePerIteration.end() || b == reporter.timePerIteration.end() || b->second <= 0)
      return;
    std::printf("%-24s %10.1f x the time of memcpy of the same bytes\n", path, p->second / b->second);
  };
  ratio("BM_Dispatch/real_time", "BM_DispatchMemcpyBaseline/real_time");
  ratio("BM_FilteredTcpPath/real_time", "BM_FilteredTcpPathMemcpyBaseline/real_time");
  benchmark::Shutdown();
  return 0;
}
