// The display driver over SDL2 (on X11): a window per top-level surface,
// input, text input, cursors, monitors, and presenting the dirty part of a
// back buffer into the window's surface.
#pragma once
#include <memory>

#include "platform/window-system/drivers/display-driver.h"

namespace vum::win {

// null when SDL's video cannot start (no display, say).
std::unique_ptr<DisplayDriver> make_sdl_driver();

// The window system's key code for an SDL key code (SDL_Keycode).
uint32_t key_from_sdl(int32_t sdl_key);

// The screen's scale from X resources text (the RESOURCE_MANAGER string):
// Xft.dpi / 96, or 1.0 when it is unset or no positive number. Xvfb and
// most X servers leave the DPI SDL would report at 96, while desktops
// state the user's choice there.
double scale_from_x_resources(const char* resources);

}  // namespace vum::win
