// The window system module's entries for the runtime (the module is built
// with hidden symbols but these).
#include "platform/window-system/clipboard.h"

extern "C" __attribute__((visibility("default"))) int vum_windows_read_clipboard(vum::clip::Content* content) {
    return int(vum::clip::system_clipboard().read(*content));
}

extern "C" __attribute__((visibility("default"))) bool vum_windows_write_clipboard(const vum::clip::Content* content) {
    return vum::clip::system_clipboard().write(*content);
}
