// The filter-driver service: installing the driver file, registering,
// starting, stopping and removing the service, and its place in the load
// order. Called from the exported functions' thread, never concurrently.
#pragma once

#include <cstdint>

namespace service {

// Name of the driver service; also the device-name suffix.
inline constexpr const char* kDriverServiceName = "LumoDriverSys";

// Puts the current driver file in place and makes sure the service runs.
bool ensureDriverRunning();
// Removes the service and the installed driver file.
bool uninstallDriver();
// Sends the stop control; true when the service could be opened.
bool stopDriverService();
bool installDriverFile(bool force);
// 0 on success, -1 on failure. `folder` may be null (system drivers folder).
int registerDriverService(const char* name, const char* folder);
int removeDriverService(const char* name);
bool serviceRegistered(const char* name);
bool readServiceTag(const char* name, uint32_t& tag);
bool writeServiceTag(const char* name, uint32_t tag);
void placeInGroupOrder(const char* name, bool remove);
bool setServiceGroup(const char* name, bool afterNdis);

// The host registry preparation made when the driver is opened (and, with
// setIpv6Bit false, when its service is removed): in the Tcpip6 parameters the
// DWORD "DisabledComponents" gets bit 3 set (cleared with setIpv6Bit false),
// other bits kept; in the Tcpip parameters "DisableTaskOffload" becomes 0.
// Failures are ignored.
void prepareHostRegistry(bool setIpv6Bit);

}  // namespace service
