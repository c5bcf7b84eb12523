// The filter driver's file and service: which file this platform needs, when
// the installed one is replaced, the kernel-driver service itself and its
// place in the "PNP_TDI" load order.
#include "service/driver_service.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drvapi/drvapi.h"
#include "platform/file_install.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/text.h"

namespace service {
namespace {

const std::u16string kServicesKey = u"SYSTEM\\CurrentControlSet\\Services\\";
const std::u16string kGroupOrderKey = u"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";
constexpr std::u16string_view kGroupOrderValue = u"PNP_TDI";
constexpr std::u16string_view kTcpip6Parameters = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters";
constexpr std::u16string_view kTcpipParameters = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

constexpr uint16_t kArchitectureIa64 = 6;
constexpr uint16_t kArchitectureAmd64 = 9;

std::mutex environmentLock;
std::optional<DriverEnvironment> injectedEnvironment;

DriverEnvironment environment() {
  std::lock_guard<std::mutex> guard(environmentLock);
  return injectedEnvironment ? *injectedEnvironment : systemDriverEnvironment();
}

std::u16string wideName(const char* name) { return platform::ansiToUtf16(name != nullptr ? name : ""); }
std::u16string serviceKey(const char* name) { return kServicesKey + wideName(name); }
std::u16string driverServiceName() { return wideName(kDriverServiceName); }

// A random suffix of letters a to x, at least three long: after the third,
// each further letter is added while a draw comes out even.
std::string randomSuffix() {
  static std::mutex lock;
  static std::mt19937 random(
      static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> guard(lock);
  std::uniform_int_distribution<int> letter(0, 23);
  std::string suffix;
  do {
    suffix.push_back(static_cast<char>('a' + letter(random)));
  } while (suffix.size() < 3 || random() % 2 == 0);
  return suffix;
}

// A name beside `file` that does not exist yet; up to 10 draws.
std::optional<std::filesystem::path> temporaryName(const std::filesystem::path& file) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::filesystem::path candidate = file;
    candidate += randomSuffix();
    std::error_code ec;
    if (!std::filesystem::exists(candidate, ec) && !ec) return candidate;
  }
  return std::nullopt;
}

bool readVersion(const std::filesystem::path& file, platform::FileVersion& version) {
  return platform::readFileVersion(file, version) &&
         (version.major | version.minor | version.build | version.revision) != 0;
}

// The installed file needs replacing when both versions can be read and
// differ, or else when both sizes can be had and differ.
bool installedDiffers(const std::filesystem::path& shipped, const std::filesystem::path& installed) {
  platform::FileVersion a, b;
  if (readVersion(shipped, a) && readVersion(installed, b))
    if (a.major != b.major || a.minor != b.minor || a.build != b.build || a.revision != b.revision)
      return true;
  uint64_t sizeA = 0, sizeB = 0;
  return platform::fileSize(shipped, sizeA) && platform::fileSize(installed, sizeB) && sizeA != sizeB;
}

// Registers the freshly installed file as the service and prepares the host
// registry as opening the driver would.
bool registerInstalledDriver() {
  int status = registerDriverService(kDriverServiceName, nullptr);
  prepareHostRegistry((drvapi::driverOptions() & drvapi::kOptionKeepIpv6Registry) == 0);
  return status == 0;
}

// The "PNP_TDI" list: a u32 count, then the tags: every whole tag the data
// holds. False, as for a list that cannot be read, when the count word says
// fewer tags than the data holds.
bool readGroupList(platform::Registry& registry, std::vector<uint32_t>& tags) {
  std::vector<uint8_t> raw;
  if (!platform::readBinary(registry, kGroupOrderKey, kGroupOrderValue, raw)) return false;
  tags.clear();
  if (raw.size() < 4) return true;
  auto word = [&raw](size_t at) {
    return static_cast<uint32_t>(raw[at]) | static_cast<uint32_t>(raw[at + 1]) << 8 |
           static_cast<uint32_t>(raw[at + 2]) << 16 | static_cast<uint32_t>(raw[at + 3]) << 24;
  };
  const size_t present = (raw.size() - 4) / 4;
  // More tags than the count word admits: the list is not one this step
  // understands, and rewriting it would drop the other drivers' tags past
  // the count. A count beyond the data loses nothing and is taken as far as
  // the data goes.
  if (word(0) < present) return false;
  for (size_t i = 0; i < present; ++i) tags.push_back(word(4 + 4 * i));
  return true;
}

// The count word is (byte length / 4) - 1: the number of tags that follow.
void writeGroupList(platform::Registry& registry, const std::vector<uint32_t>& tags) {
  std::vector<uint8_t> raw;
  auto put = [&raw](uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) raw.push_back(static_cast<uint8_t>(v >> shift));
  };
  put(static_cast<uint32_t>(tags.size()));
  for (uint32_t tag : tags) put(tag);
  platform::writeBinary(registry, kGroupOrderKey, kGroupOrderValue, raw);
}

