// Diagnostic text for a debugger.
#pragma once

namespace platform {

// Hands one line to the debugger output (OutputDebugStringA on Windows). On
// Linux the line goes to standard error, but only when the environment variable
// LUMO_DEBUG is set: the engine keeps no log of its own. Any thread.
void debugOutput(const char* text);

}  // namespace platform
