#include "view/windows/view-module.h"

#include "engine/natives.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"
#include "view/windows/event.h"

namespace vum::view {

namespace {
void one_pass() {
    if (win::running()) gui::do_events(true);
}
}  // namespace

void ensure_window_system() {
    if (!win::running()) win::start();
    natives::gui_pass = one_pass;
}

void run_pending() {
    while (win::running() && gui::do_events(true)) {
    }
}

}  // namespace vum::view