std::optional<size_t> positionOf(const std::vector<uint32_t>& tags, uint32_t tag) {
  auto it = std::find(tags.begin(), tags.end(), tag);
  if (it == tags.end()) return std::nullopt;
  return static_cast<size_t>(it - tags.begin());
}

}  // namespace

DriverEnvironment systemDriverEnvironment() {
  DriverEnvironment e;
  e.version = platform::osVersion();
  e.nativeArchitecture = platform::nativeArchitecture();
  if (!platform::windowsFolder(e.windowsFolder)) e.windowsFolder.clear();
  e.shippedFolder = platform::libraryFolder() / "driver";
  e.services = &platform::systemServiceManager();
  e.registry = &platform::systemRegistry();
  e.sleepMs = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return e;
}

void setDriverEnvironment(const DriverEnvironment& e) {
  std::lock_guard<std::mutex> guard(environmentLock);
  injectedEnvironment = e;
}

void resetDriverEnvironment() {
  std::lock_guard<std::mutex> guard(environmentLock);
  injectedEnvironment.reset();
}

DriverKind driverKindFor(const platform::OsVersion& version) {
  if (version.major < 6) return DriverKind::kTdi;
  if (version.major == 6 && version.minor < 2) return DriverKind::kWfp1;
  return DriverKind::kWfp2;
}

const char* shippedDriverFileName(const platform::OsVersion& version, uint16_t nativeArchitecture) {
  bool wide = nativeArchitecture == kArchitectureAmd64 || nativeArchitecture == kArchitectureIa64;
  switch (driverKindFor(version)) {
    case DriverKind::kTdi:
      return wide ? "LumoDriverSysTdi64.sys" : "LumoDriverSysTdi32.sys";
    case DriverKind::kWfp1:
      return wide ? "LumoDriverSysWfp164.sys" : "LumoDriverSysWfp132.sys";
    case DriverKind::kWfp2:
      break;
  }
  return wide ? "LumoDriverSysWfp264.sys" : "LumoDriverSysWfp232.sys";
}

std::filesystem::path installedDriverPath(const std::filesystem::path& windowsFolder) {
  return windowsFolder / "system32" / "drivers" / (std::string(kDriverServiceName) + ".sys");
}

uint64_t comparableVersion(const std::filesystem::path& file) {
  platform::FileVersion v;
  if (!platform::readFileVersion(file, v)) return 0;
  return ((uint64_t{v.major} * 10 + v.minor) * 10 + v.build) * 10 + v.revision;
}

