// The window system lives in a module of its own (libvum-windows.so, over
// Cairo, SDL2 and Xlib) that the program loads on first use, so start-up
// maps none of those libraries. The runtime reaches it through these calls;
// programs linked with the module (its tests and probes) find it at once.
#pragma once
#include "platform/window-system/clipboard.h"

namespace vum::clip {

// The clipboard the environment's routines use (system_clipboard() in the
// module); failed, or false, when the module cannot be loaded.
ReadStatus read_system_clipboard(Content& content);
bool write_system_clipboard(const Content& content);

}  // namespace vum::clip
