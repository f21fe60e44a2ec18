// The non-client area: where a window's scroll bars, the corner between
// them and a top-level's menu band lie, how the bars are drawn in the
// window system's one theme, and what presses and drags on them send.
#include <cairo.h>

#include <algorithm>

#include "platform/window-system/input-routing.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/system-state.h"
#include "platform/window-system/windows.h"

namespace vum::win::detail {

namespace {

// The theme's colours, 0xRRGGBB.
namespace theme {
constexpr uint32_t face = 0xF0F0F0;      // the band and the corner
constexpr uint32_t trough = 0xE6E6E6;
constexpr uint32_t button = 0xD4D4D4;    // the arrows' boxes
constexpr uint32_t glyph = 0x505050;
constexpr uint32_t glyph_idle = 0xA8A8A8;  // nothing to scroll
constexpr uint32_t thumb = 0xB4B4B4;
constexpr uint32_t thumb_held = 0x8C8C8C;
}  // namespace theme

// A bar's parts in window coordinates, and the thumb's run along it.
struct Bar {
    Rect whole, less, more, trough, thumb;
    int32_t run = 0;     // the trough's length less the thumb's: how far the thumb travels
    int32_t steps = 0;   // the positions the thumb may take, less one
    bool scrollable = false;
};

int32_t along(Point p, bool vertical) { return vertical ? p.y : p.x; }
int32_t start_of(const Rect& r, bool vertical) { return vertical ? r.y : r.x; }
int32_t length_of(const Rect& r, bool vertical) { return vertical ? r.height : r.width; }

// A part of the bar from `from` along it, `length` long, the bar's width across.
Rect span(const Rect& whole, bool vertical, int32_t from, int32_t length) {
    return vertical ? Rect{whole.x, from, whole.width, length} : Rect{from, whole.y, length, whole.height};
}

// The position the thumb is drawn at: where a drag holds it, else the bar's.
int32_t shown_position(const WindowRecord& r, bool vertical) {
    const ScrollDrag& drag = current()->input.scroll_drag;
    if (drag.window == r.id && drag.vertical == vertical && drag.thumb) return drag.track;
    return r.scroll[vertical].position;
}

Bar bar_of(const WindowRecord& r, bool vertical, int32_t position) {
    Bar b;
    Frame frame = frame_of(r);
    b.whole = vertical ? frame.vertical : frame.horizontal;
    if (b.whole.empty()) return b;
    int32_t length = length_of(b.whole, vertical), thickness = vertical ? b.whole.width : b.whole.height;
    int32_t arrow = std::min(thickness, length / 2);
    int32_t begin = start_of(b.whole, vertical);
    b.less = span(b.whole, vertical, begin, arrow);
    b.more = span(b.whole, vertical, begin + length - arrow, arrow);
    int32_t trough_length = length - 2 * arrow;
    b.trough = span(b.whole, vertical, begin + arrow, trough_length);
    const ScrollState& s = r.scroll[vertical];
    b.steps = s.max - std::max(s.page - 1, 0) - s.min;
    b.scrollable = b.steps > 0;
    if (!b.scrollable) return b;
    int64_t range = int64_t(s.max) - s.min + 1;
    int32_t thumb = s.page > 0 ? int32_t(int64_t(trough_length) * s.page / range) : thickness;
    thumb = std::max(thumb, thickness / 2);
    if (thumb > trough_length || thumb <= 0) return b;
    b.run = trough_length - thumb;
    int64_t offset = int64_t(std::clamp(position, s.min, s.min + b.steps) - s.min);
    int32_t at = int32_t((offset * b.run + b.steps / 2) / b.steps);
    b.thumb = span(b.whole, vertical, begin + arrow + at, thumb);
    return b;
}

void fill(cairo_t* cr, const Rect& r, uint32_t colour) {
    if (r.empty()) return;
    cairo_set_source_rgb(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, (colour & 0xFF) / 255.0);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_fill(cr);
}

// A triangle in the box pointing away from the bar's middle.
void arrow_glyph(cairo_t* cr, const Rect& box, bool vertical, bool towards_end, uint32_t colour) {
    if (box.empty()) return;
    double cx = box.x + box.width / 2.0, cy = box.y + box.height / 2.0;
    double half = std::min(box.width, box.height) * 0.25, depth = half * 0.6;
    double sign = towards_end ? 1 : -1;
    if (vertical) {
        cairo_move_to(cr, cx, cy + sign * depth);
        cairo_line_to(cr, cx - half, cy - sign * depth);
        cairo_line_to(cr, cx + half, cy - sign * depth);
    } else {
        cairo_move_to(cr, cx + sign * depth, cy);
        cairo_line_to(cr, cx - sign * depth, cy - half);
        cairo_line_to(cr, cx - sign * depth, cy + half);
    }
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, (colour & 0xFF) / 255.0);
    cairo_fill(cr);
}

void paint_bar(cairo_t* cr, const WindowRecord& r, bool vertical) {
    Bar b = bar_of(r, vertical, shown_position(r, vertical));
    if (b.whole.empty()) return;
    fill(cr, b.whole, theme::trough);
    // A hair between the boxes and the trough keeps the arrows apart.
    Rect less = b.less, more = b.more;
    if (vertical) {
        less.height -= 1;
        more.y += 1, more.height -= 1;
    } else {
        less.width -= 1;
        more.x += 1, more.width -= 1;
    }
    fill(cr, less, theme::button);
    fill(cr, more, theme::button);
    uint32_t glyph = b.scrollable ? theme::glyph : theme::glyph_idle;
    arrow_glyph(cr, b.less, vertical, false, glyph);
    arrow_glyph(cr, b.more, vertical, true, glyph);
    const ScrollDrag& drag = current()->input.scroll_drag;
    bool held = drag.window == r.id && drag.vertical == vertical && drag.thumb;
    fill(cr, b.thumb, held ? theme::thumb_held : theme::thumb);
}

void redraw_bar(WindowId window, bool vertical) {
    if (WindowRecord* r = record(window)) {
        Frame frame = frame_of(*r);
        invalidate_frame(window, vertical ? &frame.vertical : &frame.horizontal);
    }
}

Message scroll_message(WindowId window, bool vertical, uint64_t code, int32_t position, uint64_t time) {
    return Message{.window = window,
                   .kind = msg::scroll,
                   .a = code | (vertical ? uint64_t(scroll::vertical) : 0),
                   .b = position,
                   .time = time};
}

}  // namespace