bool installDriverFile(bool force) {
  DriverEnvironment e = environment();
  // A 32-bit program on a 64-bit system must see the real system32.
  platform::FileSystemRedirectionOff redirection;
  if (e.windowsFolder.empty()) return false;
  const std::filesystem::path shipped =
      e.shippedFolder / shippedDriverFileName(e.version, e.nativeArchitecture);
  const std::filesystem::path installed = installedDriverPath(e.windowsFolder);
  if (!platform::regularFileExists(shipped)) return false;

  const bool exists = platform::regularFileExists(installed);
  if (!force && !exists) {
    // The file is in place but not yet registered: the caller goes on to
    // register it when it finds no service.
    platform::copyFile(shipped, installed, false);
    return false;
  }
  const bool differs = exists && installedDiffers(shipped, installed);
  if (!differs) {
    if (!force) return true;
    // Registering: a current file stays, a missing one is copied first.
    if (!exists && !platform::copyFile(shipped, installed, true)) return false;
    return registerInstalledDriver();
  }

  if (driverKindFor(e.version) != DriverKind::kWfp2) {
    // These kinds cannot be unloaded safely while the system runs: the old
    // file is moved aside and deleted at the next restart, and the next call
    // copies the new one into the free place.
    std::optional<std::filesystem::path> aside = temporaryName(installed);
    if (aside && platform::moveFile(installed, *aside))
      platform::deleteFileAtRestart(*aside);
    else
      platform::deleteFileAtRestart(installed);
    return true;
  }

  // The newer kind unloads: close the connection, stop and delete the
  // service, move the loaded image aside and put the new file in its place.
  drvapi::freeDriver();
  stopDriverService();
  removeDriverService(kDriverServiceName);
  std::optional<std::filesystem::path> aside = temporaryName(installed);
  if (!aside || !platform::moveFile(installed, *aside)) return false;
  platform::deleteFileAtRestart(*aside);
  if (!platform::copyFile(shipped, installed, true)) return false;
  if (!force) return true;
  return registerInstalledDriver();
}

bool ensureDriverRunning() {
  installDriverFile(false);
  DriverEnvironment e = environment();
  platform::ServiceManager& services = *e.services;
  const std::u16string name = driverServiceName();
  if (services.connect() != 0) return false;

  platform::ServiceState state = platform::ServiceState::kStopped;
  uint32_t error = services.queryState(name, state);
  if (error == platform::kErrorServiceDoesNotExist) {
    if (!installDriverFile(true)) return false;
    error = services.queryState(name, state);
  }
  if (error != 0) return false;
  if (state == platform::ServiceState::kRunning) return true;

  if (state == platform::ServiceState::kStopPending) {
    // The driver cannot unload while this process holds its device open.
    drvapi::freeDriver();
    for (uint32_t waited = 0; waited < 3000; waited += 500) {
      e.sleepMs(500);
      if (services.queryState(name, state) != 0 || state == platform::ServiceState::kStopped) break;
    }
  }
  // A service that came up by itself meanwhile runs, which is what was asked.
  error = services.start(name);
  return error == 0 || error == platform::kErrorServiceAlreadyRunning;
}

bool uninstallDriver() {
  if (removeDriverService(kDriverServiceName) != 0) return false;
  DriverEnvironment e = environment();
  platform::FileSystemRedirectionOff redirection;
  if (redirection.failed() || e.windowsFolder.empty()) return false;
  platform::deleteFile(installedDriverPath(e.windowsFolder));
  return true;
}

bool stopDriverService() { return environment().services->stop(driverServiceName()) == 0; }

int registerDriverService(const char* name, const char* folder) {
  if (name == nullptr || name[0] == '\0') return -1;
  DriverEnvironment e = environment();
  platform::ServiceManager& services = *e.services;
  platform::ServiceDefinition definition;
  definition.name = wideName(name);
  definition.displayName = definition.name;
  definition.binaryPath = folder != nullptr ? wideName(folder) + u"\\" + definition.name + u".sys"
                                            : u"system32\\drivers\\" + definition.name + u".sys";
  definition.loadOrderGroup = u"PNP_TDI";
  definition.type = platform::kServiceKernelDriver;
  definition.startType = platform::kServiceBootStart;
  definition.errorControl = platform::kServiceErrorNormal;
  definition.wantTag = true;

  uint32_t error = services.create(definition);
  bool ok = false;
  if ((drvapi::driverOptions() & drvapi::kOptionDoNotStartService) != 0) {
    ok = error == 0 || error == platform::kErrorServiceExists;
  } else if (error == 0) {
    error = services.start(definition.name);
    ok = error == 0;
  } else if (error == platform::kErrorServiceExists) {
    platform::ServiceState state = platform::ServiceState::kStopped;
    error = services.queryState(definition.name, state);
    if (error == 0 && state != platform::ServiceState::kRunning) error = services.start(definition.name);
    ok = error == 0;
  }
  placeInGroupOrder(name, false);
  platform::setLastSystemError(error);
  return ok ? 0 : -1;
}

