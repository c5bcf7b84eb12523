// A machine for the driver management tests: temporary Windows and shipped
// driver folders, an in-memory registry and service manager, and a sleep
// that only counts. Installed as the driver environment while it lives.
#pragma once

#include <functional>
#include <string>

#include "pe_fixture.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "service/driver_service.h"
#include "support/test_support.h"

namespace lumotest {

inline const std::u16string kDriverServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\LumoDriverSys";
inline const std::u16string kTcpip6Key = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters";

class DriverTestMachine {
 public:
  explicit DriverTestMachine(platform::OsVersion version = {10, 0, 0}, uint16_t architecture = 9)
      : services(registry) {
    std::filesystem::create_directories(windows() / "system32" / "drivers");
    std::filesystem::create_directories(shipped());
    environment.version = version;
    environment.nativeArchitecture = architecture;
    environment.windowsFolder = windows();
    environment.shippedFolder = shipped();
    environment.services = &services;
    environment.registry = &registry;
    environment.sleepMs = [this](uint32_t ms) {
      sleptMs += ms;
      ++sleeps;
      if (onSleep) onSleep();
    };
    service::setDriverEnvironment(environment);
  }
  ~DriverTestMachine() { service::resetDriverEnvironment(); }

  std::filesystem::path windows() const { return dir.path() / "windows"; }
  std::filesystem::path shipped() const { return dir.path() / "driver"; }
  std::filesystem::path installed() const { return service::installedDriverPath(windows()); }
  std::filesystem::path shippedFile() const {
    return shipped() / service::shippedDriverFileName(environment.version, environment.nativeArchitecture);
  }

  void ship(const platform::FileVersion& v, size_t extra = 0) { writeFileBytes(shippedFile(), buildVersionedPe(v, extra)); }
  void install(const platform::FileVersion& v, size_t extra = 0) { writeFileBytes(installed(), buildVersionedPe(v, extra)); }

  // Files in the drivers folder other than the installed one: the moved-aside
  // copies.
  std::vector<std::filesystem::path> asideFiles() const {
    std::vector<std::filesystem::path> out;
    for (const auto& entry : std::filesystem::directory_iterator(installed().parent_path()))
      if (entry.path() != installed()) out.push_back(entry.path());
    return out;
  }

  platform::ServiceState state(std::u16string_view name = u"LumoDriverSys") {
    platform::ServiceState s = platform::ServiceState::kStopped;
    lastQuery = services.queryState(name, s);
    return s;
  }

  // A registry value: 0xBAD (a DWORD) or empty (a string) when it is missing.
  uint32_t dword(const std::u16string& key, const char16_t* name) {
    uint32_t value = 0xBAD;
    platform::readDword(registry, key, name, value);
    return value;
  }
  std::u16string text(const std::u16string& key, const char16_t* name) {
    std::u16string value;
    platform::readString(registry, key, name, value);
    return value;
  }

  TempDir dir;
  platform::MemoryRegistry registry;
  platform::MemoryServiceManager services;
  service::DriverEnvironment environment;
  uint32_t sleptMs = 0;
  int sleeps = 0;
  uint32_t lastQuery = 0;
  std::function<void()> onSleep;
};

}  // namespace lumotest
