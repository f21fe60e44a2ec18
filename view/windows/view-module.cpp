#include "view/windows/view-module.h"

#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"

namespace vum::view {

void ensure_window_system() {
    if (!win::running()) win::start();
}

void run_pending() {
    win::Message m;
    while (win::running() && win::peek(m, true)) {
        if (m.kind == win::msg::quit) {
            win::post_quit(int32_t(m.a));
            return;
        }
        win::translate(m);
        win::dispatch(m);
    }
}

}  // namespace vum::view
