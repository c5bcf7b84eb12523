#include "engine/driver_control.h"

#include "drvapi/drvapi.h"
#include "service/driver_service.h"

namespace engine {

bool DriverControl::uninstallDriver() { return service::uninstallDriver(); }

namespace {

class SystemDriverControl final : public DriverControl {
 public:
  bool stopDriverService() override { return service::stopDriverService(); }
  bool ensureDriverRunning() override { return service::ensureDriverRunning(); }
  void enableDebugPrivilege() override { drvapi::enableDebugPrivilege(); }
  void setDriverOptions(int workerThreads, uint32_t flags) override {
    drvapi::setDriverOptions(workerThreads, flags);
  }
  int initDriver(const char* driverName, drvapi::DRV_EventHandler* handler) override {
    return drvapi::initDriver(driverName, handler);
  }
  void setIpEventHandler(drvapi::DRV_IPEventHandler* handler) override { drvapi::setIpEventHandler(handler); }
  int deleteFilterRules() override { return drvapi::deleteFilterRules(); }
  void freeDriver() override { drvapi::freeDriver(); }
};

}  // namespace

DriverControl& systemDriverControl() {
  static SystemDriverControl control;
  return control;
}

}  // namespace engine
