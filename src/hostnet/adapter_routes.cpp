#include "hostnet/adapter_routes.h"

#include <string_view>

#include "hostnet/command_runner.h"
#include "platform/net.h"
#include "platform/text.h"

namespace hostnet {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view firstAddress(const platform::AdapterInfo& adapter) {
  return adapter.ipv4Addresses.empty() ? std::string_view() : adapter.ipv4Addresses.front();
}

}  // namespace

bool FindVirtualAdapter(const std::vector<platform::AdapterInfo>& adapters, uint32_t& outNextHop,
                        uint32_t& outInterfaceIndex) {
  const platform::AdapterInfo* chosen = nullptr;
  bool firstPass = false;
  for (const auto& adapter : adapters) {
    const std::string description = platform::toLowerAscii(adapter.description);
    if (!startsWith(description, "my") && description != "kitra") continue;
    std::string_view address = firstAddress(adapter);
    if (startsWith(address, "172.") || startsWith(address, "10.10.")) {
      chosen = &adapter;
      firstPass = true;
      break;
    }
  }
  if (chosen == nullptr) {
    for (const auto& adapter : adapters) {
      if (startsWith(firstAddress(adapter), "172.")) {
        chosen = &adapter;
        break;
      }
    }
  }
  if (chosen == nullptr) return false;

  std::string nextHop(firstAddress(*chosen));
  if (firstPass && startsWith(nextHop, "10.10.")) {
    // The service's gateway is the .1 host of the adapter's network.
    nextHop = nextHop.substr(0, nextHop.rfind('.') + 1) + "1";
  }
  outInterfaceIndex = chosen->interfaceIndex;
  outNextHop = platform::inetAddr(nextHop.c_str());
  return true;
}

bool FindVirtualAdapter(uint32_t& outNextHop, uint32_t& outInterfaceIndex) {
  std::vector<platform::AdapterInfo> adapters;
  if (!platform::listAdapters(adapters)) return false;
  return FindVirtualAdapter(adapters, outNextHop, outInterfaceIndex);
}

uint32_t GetInterfaceMetric(uint32_t interfaceIndex) {
  return platform::interfaceMetric(interfaceIndex);
}

AdapterRoutes::AdapterRoutes(RouteCreator creator)
    : creator_(creator ? std::move(creator) : RouteCreator([](const platform::HostRoute& route) {
        return commandRunner().createHostRoute(route);
      })) {}

void AdapterRoutes::setParameters(const AdapterRouteParameters& parameters) {
  std::lock_guard<std::mutex> guard(lock_);
  parameters_ = parameters;
}

AdapterRouteParameters AdapterRoutes::parameters() const {
  std::lock_guard<std::mutex> guard(lock_);
  return parameters_;
}

bool AdapterRoutes::AddHostRoute(uint32_t destination) {
  platform::HostRoute route;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!routed_.insert(destination).second) return true;
    route.destination = destination;
    route.mask = 0xFFFFFFFFu;
    route.nextHop = parameters_.nextHop;
    route.interfaceIndex = parameters_.interfaceIndex;
    route.type = 3;
    route.protocol = 3;
    route.metric = parameters_.metric;
  }
  // The routing-table call is made without the mutex: it can be slow, and
  // other driver-event threads must not wait for it.
  creator_(route);
  return true;
}

void AdapterRoutes::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  routed_.clear();
}

bool AdapterRoutes::contains(uint32_t destination) const {
  std::lock_guard<std::mutex> guard(lock_);
  return routed_.count(destination) != 0;
}

size_t AdapterRoutes::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return routed_.size();
}

}  // namespace hostnet
