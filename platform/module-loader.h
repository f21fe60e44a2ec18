// Our own shared libraries beside the program: the parts of the platform
// layer that pull in large libraries (the image codecs, the window system)
// live in modules loaded on first use, so start-up maps none of them.
#pragma once
#include <string>

namespace vum::platform {

// The address of `symbol` in the module `library` (a file name such as
// "libvum-image-codecs.so"): found in the process when the program was
// linked with the module, else loaded from the program's own directory (or
// its parent, for the test tools) on first use. Null when neither works,
// with the loader's reason in *why.
void* module_symbol(const char* library, const char* symbol, std::string* why = nullptr);

}  // namespace vum::platform
