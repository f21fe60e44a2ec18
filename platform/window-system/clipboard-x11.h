// The clipboard as the X11 CLIPBOARD selection, through Xlib. Text goes as
// UTF8_STRING (and STRING, TEXT), files as text/uri-list, images as
// image/png. What is written is served by a thread of its own with its own
// connection, so other programs can paste it after write returns and while
// the window system is busy. Reading asks the owner on a second connection
// and waits at most a second for the answer.
#pragma once
#include <memory>

#include "platform/window-system/clipboard.h"

namespace vum::clip {

// null when the display cannot be opened.
std::unique_ptr<Clipboard> make_x11_clipboard();

}  // namespace vum::clip
