// Fuzz target: any datagram to port 53 through interceptDnsQuery, with the
// switches and the name's class taken from the first byte. Every query ends
// exactly one way: passed (one injected send), answered (one injected
// receive that is a well-formed response to it), resolved, tunnelled or
// dropped; nothing is read outside the datagram.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../../udp/recording_flow_driver.h"
#include "dns/dns_interception.h"

namespace {

class FixedLinks : public dns::DnsLinks {
 public:
  explicit FixedLinks(uint8_t bits) : bits_(bits) {}
  dns::DnsSwitches switches() override {
    return {(bits_ & 1) != 0, (bits_ & 2) != 0, (bits_ & 4) != 0, (bits_ & 8) != 0};
  }
  rules::DomainClass classifyDomain(const std::string&) override {
    return static_cast<rules::DomainClass>(((bits_ >> 4) & 3) % 3);
  }
  bool isListedName(const std::string&) override { return (bits_ & 0x40) != 0; }
  uint32_t lookupHostAddress(const std::string&) override {
    return (bits_ & 0x80) ? platform::ipv4(192, 0, 2, 1) : 0;
  }
  void resolveAsync(const dns::DNS_REQ&) override { ++resolved; }
  void learnDnsAnswer(const std::string&, const std::vector<dns::SocketAddress28>&) override {}
  int resolved = 0;

 private:
  uint8_t bits_;
};

// A name without the blanks and dots at its ends. Trimming blanks off a name
// whose last labels are blanks leaves final dots ("x.\t.\r" reads "x.\t."),
// and the answer, built from that text, trims again: both name the domain "x".
std::string core(const std::string& name) {
  constexpr const char* kEnds = " \r\n\t.";
  const size_t first = name.find_first_not_of(kEnds);
  if (first == std::string::npos) return {};
  return name.substr(first, name.find_last_not_of(kEnds) - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> datagram(data + 1, data + size);
  lumotest::RecordingFlowDriver driver;
  FixedLinks links(data[0]);
  collector::DataCollectorEvent collector;
  dns::DnsInterception dns(links, driver, collector);
  const platform::SocketAddress server = platform::makeIpv4Address(
      (data[0] & 0x08) ? dns::kVirtualDnsAddress : platform::ipv4(192, 0, 2, 53), platform::hostToNet16(53));
  const auto outcome = dns.interceptDnsQuery(1, server, datagram.empty() ? nullptr : datagram.data(),
                                             datagram.size(), nullptr);
  const size_t ends =
      driver.injected.size() + links.resolved + (outcome == udp::DnsBranch::QueryOutcome::Tunnel ? 1 : 0);
  if (ends > 1) std::abort();
  if (!driver.injected.empty() && driver.injected[0].toApplication) {
    const std::vector<uint8_t>& bytes = driver.injected[0].data;
    const dns::DnsMessage answer = dns::ParseDnsMessage(bytes.data(), bytes.size());
    const dns::DnsMessage query = dns::ParseDnsMessage(datagram.data(), datagram.size());
    if (!answer.isResponse || answer.id != query.id || core(answer.name) != core(query.name)) std::abort();
  }
  dns.stopTunnelWaits();
  return 0;
}
