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

// Sends a paint message of `kind` with the context `cr` (at the part's
// corner, clipped to what is to be painted) and the part's bounds. False
// when the procedure stopped the system or destroyed the window.
bool send_paint(WindowId window, uint32_t kind, cairo_t* cr, const Rect& bounds) {
    cairo_t* outer_context = state().context;
    Rect outer_bounds = state().bounds;
    WindowId outer_window = state().window;
    state().context = cr;
    state().bounds = bounds;
    state().window = kind == msg::paint ? window : no_window;
    uint64_t serial = current_serial();
    cairo_save(cr);
    send_message(Message{.window = window, .kind = kind});
    cairo_restore(cr);
    if (current_serial() != serial) return false;
    state().context = outer_context;
    state().bounds = outer_bounds;
    state().window = outer_window;
    return is_window(window);
}

// One window's paint onto `target`: of the region (target coordinates),
// the client part gets the class background and the procedure's paint
// message, then the non-client part is drawn in the theme and the menu
// band handed to the procedure. `origin` is the window's corner in the
// target.
void paint_window(cairo_surface_t* target, WindowRecord* r, const cairo_region_t* region, Point origin,
                  bool with_caret) {
    // `cr` holds its own reference to the target: a procedure may stop the
    // system and drop the back buffer meanwhile.
    cairo_t* cr = cairo_create(target);
    WindowId window = r->id;
    detail::Frame frame = detail::frame_of(*r);
    Rect client = frame.client.moved(origin.x, origin.y);
    cairo_rectangle_int_t client_box = to_cairo(client);
    cairo_region_t* part = cairo_region_copy(region);
    cairo_region_intersect_rectangle(part, &client_box);
    bool alive = true;
    if (!cairo_region_is_empty(part)) {
        cairo_save(cr);
        clip_to(cr, part);
        cairo_translate(cr, client.x, client.y);
        fill_background(cr, r);
        cairo_rectangle_int_t extents;
        cairo_region_get_extents(part, &extents);
        alive = send_paint(window, msg::paint, cr, from_cairo(extents).moved(-client.x, -client.y));
        if (alive && with_caret && state().caret.window == window && state().caret.shown) draw_caret(cr);
        cairo_restore(cr);
    }
    cairo_region_destroy(part);
    r = alive ? record(window) : nullptr;
    if (r && client != Rect{origin.x, origin.y, r->rect.width, r->rect.height}) {
        part = cairo_region_copy(region);
        cairo_region_subtract_rectangle(part, &client_box);
        if (!cairo_region_is_empty(part)) {
            cairo_save(cr);
            clip_to(cr, part);
            cairo_translate(cr, origin.x, origin.y);
            detail::paint_non_client(cr, *r);
            cairo_rectangle_int_t band = to_cairo(frame.band.moved(origin.x, origin.y));
            cairo_region_intersect_rectangle(part, &band);
            if (!cairo_region_is_empty(part)) {
                cairo_rectangle(cr, frame.band.x, frame.band.y, frame.band.width, frame.band.height);
                cairo_clip(cr);
                cairo_rectangle_int_t extents;
                cairo_region_get_extents(part, &extents);
                send_paint(window, msg::paint_menu_band, cr, from_cairo(extents).moved(-origin.x, -origin.y));
            }
            cairo_restore(cr);
        }
        cairo_region_destroy(part);
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
    if (!r) return;
    Rect client = detail::frame_of(*r).client;
    Rect area = client;
    if (rect) area = intersect(area, rect->moved(client.x, client.y));
    detail::invalidate_frame(window, &area);
}

namespace detail {

// The invalid region is kept in the window's own coordinates.
void invalidate_frame(WindowId window, const Rect* rect) {
    WindowRecord* r = record(window);
    if (!r || r->being_destroyed || !is_visible(window)) return;
    Rect area = {0, 0, r->rect.width, r->rect.height};
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

}  // namespace detail

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
        Point origin = detail::origin_in_surface(w);
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
            paint_window(top->back_buffer, r, wanted, origin, true);
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
    if (WindowRecord* top = record(top_level)) present(top, {0, 0, top->rect.width, top->rect.height});
}

cairo_t* paint_context() { return running() ? state().context : nullptr; }
WindowId painting_window() { return running() ? state().window : no_window; }
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
    detail::invalidate_frame(top_level);
}

namespace {

struct RenderItem {
    WindowId window;
    Point origin;
    Rect clip;
};

// The windows to render in painting order, each with its corner and the
// part of it that shows, in the target's coordinates.
void collect_render(WindowId window, Point origin, Rect clip, bool root, std::vector<RenderItem>& out) {
    WindowRecord* r = record(window);
    if (!r || (!root && !r->visible)) return;
    out.push_back({window, origin, clip});
    Rect client = detail::frame_of(*r).client.moved(origin.x, origin.y);
    Rect inside = intersect(clip, client);
    for (WindowId child : r->children) {
        WindowRecord* c = record(child);
        if (!c) continue;
        Point at{client.x + c->rect.x, client.y + c->rect.y};
        collect_render(child, at, intersect(inside, {at.x, at.y, c->rect.width, c->rect.height}), false, out);
    }
}

}  // namespace

bool render_subtree(WindowId window, cairo_surface_t* surface) {
    WindowRecord* root = record(window);
    if (!root || root->being_destroyed || !surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS)
        return false;
    std::vector<RenderItem> items;
    collect_render(window, {0, 0}, {0, 0, root->rect.width, root->rect.height}, true, items);
    uint64_t serial = current_serial();
    // No repaint of the screen starts inside this one.
    bool was_painting = state().painting;
    state().painting = true;
    for (const RenderItem& item : items) {
        WindowRecord* r = record(item.window);
        if (!r || r->being_destroyed || item.clip.empty()) continue;
        cairo_rectangle_int_t c = to_cairo(item.clip);
        cairo_region_t* region = cairo_region_create_rectangle(&c);
        paint_window(surface, r, region, item.origin, false);
        cairo_region_destroy(region);
        if (current_serial() != serial) return false;
    }
    state().painting = was_painting;
    cairo_surface_flush(surface);
    return true;
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
