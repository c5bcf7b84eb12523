// Fuzz target: a filter file's contents, deciphered (or taken as plain text
// when the first byte says so), parsed, turned into tables and looked up.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rules/filter_file.h"
#include "rules/filter_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the route so that the corpus can hold readable
  // plain text as well as enciphered files.
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string plain;
  if (data[0] & 1) {
    std::string error;
    if (rules::DecipherFilterFile(input, plain, error) == rules::CipherResult::kFailed) return 0;
  } else {
    plain = input;
  }
  rules::FilterLists lists;
  std::vector<rules::DroppedLine> dropped;
  rules::ParseFilterText(plain, lists, &dropped);

  static rules::FilterTables tables;
  tables.ReplaceLists(std::move(lists));
  rules::HostMap hostMap;
  tables.CollectFilterHosts(1, 1, hostMap);
  rules::AddHostAddress(hostMap, "game.example.com",
                        platform::SocketAddress28::FromIpv4(platform::ipv4(203, 0, 113, 5)));
  tables.BuildFilterTables(1, 1, hostMap);
  platform::SocketAddress28 a =
      platform::SocketAddress28::FromIpv4(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(443));
  tables.FindAddressRule(a.family(), a.bytes.data(), 1);
  tables.FindAddressRule(a.family(), a.bytes.data(), 2);
  tables.IsWebSteered(a.bytes.data(), true);
  tables.ClassifyDomain("game.example.com");
  const platform::SocketAddress28 answers[] = {a};
  tables.LearnSteerAddresses("game.example.com", answers);
  tables.LearnPortRuleAddresses("game.example.com", answers);
  tables.LearnRewriteHost("game.example.com", answers);
  tables.LearnListedName("game.example.com", answers);
  return 0;
}
