#include "platform/window-system/paint.h"

#include <cairo.h>

#include <algorithm>

#include "platform/window-system/system-state.h"
#include "platform/window-system/windows.h"

namespace vum::win {

namespace {

using detail::current_serial;
using detail::record;
using detail::WindowRecord;

detail::PaintState& state() { return detail::current()->paint; }

cairo_rectangle_int_t to_cairo(const Rect& r) { return {r.x, r.y, r.width, r.height}; }
Rect from_cairo(const cairo_rectangle_int_t& r) { return {r.x, r.y, r.width, r.height}; }

bool region_empty(const cairo_region_t* region) { return !region || cairo_region_is_empty(region); }

void drop_invalid(WindowRecord* r) {
    if (r->invalid) cairo_region_destroy(r->invalid);
    r->invalid = nullptr;
}

void clip_to(cairo_t* cr, const cairo_region_t* region) {
    for (int i = 0, n = cairo_region_num_rectangles(region); i < n; ++i) {
        cairo_rectangle_int_t r;
        cairo_region_get_rectangle(region, i, &r);
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    }
    cairo_clip(cr);
}

void fill_background(cairo_t* cr, const WindowRecord* r) {
    uint32_t colour = r->window_class->background;
    uint32_t alpha = colour >> 24;
    if (alpha == 0 || (r->style & style::transparent)) return;
    cairo_set_source_rgba(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, (colour & 0xFF) / 255.0,
                          alpha / 255.0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
}

void draw_caret(cairo_t* cr) {
    const Rect& c = state().caret.rect;
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_DIFFERENCE);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, c.x, c.y, c.width, c.height);
    cairo_fill(cr);
    cairo_restore(cr);
}

// One window's paint: the region (top-level coordinates) clipped, the
// class background filled, the procedure called with the context.
void paint_window(WindowRecord* top, WindowRecord* r, const cairo_region_t* region, Point origin) {
    cairo_t* cr = cairo_create(top->back_buffer);
    clip_to(cr, region);
    cairo_translate(cr, origin.x, origin.y);
    fill_background(cr, r);
    cairo_rectangle_int_t extents;
    cairo_region_get_extents(region, &extents);
    cairo_t* outer_context = state().context;
    Rect outer_bounds = state().bounds;
    state().context = cr;
    state().bounds = from_cairo(extents).moved(-origin.x, -origin.y);
    WindowId window = r->id;
    uint64_t serial = current_serial();
    cairo_save(cr);
    send_message(Message{.window = window, .kind = msg::paint});
    cairo_restore(cr);
    // The procedure may have stopped the system, and `top` with it; `cr`
    // holds its own reference to the back buffer.
    if (current_serial() == serial) {
        if (state().caret.window == window && state().caret.shown && is_window(window)) draw_caret(cr);
        state().context = outer_context;
        state().bounds = outer_bounds;
    }
    cairo_destroy(cr);
}

void present(WindowRecord* top, const Rect& area) {
    if (top->surface && top->back_buffer && top->visible && !area.empty()) {
        cairo_surface_flush(top->back_buffer);
        driver().present(top->surface, top->back_buffer, area);
    }
}

void invalidate_caret() {
    if (state().caret.window != no_window && state().caret.shown) invalidate(state().caret.window, &state().caret.rect);
}

}  // namespace

void invalidate(WindowId window, const Rect* rect) {
    WindowRecord* r = record(window);
    if (!r || r->being_destroyed || !is_visible(window)) return;
    Rect area = client_rect(window);
    if (rect) area = intersect(area, *rect);
    if (area.empty()) return;
    cairo_rectangle_int_t c = to_cairo(area);
    if (!r->invalid)
        r->invalid = cairo_region_create_rectangle(&c);
    else
        cairo_region_union_rectangle(r->invalid, &c);
    // What shows through a transparent window is its parent's to paint.
    if ((r->style & style::transparent) && r->parent != no_window) {
        Rect in_parent = area.moved(r->rect.x, r->rect.y);
        invalidate(r->parent, &in_parent);
    }
}

