// The view module's hold on the window system: started on the first GUI
// word that needs it, and the loop run until nothing is pending.
#pragma once

namespace vum::view {

// Starts the window system on this thread with the driver the display
// calls for (the headless one when VUM_DISPLAY=headless or no DISPLAY),
// unless it runs already.
void ensure_window_system();

// Takes messages until none is pending, without waiting, each through the
// event filter and then dispatched: a timer not yet due stays, and a quit
// is left for the loop it ends.
void run_pending();

}  // namespace vum::view
