// Linux only. Where lumo-driver and the programs around it meet on Linux: one runtime
// folder holding the driver's control-device socket, the capture socket that
// launched programs report to, and the driver's process-id file.
//
// The folder is $LUMO_DRIVER_DIR when set; otherwise "lumo" under
// $XDG_RUNTIME_DIR; otherwise /run/lumo for root and /tmp/lumo-<uid> for
// everyone else. Header-only, so that the capture library (which links
// nothing of the engine) computes the same paths as the driver and the
// library.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

inline std::string runtimeDir() {
  if (const char* dir = std::getenv("LUMO_DRIVER_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/lumo";
  if (::geteuid() == 0) return "/run/lumo";
  return "/tmp/lumo-" + std::to_string(::geteuid());
}

// The socket that serves the control device "\\.\<deviceName>"
// (deviceName is "CtrlDSLumoDriverSys" for the engine's driver).
inline std::string deviceSocketPath(const std::string& deviceName) { return runtimeDir() + "/" + deviceName; }

// The socket launched programs' capture library reports to.
inline std::string captureSocketPath() { return runtimeDir() + "/capture"; }

// The running driver's process id, one decimal line.
inline std::string pidFilePath() { return runtimeDir() + "/lumo-driver.pid"; }

}  // namespace platform
