// The library's own file.
#pragma once

#include <filesystem>

namespace platform {

// Remembers the module handle of the library (Windows: the HINSTANCE given to
// DllMain at process attach). Linux needs none: the folder is found from the
// address of the library's own code.
void setLibraryModule(void* module);

// The folder of the file that holds this code (lumo.dll, liblumo.so, or the
// test program when the engine is linked statically). Empty on failure.
std::filesystem::path libraryFolder();

}  // namespace platform
