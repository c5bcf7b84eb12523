// The filter-driver service: installing the driver file, registering,
// starting, stopping and removing the service, and its place in the load
// order. Called from the exported functions' thread, never concurrently.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/sysinfo.h"

namespace platform {
class Registry;
class ServiceManager;
}  // namespace platform

namespace service {

// Name of the driver service; also the device-name suffix.
inline constexpr const char* kDriverServiceName = "LumoDriverSys";

// Everything the driver management asks of the machine. The defaults are the
// real system's (version, native architecture, Windows folder, the "driver"
// folder beside the library, the system's service manager and registry, a
// real sleep); tests replace them to walk every driver-kind branch on any
// system. The pointers are not owned and must outlive their use.
struct DriverEnvironment {
  platform::OsVersion version;
  uint16_t nativeArchitecture = 0;
  // Empty: the Windows folder could not be found (installation then fails).
  std::filesystem::path windowsFolder;
  // The folder that holds the shipped driver files.
  std::filesystem::path shippedFolder;
  platform::ServiceManager* services = nullptr;
  platform::Registry* registry = nullptr;
  // Waits this many milliseconds (the stop-pending poll).
  std::function<void(uint32_t)> sleepMs;
};

// The real system's environment, built afresh on every call.
DriverEnvironment systemDriverEnvironment();
// Replaces the environment used by every operation below (tests); the
// matching reset goes back to the system's. Not thread-safe against running
// operations.
void setDriverEnvironment(const DriverEnvironment& environment);
void resetDriverEnvironment();

// Driver kinds, chosen by the platform version.
enum class DriverKind {
  kTdi,   // major version below 6
  kWfp1,  // 6.0 and 6.1
  kWfp2,  // 6.2 and later: the only kind replaced in place
};
DriverKind driverKindFor(const platform::OsVersion& version);
// The shipped file name for a version and a native architecture
// ("LumoDriverSysWfp264.sys" ...); 64-bit when the architecture is AMD64 (9)
// or IA64 (6).
const char* shippedDriverFileName(const platform::OsVersion& version, uint16_t nativeArchitecture);
// Where the driver file is installed: <windows>\system32\drivers\LumoDriverSys.sys.
std::filesystem::path installedDriverPath(const std::filesystem::path& windowsFolder);
// A file's comparable version ((major*10+minor)*10+build)*10+revision, 0
// when it has none (0 is invalid). Windows reads the version resource with
// GetFileVersionInfoW; Linux reads the same fixed version record from the
// PE file itself (platform::readPeFixedVersion). Whether a file is replaced
// is decided on the four numbers themselves, so two versions that happen to
// give the same comparable number still count as different.
uint64_t comparableVersion(const std::filesystem::path& file);

// Installs the current driver file when needed and makes sure the service
// runs: true when it runs or was started. A service left in the stop-pending
// state is waited for (every 500 ms, at most 3000 ms) after the driver
// connection has been closed, then started.
bool ensureDriverRunning();
// Removes the service and the installed driver file. False when the service
// could not be deleted, file-system redirection was refused, or the Windows
// folder is unknown; true otherwise (also when the file could not be deleted).
bool uninstallDriver();
// Sends the stop control; true when the service could be opened.
bool stopDriverService();
// Puts the shipped driver file for this platform in place. Without `force`:
// copies it when none is installed (false: the service still needs it
// registered), leaves a current one (true), and replaces a different one.
// With `force` the file is also registered as the service (true when that
// succeeded). The kinds that are not replaced in place only move the old file
// aside (to be deleted at restart): the new one is copied by the next call.
bool installDriverFile(bool force);
// Creates the kernel-driver service `name` (boot start, group "PNP_TDI", with
// a tag) from "<folder>\<name>.sys", or "system32\drivers\<name>.sys" when
// `folder` is null, starts it (unless the driver option "do not start" is
// set) and places it in the load order. 0 on success, -1 on failure; the
// thread's last system error is kept as the service calls left it.
int registerDriverService(const char* name, const char* folder);
// Takes the service out of the load order, deletes it, and undoes the IPv6
// part of the host registry preparation. 0 when it was deleted, else -1.
int removeDriverService(const char* name);
// The service's registry key can be opened for reading.
bool serviceRegistered(const char* name);
// The u32 value "Tag" of the service's key.
bool readServiceTag(const char* name, uint32_t& tag);
bool writeServiceTag(const char* name, uint32_t tag);
// Puts the service's tag into the "PNP_TDI" load-order list right after the
// network stack's (Tdx, else Tcpip) tag, giving it a new tag first when it
// has none; with `remove`, takes it out. Best effort: a failed read leaves
// everything alone.
void placeInGroupOrder(const char* name, bool remove);
// afterNdis: "Group" = "NDIS" and "DependOnService" = {"tcpip"}; else "Group"
// = "PNP_TDI". True when the last write succeeded.
bool setServiceGroup(const char* name, bool afterNdis);
// The load-order arrangements for the newer driver kind, made when the
// driver library opens the device: next to "aswstm" the service loads after
// NDIS; before platform 6.2, next to "nisdrv", "360netmon" or "symnets" a
// service without a tag is placed in the load order, and without them its
// tag becomes 0. Nothing on 6.2 and later. Best effort. The driver library's
// arrangeLoadOrder step.
void arrangeLoadOrder(const char* name);

// The host registry preparation made when the driver is opened (and, with
// setIpv6Bit false, when its service is removed): in the Tcpip6 parameters the
// DWORD "DisabledComponents" gets bit 3 set (cleared with setIpv6Bit false),
// other bits kept; in the Tcpip parameters "DisableTaskOffload" becomes 0.
// Failures are ignored.
void prepareHostRegistry(bool setIpv6Bit);

}  // namespace service