void validate(WindowId window) {
    if (WindowRecord* r = record(window)) drop_invalid(r);
}

bool has_invalid(WindowId top_level) {
    WindowRecord* top = record(top_level);
    if (!top || !top->visible) return false;
    for (WindowId w : subtree(top_level))
        if (!region_empty(record(w)->invalid)) return true;
    return false;
}

WindowId next_dirty_top_level() {
    if (!running() || state().painting) return no_window;
    for (WindowId top : top_levels())
        if (has_invalid(top)) return top;
    return no_window;
}

void repaint_top_level(WindowId top_level) {
    WindowRecord* top = record(top_level);
    if (!top || !top->back_buffer || state().painting) return;
    uint64_t serial = current_serial();
    state().painting = true;
    cairo_region_t* painted = cairo_region_create();
    for (WindowId w : subtree(top_level)) {
        WindowRecord* r = record(w);
        if (!r) continue;
        if (!is_visible(w)) {
            drop_invalid(r);
            continue;
        }
        Point origin = map_point(w, top_level, {0, 0});
        cairo_rectangle_int_t clip = to_cairo(visible_rect_in_top_level(w));
        // Its own invalid part, and whatever was painted under it in this pass.
        cairo_region_t* wanted = cairo_region_copy(painted);
        if (r->invalid) {
            cairo_region_translate(r->invalid, origin.x, origin.y);
            cairo_region_union(wanted, r->invalid);
            drop_invalid(r);
        }
        cairo_region_intersect_rectangle(wanted, &clip);
        if (!cairo_region_is_empty(wanted)) {
            paint_window(top, r, wanted, origin);
            cairo_region_union(painted, wanted);
        }
        cairo_region_destroy(wanted);
        top = record(top_level);
        if (!top) break;
    }
    if (top) {
        cairo_rectangle_int_t extents;
        cairo_region_get_extents(painted, &extents);
        present(top, from_cairo(extents));
    }
    cairo_region_destroy(painted);
    if (current_serial() == serial) state().painting = false;
}

bool update_window(WindowId window) {
    WindowId top = top_level_of(window);
    if (!running() || state().painting || !has_invalid(top)) return false;
    repaint_top_level(top);
    return true;
}

void present_again(WindowId top_level) {
    if (WindowRecord* top = record(top_level)) present(top, client_rect(top_level));
}

cairo_t* paint_context() { return running() ? state().context : nullptr; }
Rect paint_bounds() { return running() ? state().bounds : Rect{}; }

cairo_surface_t* back_buffer(WindowId top_level) {
    WindowRecord* r = record(top_level);
    return r ? r->back_buffer : nullptr;
}

void size_back_buffer(WindowId top_level) {
    WindowRecord* r = record(top_level);
    if (!r || r->parent != no_window) return;
    if (r->back_buffer) cairo_surface_destroy(r->back_buffer);
    r->back_buffer =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(r->rect.width, 1), std::max(r->rect.height, 1));
    invalidate(top_level);
}

void create_caret(WindowId window, int32_t width, int32_t height) {
    if (!running()) return;
    destroy_caret();
    if (!is_window(window)) return;
    state().caret = detail::Caret{window, {0, 0, width, height}, false};
}

void set_caret_position(Point point) {
    if (!running()) return;
    invalidate_caret();
    state().caret.rect.x = point.x;
    state().caret.rect.y = point.y;
    invalidate_caret();
}

void show_caret(bool shown) {
    if (!running() || state().caret.shown == shown) return;
    invalidate_caret();
    state().caret.shown = shown;
    invalidate_caret();
}

void destroy_caret() {
    if (!running()) return;
    invalidate_caret();
    state().caret = detail::Caret{};
}

WindowId caret_window() { return running() ? state().caret.window : no_window; }

}  // namespace vum::win
