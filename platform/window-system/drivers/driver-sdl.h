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

}  // namespace vum::win
