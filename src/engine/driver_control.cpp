#include "engine/driver_control.h"

#include "drvapi/drvapi.h"
#include "platform/never_destroyed.h"
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
    drvapi::setServiceSteps(
        {&service::prepareHostRegistry, &service::registerDriverService, &service::arrangeLoadOrder});
    return drvapi::initDriver(driverName, handler);
  }
  void setIpEventHandler(drvapi::DRV_IPEventHandler* handler) override { drvapi::setIpEventHandler(handler); }
  int deleteFilterRules() override { return drvapi::deleteFilterRules(); }
  void freeDriver() override { drvapi::freeDriver(); }
};

}  // namespace

DriverControl& systemDriverControl() {
  // Never destroyed: an engine shut down at process exit still calls it.
  static platform::NeverDestroyed<SystemDriverControl> control;
  return control.get();
}

}  // namespace engine
