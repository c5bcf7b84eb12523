// The library's load and unload handling, shared by the exports and the
// system-specific entry points.
#pragma once

namespace engine {
class ZuEngine;
}

namespace api {

// The engine of the process, or null.
engine::ZuEngine* currentEngine();

// Shuts the engine down with `unloadDriver`, destroys it and clears the
// pointer. Nothing happens without an engine.
void destroyEngine(bool unloadDriver);

// Called after Init created the engine and after UnInit destroyed it. On
// Windows they take and drop an extra reference on the library so that
// FreeLibrary cannot unload the code that the engine's threads run. On Linux
// the first creation registers the exit handler that shuts down an engine
// left behind at process exit, before the statics it uses are destroyed.
void onEngineCreated();
void onEngineDestroyed();

}  // namespace api
