// Where drawing lands. There is no graphics device to make, lose or
// switch: Cairo draws in memory, so those calls are here for the drawing
// code to make and do nothing, and every window stays drawable whatever
// they are asked.
//
// A window's target is the paint context its top-level's back buffer gives
// while the window's own paint message runs: already at the window's
// client corner and clipped to what is to be painted, so nothing drawn
// through it reaches a neighbour. Outside that message a window has no
// target and drawing draws nothing. An image's target is a Cairo surface
// over its premultiplied pixels; ending it marks the image changed, so
// the next pixel read sees what was drawn.
#pragma once
#include <cstdint>

#include "platform/window-system/window-messages.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace vum::view::render {

// The device calls: nothing to do.
void create_devices();
void release_devices();
// The GPU switch flipped: the devices made again, which is nothing here.
void toggle_gpu();
// A window's target kept between paints: none is kept, as the back buffer
// follows the window's size, so these have nothing to resize or free.
bool resize_window_target(win::WindowId window, int32_t width, int32_t height);
void release_window_target(win::WindowId window);

class Target {
public:
    // Empty unless `window`'s paint message is running.
    static Target of_window(win::WindowId window);
    // `image` is an image record's node; the image must stay reachable
    // (held in a gc::Local or a protected cell) until the target ends, as
    // the surface points into its pixels. Empty for an image of no pixels
    // (node 0: an image without a record).
    static Target of_image(uint32_t image);

    Target() = default;
    Target(Target&& other) noexcept;
    Target& operator=(Target&& other) noexcept;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target() { end(); }

    // Null for an empty target.
    cairo_t* context() const { return cr_; }
    explicit operator bool() const { return cr_ != nullptr; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    // Ends the drawing: a window's context is handed back as it was given,
    // an image's pixels are written through and the image marked changed.
    // The target is empty afterwards; ending an empty one does nothing.
    void end();

private:
    cairo_t* cr_ = nullptr;
    cairo_surface_t* image_surface_ = nullptr;
    uint32_t image_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
};

}  // namespace vum::view::render