Frame frame_of(const WindowRecord& r) {
    Frame f;
    int32_t width = std::max(r.rect.width, 0), height = std::max(r.rect.height, 0);
    int32_t band = r.parent == no_window ? std::min(r.menu_band, height) : 0;
    int32_t thickness = scroll_bar_size();
    int32_t across_v = (r.style & style::vertical_scroll) ? std::min(thickness, width) : 0;
    int32_t across_h = (r.style & style::horizontal_scroll) ? std::min(thickness, height - band) : 0;
    f.band = {0, 0, width, band};
    f.client = {0, band, width - across_v, height - band - across_h};
    if (across_v) f.vertical = {f.client.right(), band, across_v, f.client.height};
    if (across_h) f.horizontal = {0, f.client.bottom(), f.client.width, across_h};
    if (across_v && across_h) f.corner = {f.client.right(), f.client.bottom(), across_v, across_h};
    return f;
}

Rect thumb_of(const WindowRecord& r, bool vertical) { return bar_of(r, vertical, shown_position(r, vertical)).thumb; }

void paint_non_client(cairo_t* cr, const WindowRecord& r) {
    Frame f = frame_of(r);
    cairo_save(cr);
    fill(cr, f.band, theme::face);
    fill(cr, f.corner, theme::face);
    paint_bar(cr, r, true);
    paint_bar(cr, r, false);
    cairo_restore(cr);
}

bool on_window_system_part(const WindowRecord& r, Point p) {
    Frame f = frame_of(r);
    return f.vertical.contains(p) || f.horizontal.contains(p) || f.corner.contains(p);
}

void press_non_client(const RawEvent& e, WindowId window, Point p, std::deque<Message>& out) {
    WindowRecord* r = record(window);
    if (!r || e.kind != RawEvent::Kind::button_down || e.button != button::left) return;
    Frame f = frame_of(*r);
    bool vertical = f.vertical.contains(p);
    if (!vertical && !f.horizontal.contains(p)) return;  // the corner
    Bar b = bar_of(*r, vertical, r->scroll[vertical].position);
    // A bar with nothing to scroll takes no press.
    if (!b.scrollable) return;
    ScrollDrag& drag = current()->input.scroll_drag;
    int32_t position = r->scroll[vertical].position;
    uint64_t code;
    if (b.less.contains(p)) {
        code = scroll::line_up;
    } else if (b.more.contains(p)) {
        code = scroll::line_down;
    } else if (b.thumb.contains(p)) {
        drag = ScrollDrag{window, vertical, true, along(p, vertical) - start_of(b.thumb, vertical), position};
        redraw_bar(window, vertical);
        return;
    } else {
        int32_t middle = b.thumb.empty() ? start_of(b.trough, vertical) + length_of(b.trough, vertical) / 2
                                         : start_of(b.thumb, vertical);
        code = along(p, vertical) < middle ? scroll::page_up : scroll::page_down;
    }
    drag = ScrollDrag{window, vertical, false, 0, position};
    out.push_back(scroll_message(window, vertical, code, position, e.time));
}

bool scroll_drag_active() { return current()->input.scroll_drag.window != no_window; }

WindowId scroll_drag_window() { return current()->input.scroll_drag.window; }

void route_scroll_drag(const RawEvent& e, Point p, std::deque<Message>& out) {
    ScrollDrag& drag = current()->input.scroll_drag;
    WindowRecord* r = record(drag.window);
    if (!r) {
        drag = {};
        return;
    }
    WindowId window = drag.window;
    bool vertical = drag.vertical;
    if (e.kind == RawEvent::Kind::mouse_move && drag.thumb) {
        Bar b = bar_of(*r, vertical, drag.track);
        if (b.run <= 0) return;
        const ScrollState& s = r->scroll[vertical];
        int32_t offset = std::clamp(along(p, vertical) - drag.grab - start_of(b.trough, vertical), 0, b.run);
        int32_t track = s.min + int32_t((int64_t(offset) * b.steps + b.run / 2) / b.run);
        if (track == drag.track) return;
        drag.track = track;
        out.push_back(scroll_message(window, vertical, scroll::track, track, e.time));
        redraw_bar(window, vertical);
    } else if (e.kind == RawEvent::Kind::button_up && e.button == button::left) {
        bool thumb = drag.thumb;
        int32_t track = drag.track;
        drag = {};
        if (thumb) {
            out.push_back(scroll_message(window, vertical, scroll::position, track, e.time));
            redraw_bar(window, vertical);
        }
        out.push_back(scroll_message(window, vertical, scroll::end, thumb ? track : r->scroll[vertical].position,
                                     e.time));
    }
}

}  // namespace vum::win::detail
