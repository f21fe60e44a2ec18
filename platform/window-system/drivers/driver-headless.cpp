#include "platform/window-system/drivers/driver-headless.h"

#include <cstdio>

#include "platform/window-system/window-messages.h"

namespace vum::win {

HeadlessDriver::HeadlessDriver(std::vector<Monitor> monitors) : monitors_(std::move(monitors)) { number_monitors(); }

// A headless monitor is known by its place: two cannot share an origin.
void HeadlessDriver::number_monitors() {
    if (monitors_.empty()) monitors_.push_back(Monitor{{0, 0, 1920, 1080}, 1.0});
    for (Monitor& m : monitors_) m.id = monitor_ids_.id_for(std::to_string(m.area.x) + "," + std::to_string(m.area.y));
}

void HeadlessDriver::set_monitors(std::vector<Monitor> monitors) {
    monitors_ = std::move(monitors);
    number_monitors();
    inject(RawEvent{.kind = RawEvent::Kind::display_changed});
}

std::vector<Monitor> HeadlessDriver::parse_monitors(const std::string& description) {
    std::vector<Monitor> out;
    size_t start = 0;
    while (start <= description.size()) {
        size_t comma = description.find(',', start);
        std::string item = description.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Monitor m;
        int w = 0, h = 0, x = 0, y = 0, used = 0;
        double scale = 1.0;
        if (std::sscanf(item.c_str(), "%dx%d%n", &w, &h, &used) == 2 && w > 0 && h > 0) {
            const char* rest = item.c_str() + used;
            int more = 0;
            if (std::sscanf(rest, "+%d+%d%n", &x, &y, &more) == 2) rest += more;
            if (*rest == '@' && (std::sscanf(rest + 1, "%lf", &scale) != 1 || scale <= 0)) scale = 1.0;
            m.area = {x, y, w, h};
            m.scale = scale;
            out.push_back(m);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

SurfaceId HeadlessDriver::create_surface(const Rect& area, const std::string& title, const SurfaceStyle& style) {
    SurfaceId id = next_surface_++;
    surfaces_[id] = Surface{area, title, false, style};
    return id;
}

void HeadlessDriver::set_surface_state(SurfaceId surface, SurfaceState state) {
    auto it = surfaces_.find(surface);
    if (it == surfaces_.end() || it->second.state == state) return;
    it->second.state = state;
    using K = RawEvent::Kind;
    K kind = state == SurfaceState::minimised ? K::minimised : state == SurfaceState::maximised ? K::maximised : K::restored;
    inject(RawEvent{.kind = kind, .surface = surface});
}

SurfaceStyle HeadlessDriver::surface_style(SurfaceId surface) const {
    auto it = surfaces_.find(surface);
    return it == surfaces_.end() ? SurfaceStyle{} : it->second.style;
}

SurfaceState HeadlessDriver::surface_state(SurfaceId surface) const {
    auto it = surfaces_.find(surface);
    return it == surfaces_.end() ? SurfaceState::restored : it->second.state;
}

Point HeadlessDriver::pointer_position() { return pointer_; }

void HeadlessDriver::destroy_surface(SurfaceId surface) { surfaces_.erase(surface); }

void HeadlessDriver::show_surface(SurfaceId surface, bool shown) {
    if (auto it = surfaces_.find(surface); it != surfaces_.end()) it->second.shown = shown;
}

void HeadlessDriver::place_surface(SurfaceId surface, const Rect& area) {
    if (auto it = surfaces_.find(surface); it != surfaces_.end()) it->second.area = area;
}

void HeadlessDriver::set_title(SurfaceId surface, const std::string& title) {
    if (auto it = surfaces_.find(surface); it != surfaces_.end()) it->second.title = title;
}

void HeadlessDriver::present(SurfaceId surface, cairo_surface_t*, const Rect& dirty) {
    presented_.push_back(Presented{surface, dirty});
}

bool HeadlessDriver::surface_shown(SurfaceId surface) const {
    auto it = surfaces_.find(surface);
    return it != surfaces_.end() && it->second.shown;
}

// The pointer moves when the window system takes a mouse event, on its own
// thread, as the surfaces are that thread's.
bool HeadlessDriver::next_event(RawEvent& event) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (injected_.empty()) return false;
        event = injected_.front();
        injected_.pop_front();
    }
    using K = RawEvent::Kind;
    if (event.kind == K::mouse_move || event.kind == K::button_down || event.kind == K::button_up ||
        event.kind == K::wheel)
        if (auto it = surfaces_.find(event.surface); it != surfaces_.end())
            pointer_ = {it->second.area.x + event.position.x, it->second.area.y + event.position.y};
    return true;
}

// Time passes only here: a wait for a timer is a jump to it.
bool HeadlessDriver::wait(int64_t timeout_ms) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!injected_.empty() || woken_) {
        woken_ = false;
        return true;
    }
    if (timeout_ms < 0) return false;
    clock_ += uint64_t(timeout_ms);
    return true;
}

void HeadlessDriver::wake() {
    std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
}

uint64_t HeadlessDriver::now_ms() {
    std::lock_guard<std::mutex> hold(lock_);
    return clock_;
}

void HeadlessDriver::inject(RawEvent event) {
    if (event.kind == RawEvent::Kind::key_down && event.character == 0)
        event.character = control_character(event.key, event.modifiers);
    std::lock_guard<std::mutex> hold(lock_);
    event.time = clock_;
    injected_.push_back(event);
}

void HeadlessDriver::advance(uint64_t ms) {
    std::lock_guard<std::mutex> hold(lock_);
    clock_ += ms;
}

void HeadlessDriver::set_text_input_rect(SurfaceId surface, const Rect& area) {
    text_input_surface_ = surface;
    text_input_rect_ = area;
}

uint32_t HeadlessDriver::create_color_cursor(int32_t width, int32_t height, const uint32_t* pixels, Point hot_spot) {
    if (!color_cursor_fits(width, height, pixels, hot_spot)) return 0;
    uint32_t id = next_color_cursor_++;
    color_cursors_[id] = ColorCursor{width, height, hot_spot, std::vector<uint32_t>(pixels, pixels + width * height)};
    return id;
}

void HeadlessDriver::set_color_cursor(uint32_t cursor) {
    if (color_cursors_.count(cursor)) color_cursor_ = cursor;
}

void HeadlessDriver::destroy_color_cursor(uint32_t cursor) {
    // The one shown gives way to the arrow, as on a display.
    if (color_cursors_.erase(cursor) && color_cursor_ == cursor) set_cursor(Cursor::arrow);
}

const HeadlessDriver::ColorCursor* HeadlessDriver::color_cursor_image(uint32_t cursor) const {
    auto it = color_cursors_.find(cursor);
    return it == color_cursors_.end() ? nullptr : &it->second;
}

clip::Clipboard& HeadlessDriver::clipboard() { return clip::in_process_clipboard(); }

}  // namespace vum::win
