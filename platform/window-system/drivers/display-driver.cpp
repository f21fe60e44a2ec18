#include "platform/window-system/drivers/display-driver.h"

#include <cstdlib>
#include <cstring>

#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/drivers/driver-sdl.h"

namespace vum::win {

uint32_t MonitorIds::id_for(const std::string& key) {
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return uint32_t(i + 1);
    keys_.push_back(key);
    return uint32_t(keys_.size());
}

bool headless_wanted() {
    const char* wanted = std::getenv("VUM_DISPLAY");
    if (wanted && std::strcmp(wanted, "headless") == 0) return true;
    const char* display = std::getenv("DISPLAY");
    return !display || !*display;
}

bool color_cursor_fits(int32_t width, int32_t height, const uint32_t* pixels, Point hot_spot) {
    return pixels && width > 0 && height > 0 && width <= max_cursor_side && height <= max_cursor_side &&
           hot_spot.x >= 0 && hot_spot.y >= 0 && hot_spot.x < width && hot_spot.y < height;
}

std::unique_ptr<DisplayDriver> make_display_driver() {
    if (!headless_wanted())
        if (auto sdl = make_sdl_driver()) return sdl;
    const char* monitors = std::getenv("VUM_HEADLESS_MONITORS");
    return std::make_unique<HeadlessDriver>(monitors ? HeadlessDriver::parse_monitors(monitors)
                                                     : std::vector<Monitor>{});
}

}  // namespace vum::win
