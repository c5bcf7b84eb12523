// The log lines of the long-running tools (lumo-node, lumo-driver): one line
// on standard error, "2026-12-06T13:20:01.123Z PROGRAM: text", in UTC so that
// the logs of several machines and programs line up. Header-only: the node
// links nothing of the engine.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace tools {

// The current time as "2026-12-06T13:20:01.123Z".
inline std::string utcNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto day = floor<days>(now);
  year_month_day date(day);
  hh_mm_ss time(floor<milliseconds>(now - day));
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

// Writes one line for `program`; lines of several threads never mix.
inline void logLine(const char* program, const std::string& line) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  std::fprintf(stderr, "%s %s: %s\n", utcNow().c_str(), program, line.c_str());
  std::fflush(stderr);
}

}  // namespace tools
