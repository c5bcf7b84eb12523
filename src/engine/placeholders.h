// Stand-ins for subsystems that are not built yet. Each offers the operations
// the engine's lifecycle and configuration call, does nothing, and says so.
// A subsystem that gets built replaces its stand-in here (the class is
// deleted, not extended) and the engine calls the real one instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

}  // namespace engine
