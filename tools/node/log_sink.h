// Where the node's channels write their log lines.
#pragma once

#include <functional>
#include <string>

namespace node {

// Receives one finished log line (no line end). Called on the io_context's
// thread.
using LogSink = std::function<void(const std::string& line)>;

}  // namespace node