int removeDriverService(const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  placeInGroupOrder(name, true);
  platform::ServiceManager& services = *environment().services;
  uint32_t error = services.connect();
  if (error == 0) error = services.remove(wideName(name));
  prepareHostRegistry(false);
  platform::setLastSystemError(error);
  return error == 0 ? 0 : -1;
}

bool serviceRegistered(const char* name) {
  return name != nullptr && name[0] != '\0' && environment().registry->keyExists(serviceKey(name));
}

bool readServiceTag(const char* name, uint32_t& tag) {
  if (name == nullptr || name[0] == '\0') return false;
  return platform::readDword(*environment().registry, serviceKey(name), u"Tag", tag);
}

bool writeServiceTag(const char* name, uint32_t tag) {
  if (name == nullptr || name[0] == '\0') return false;
  return platform::writeDword(*environment().registry, serviceKey(name), u"Tag", tag);
}

void placeInGroupOrder(const char* name, bool remove) {
  platform::Registry& registry = *environment().registry;
  uint32_t tag = 0;
  std::vector<uint32_t> tags;
  if (!readServiceTag(name, tag) || !readGroupList(registry, tags)) return;

  if (remove) {
    if (tag == 0) return;
    auto at = positionOf(tags, tag);
    if (!at) return;
    tags.erase(tags.begin() + static_cast<std::ptrdiff_t>(*at));
    writeGroupList(registry, tags);
    return;
  }

  if (tag == 0) {
    tag = tags.empty() ? 1 : *std::max_element(tags.begin(), tags.end()) + 1;
    writeServiceTag(name, tag);
  }
  std::optional<size_t> own = positionOf(tags, tag);
  uint32_t stackTag = 0;
  if (!readServiceTag("Tdx", stackTag)) readServiceTag("Tcpip", stackTag);
  std::optional<size_t> stack = stackTag != 0 ? positionOf(tags, stackTag) : std::nullopt;

  if (!own) {
    // A new entry loads right after the network stack, or last.
    tags.insert(stack ? tags.begin() + static_cast<std::ptrdiff_t>(*stack + 1) : tags.end(), tag);
    writeGroupList(registry, tags);
    return;
  }
  if (!stack) {
    writeGroupList(registry, tags);
    return;
  }
  if (*stack + 1 < *own) {
    // The tags in between move down by one.
    tags.erase(tags.begin() + static_cast<std::ptrdiff_t>(*own));
    tags.insert(tags.begin() + static_cast<std::ptrdiff_t>(*stack + 1), tag);
    writeGroupList(registry, tags);
  }
  // Right after the network stack already, or loading before it: left alone.
}

void arrangeLoadOrder(const char* name) {
  if (serviceRegistered("aswstm")) {
    setServiceGroup(name, true);
    return;
  }
  const platform::OsVersion version = environment().version;
  if (version.major > 6 || (version.major == 6 && version.minor >= 2)) return;
  if (serviceRegistered("nisdrv") || serviceRegistered("360netmon") || serviceRegistered("symnets")) {
    uint32_t tag = 1;
    if (readServiceTag(name, tag) && tag == 0) placeInGroupOrder(name, false);
  } else {
    writeServiceTag(name, 0);
  }
}

bool setServiceGroup(const char* name, bool afterNdis) {
  if (name == nullptr || name[0] == '\0') return false;
  platform::Registry& registry = *environment().registry;
  const std::u16string key = serviceKey(name);
  if (!afterNdis) return platform::writeString(registry, key, u"Group", u"PNP_TDI");
  platform::writeString(registry, key, u"Group", u"NDIS");
  return platform::writeMultiString(registry, key, u"DependOnService", {u"tcpip"});
}

void prepareHostRegistry(bool setIpv6Bit) {
  platform::Registry& registry = *environment().registry;
  // Bit 3 of DisabledComponents (0x8) switches the Teredo tunnel interface
  // off; the other bits belong to the user and are kept.
  uint32_t components = 0;
  if (!platform::readDword(registry, kTcpip6Parameters, u"DisabledComponents", components)) components = 0;
  components = setIpv6Bit ? (components | 0x8u) : (components & ~0x8u);
  platform::writeDword(registry, kTcpip6Parameters, u"DisabledComponents", components);
  platform::writeDword(registry, kTcpipParameters, u"DisableTaskOffload", 0);
}

}  // namespace service
