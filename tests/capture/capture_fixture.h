// What every capture test with real programs stands on: the simulated driver
// installed in the test process, the driver library on it with the test's
// handler, a capture server on a socket in a temporary runtime folder, and
// the environment that makes a launched program carry the capture library.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture_server.h"
#include "drvapi/drvapi.h"
#include "sim_driver.h"
#include "support/test_support.h"

namespace capturetest {

template <class Handler>
class CaptureServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    driver.install();
    drvapi::setDriverOptions(4, drvapi::kOptionNoServiceStart);
    ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
    drvapi::setIpEventHandler(&handler);
    server = std::make_unique<capture::CaptureServer>(driver, socketPath(), [this](const std::string& line) {
      std::lock_guard<std::mutex> guard(logLock);
      log.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
  }
  void TearDown() override {
    server->stop();
    drvapi::freeDriver();
  }

  std::string socketPath() const { return (dir.path() / "capture").string(); }

  // Rules by program name, as the engine writes them.
  void addRule(const char* program, uint32_t protocol, uint32_t flag) {
    drvapi::ProcessFilterRule rule{};
    rule.rule.protocol = protocol;
    rule.rule.filteringFlag = flag;
    for (size_t i = 0; program[i] != '\0'; ++i) rule.processName[i] = static_cast<char16_t>(program[i]);
    ASSERT_EQ(drvapi::addProcessFilterRule(&rule, false), drvapi::kOk);
  }

  std::vector<std::string> environment() const {
    return {std::string("LD_PRELOAD=") + LUMO_CAPTURE_LIBRARY, "LUMO_DRIVER_DIR=" + dir.path().string()};
  }

  std::vector<std::string> logLines() {
    std::lock_guard<std::mutex> guard(logLock);
    return log;
  }

  lumotest::TempDir dir;
  simdrv::SimDriver driver;
  Handler handler;
  std::unique_ptr<capture::CaptureServer> server;
  std::mutex logLock;
  std::vector<std::string> log;
};

}  // namespace capturetest
