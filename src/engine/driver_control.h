// The driver operations that the engine's lifecycle makes, behind one seam:
// production uses the driver interface library and driver management as they
// are; lifecycle tests substitute a recording double.
#pragma once

#include <cstdint>

#include "drvapi/event_handler.h"

namespace engine {

class DriverControl {
 public:
  virtual ~DriverControl() = default;
  virtual bool stopDriverService() = 0;
  virtual bool ensureDriverRunning() = 0;
  // Removes the driver service and its installed file (the real driver
  // management unless a test overrides it).
  virtual bool uninstallDriver();
  virtual void enableDebugPrivilege() = 0;
  virtual void setDriverOptions(int workerThreads, uint32_t flags) = 0;
  virtual int initDriver(const char* driverName, drvapi::DRV_EventHandler* handler) = 0;
  virtual void setIpEventHandler(drvapi::DRV_IPEventHandler* handler) = 0;
  virtual int deleteFilterRules() = 0;
  virtual void freeDriver() = 0;
};

// The real driver: drvapi and the driver service.
DriverControl& systemDriverControl();

// Observer of the lifecycle's steps: when one is installed, the engine names
// each step just before it runs it. For tests; production installs none.
class LifecycleProbe {
 public:
  virtual ~LifecycleProbe() = default;
  virtual void step(const char* name) = 0;
};

}  // namespace engine
