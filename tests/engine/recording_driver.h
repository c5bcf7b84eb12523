// A driver seam that succeeds (or fails where told) and records, in one list,
// the lifecycle steps the engine names and the driver calls it makes.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "engine/driver_control.h"

class RecordingDriver : public engine::DriverControl, public engine::LifecycleProbe {
 public:
  void step(const char* name) override {
    steps.push_back(name);
    if (throwAtStep == name) throw std::bad_alloc();
  }
  bool stopDriverService() override { return call("drv:stopService"), true; }
  bool ensureDriverRunning() override {
    call("drv:ensureRunning");
    return ensureFailures-- <= 0;
  }
  void enableDebugPrivilege() override { call("drv:debugPrivilege"); }
  void setDriverOptions(int, uint32_t) override { call("drv:options"); }
  int initDriver(const char*, drvapi::DRV_EventHandler* h) override {
    call("drv:init");
    handler = h;
    return initResult;
  }
  void setIpEventHandler(drvapi::DRV_IPEventHandler* h) override {
    call("drv:ipHandler");
    ipHandler = h;
  }
  int deleteFilterRules() override { return call("drv:deleteRules"), 0; }
  void freeDriver() override { call("drv:free"); }

  int count(const std::string& name) const {
    int n = 0;
    for (const auto& s : steps) n += s == name;
    return n;
  }
  bool has(const std::string& name) const { return count(name) > 0; }
  // The calls into the driver, in order (the steps are the engine's own labels).
  std::vector<std::string> driverCalls() const {
    std::vector<std::string> calls;
    for (const auto& s : steps)
      if (s.rfind("drv:", 0) == 0) calls.push_back(s);
    return calls;
  }

  std::vector<std::string> steps;
  std::string throwAtStep;  // a lifecycle step that throws as memory running out would
  int ensureFailures = 0;
  int initResult = 0;
  drvapi::DRV_EventHandler* handler = nullptr;
  drvapi::DRV_IPEventHandler* ipHandler = nullptr;

 private:
  void call(const char* name) { steps.push_back(name); }
};
