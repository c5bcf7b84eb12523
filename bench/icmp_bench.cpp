// How exactly redirected pings are answered: a pinging application (the
// simulated driver's live raw IP) pings a network that an ICMP rule covers,
// through the engine loaded by its exports, with a node that never answers,
// so every reply is the engine's own after the rule's delay. For delays of 5,
// 20 and 100 ms it prints the error of each reply's arrival against the delay
// (p50, p99, max over 1,000 pings, one sent every millisecond), beside the
// error of a plain thread asked to sleep the same delays in the same run.
//
// Usage: icmp_bench [pings per delay, default 1000]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "live_ip.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "udp/internet_checksum.h"

namespace {

using Clock = std::chrono::steady_clock;

// The 1,000 sleeps of the plain thread for one delay are shared by this many
// threads, so that 100 ms delays take seconds, not minutes.
constexpr int kSleepingThreads = 10;

std::string echoRequest(uint16_t sequence) {
  std::string packet(20 + 8 + 32, '\0');
  auto* p = reinterpret_cast<uint8_t*>(packet.data());
  p[0] = 0x45;
  p[3] = static_cast<uint8_t>(packet.size());
  p[8] = 128;
  p[9] = 1;
  const uint32_t source = platform::ipv4(192, 0, 2, 10), destination = platform::ipv4(203, 0, 113, 4);
  std::memcpy(p + 12, &source, 4);
  std::memcpy(p + 16, &destination, 4);
  p[20] = 8;
  p[24] = 0x13, p[25] = 0x37;
  p[26] = static_cast<uint8_t>(sequence >> 8), p[27] = static_cast<uint8_t>(sequence);
  udp::StoreChecksum(p + 22, udp::InternetChecksum(p + 20, packet.size() - 20));
  udp::StoreChecksum(p + 10, udp::InternetChecksum(p, 20));
  return packet;
}

struct Summary {
  double p50 = 0, p99 = 0, max = 0;  // milliseconds
  size_t count = 0;
};

Summary summarize(std::vector<double> errors) {
  Summary s;
  s.count = errors.size();
  if (errors.empty()) return s;
  std::sort(errors.begin(), errors.end());
  s.p50 = errors[errors.size() / 2];
  s.p99 = errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
  s.max = errors.back();
  return s;
}

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Errors (ms) of `count` pings answered after `delayMs`.
std::vector<double> pingErrors(simdrv::LiveIp& live, uint32_t delayMs, size_t count) {
  std::vector<Clock::time_point> sent(count);
  std::vector<double> errors;
  std::atomic<bool> sending{true};
  std::thread receiver([&] {
    size_t got = 0;
    while (got < count) {
      std::optional<simdrv::LiveIp::Packet> reply = live.receive(sending.load() ? 5000 : 2000);
      if (!reply) break;
      if (reply->data.size() < 28) continue;
      const auto* p = reinterpret_cast<const uint8_t*>(reply->data.data());
      const size_t sequence = static_cast<size_t>(p[26] << 8 | p[27]);
      if (sequence >= count) continue;
      errors.push_back(msSince(sent[sequence], reply->arrived) - delayMs);
      ++got;
    }
  });
  for (size_t i = 0; i < count; ++i) {
    const std::string request = echoRequest(static_cast<uint16_t>(i));
    sent[i] = Clock::now();
    if (live.send(4242, request) != simdrv::LiveIp::SendResult::Reported)
      std::fprintf(stderr, "icmp_bench: ping %zu was not reported to the engine\n", i);
    std::this_thread::sleep_until(sent[i] + std::chrono::milliseconds(1));
  }
  sending = false;
  receiver.join();
  return errors;
}

// Errors (ms) of a plain thread's sleeps of `delayMs`.
std::vector<double> sleepErrors(uint32_t delayMs, size_t count) {
  std::vector<std::vector<double>> parts(kSleepingThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kSleepingThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < count; i += kSleepingThreads) {
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        parts[t].push_back(msSince(start, Clock::now()) - delayMs);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  if (count == 0 || count > 65535) {
    std::fprintf(stderr, "usage: icmp_bench [pings per delay, 1..65535]\n");
    return 2;
  }
  simdrv::SimDriver driver;
  driver.install();
  if (!platform::attachSimulatedService(
          u"LumoDriverSys", [] { return true; }, [] {}))
    return 1;
  simdrv::LiveIp live(driver);
  // The node: a socket on loopback that takes the tunnel's datagrams and
  // never answers.
  platform::Socket silentNode = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  platform::SocketAddress nodeAddress;
  if (!platform::bindSocket(silentNode, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)) ||
      !platform::localAddressOf(silentNode, nodeAddress)) {
    std::fprintf(stderr, "icmp_bench: cannot bind the silent node on 127.0.0.1\n");
    return 1;
  }
  if (!Init(0)) {
    std::fprintf(stderr, "icmp_bench: Init failed\n");
    return 1;
  }
  LUMO_PROCESS_ENTRY game{};
  std::strncpy(game.name, "game.exe", sizeof game.name - 1);

  std::printf("error of the reply's arrival against the drawn delay, %zu pings per delay (ms)\n", count);
  std::printf("%-7s | %-26s | %-26s | %s\n", "delay", "engine p50 / p99 / max", "plain sleep p50 / p99 / max",
              "goal (p99 <= 1.5, <= plain p99 + 0.5)");
  bool allMet = true;
  for (uint32_t delay : {5u, 20u, 100u}) {
    const std::string rules = "203.0.113.0/24," + std::to_string(delay) + "-" + std::to_string(delay);
    if (!SetConfig("bench", 0, "u", 0, "1", 0, &game, 1, 0, rules.c_str(), platform::ipv4(127, 0, 0, 1),
                   platform::hostToNet16(9), nodeAddress.port(), 7, 0, 0, 0) ||
        !Start(0, 1, 0, 0, 0, 0)) {
      std::fprintf(stderr, "icmp_bench: SetConfig or Start failed\n");
      return 1;
    }
    const Summary engine = summarize(pingErrors(live, delay, count));
    Stop(0);
    const Summary plain = summarize(sleepErrors(delay, count));
    const bool met = engine.count == count && engine.p99 <= 1.5 && engine.p99 <= plain.p99 + 0.5;
    allMet = allMet && met;
    std::printf("%4u ms | %6.3f / %6.3f / %6.3f%s | %6.3f / %6.3f / %6.3f    | %s\n", delay, engine.p50,
                engine.p99, engine.max, engine.count == count ? "  " : " !", plain.p50, plain.p99, plain.max,
                met ? "met" : "missed");
    if (engine.count != count) std::printf("        (%zu of %zu pings answered)\n", engine.count, count);
  }
  UnInit(1);
  platform::closeSocket(silentNode);
  return allMet ? 0 : 3;
}
