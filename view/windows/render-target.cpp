#include "view/windows/render-target.h"

#include <cairo.h>

#include <bit>
#include <utility>

#include "datatypes/image-record.h"
#include "platform/image-codecs.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"

namespace vum::view::render {

// Cairo's ARGB32 is a native 32-bit word; the image store's BGRA bytes are
// that word only on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

void create_devices() {}
void release_devices() {}
void toggle_gpu() {
    release_devices();
    create_devices();
}
bool resize_window_target(win::WindowId, int32_t, int32_t) { return true; }
void release_window_target(win::WindowId) {}

Target Target::of_window(win::WindowId window) {
    Target t;
    cairo_t* cr = win::paint_context();
    if (!cr || window == win::no_window || win::painting_window() != window) return t;
    // Our own reference: the window system may drop the back buffer while
    // the drawing still runs (a procedure that stops it).
    t.cr_ = cairo_reference(cr);
    cairo_save(t.cr_);
    win::Rect client = win::client_rect(window);
    t.width_ = client.width;
    t.height_ = client.height;
    return t;
}

Target Target::of_image(uint32_t image) {
    Target t;
    if (image == 0) return t;  // an image without a record: no pixels
    int32_t width = image_record::width(image), height = image_record::height(image);
    if (width <= 0 || height <= 0) return t;
    imaging::Pixels& pixels = image_record::to_drawable(image);
    if (pixels.bgra.size() != size_t(width) * size_t(height) * 4) return t;
    int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
    if (stride != width * 4) return t;  // the store has no row padding; Cairo's ARGB32 never asks for any
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(pixels.bgra.data(), CAIRO_FORMAT_ARGB32, width, height, stride);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return t;
    }
    t.image_surface_ = surface;
    t.cr_ = cairo_create(surface);
    t.image_ = image;
    t.width_ = width;
    t.height_ = height;
    return t;
}

Target::Target(Target&& other) noexcept
    : cr_(std::exchange(other.cr_, nullptr)),
      image_surface_(std::exchange(other.image_surface_, nullptr)),
      image_(std::exchange(other.image_, 0)),
      width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)) {}

Target& Target::operator=(Target&& other) noexcept {
    if (this != &other) {
        end();
        cr_ = std::exchange(other.cr_, nullptr);
        image_surface_ = std::exchange(other.image_surface_, nullptr);
        image_ = std::exchange(other.image_, 0);
        width_ = std::exchange(other.width_, 0);
        height_ = std::exchange(other.height_, 0);
    }
    return *this;
}

void Target::end() {
    if (!cr_) return;
    if (image_surface_) {
        cairo_destroy(cr_);
        cairo_surface_flush(image_surface_);
        cairo_surface_finish(image_surface_);
        cairo_surface_destroy(image_surface_);
        image_record::mark_changed(image_);
    } else {
        cairo_restore(cr_);
        cairo_destroy(cr_);
    }
    cr_ = nullptr;
    image_surface_ = nullptr;
    image_ = 0;
    width_ = height_ = 0;
}

}  // namespace vum::view::render
