#include "platform/window-system/windows.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/window-system/event-script.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/system-state.h"

namespace vum::win {

namespace detail {

WindowRecord::~WindowRecord() {
    if (invalid) cairo_region_destroy(invalid);
    if (back_buffer) cairo_surface_destroy(back_buffer);
}

}  // namespace detail

using detail::record;
using detail::System;
using detail::WindowRecord;

namespace {

// Ids carry a generation in their high half, so a stale id never reaches
// the record that took its slot.
constexpr uint32_t slot_bits = 16;
constexpr uint32_t slot_mask = (1u << slot_bits) - 1;

std::unique_ptr<System> sys;
uint64_t last_serial = 0;
const std::vector<WindowId> no_children;

WindowRecord* make_record() {
    uint32_t slot;
    if (!sys->free_slots.empty()) {
        slot = sys->free_slots.back();
        sys->free_slots.pop_back();
    } else {
        if (sys->slots.size() >= slot_mask) return nullptr;
        slot = uint32_t(sys->slots.size());
        sys->slots.emplace_back();
        sys->generations.push_back(0);
    }
    uint16_t generation = ++sys->generations[slot];
    if (generation == 0) generation = ++sys->generations[slot];
    sys->slots[slot] = std::make_unique<WindowRecord>();
    sys->slots[slot]->id = (uint32_t(generation) << slot_bits) | (slot + 1);
    return sys->slots[slot].get();
}

void free_record(WindowRecord* rec) {
    uint32_t slot = (rec->id & slot_mask) - 1;
    sys->slots[slot].reset();
    sys->free_slots.push_back(slot);
}

void unlink_from_parent(WindowRecord* rec) {
    if (rec->parent != no_window) {
        if (WindowRecord* parent = record(rec->parent)) std::erase(parent->children, rec->id);
    } else {
        std::erase(sys->top_levels, rec->id);
    }
}

// The part a window covers in its parent, invalidated there (or, for a
// top-level, nothing: its surface goes with it).
void invalidate_in_parent(WindowRecord* rec, const Rect& area) {
    if (rec->parent == no_window || area.empty()) return;
    invalidate(rec->parent, &area);
}

void collect_subtree(WindowId window, std::vector<WindowId>& out) {
    out.push_back(window);
    if (WindowRecord* r = record(window))
        for (WindowId child : r->children) collect_subtree(child, out);
}

void make_surface(WindowRecord* rec) {
    SurfaceStyle look{.resizable = (rec->style & style::resizable) != 0,
                      .borderless = (rec->style & style::borderless) != 0,
                      .fullscreen = (rec->style & style::fullscreen) != 0,
                      .popup = (rec->style & style::popup) != 0,
                      .owner = surface_of(top_level_of(rec->owner)),
                      .min_width = std::max(rec->minimum_size.x, 0),
                      .min_height = std::max(rec->minimum_size.y, 0)};
    rec->surface = sys->driver->create_surface(rec->rect, rec->text, look);
    size_back_buffer(rec->id);
    if (rec->visible) sys->driver->show_surface(rec->surface, true);
}

void drop_surface(WindowRecord* rec) {
    if (rec->surface) sys->driver->destroy_surface(rec->surface);
    rec->surface = 0;
    if (rec->back_buffer) cairo_surface_destroy(rec->back_buffer);
    rec->back_buffer = nullptr;
}

// A window leaving its top-level's painting: no caret, nothing invalid.
void forget_in_paint(WindowRecord* r) {
    detail::PaintState& paint = sys->paint;
    if (paint.caret.window == r->id) paint.caret = detail::Caret{};
    if (r->invalid) cairo_region_destroy(r->invalid);
    r->invalid = nullptr;
}

// A window going away: nothing in the system refers to it any more (no
// messages are sent): not the input state, queued messages, timers, caret.
void forget_everywhere(WindowRecord* r) {
    WindowId window = r->id;
    detail::InputState& in = sys->input;
    if (in.capture == window) in.capture = no_window;
    if (in.focus == window) in.focus = no_window;
    if (in.active == window) in.active = no_window;
    if (in.leave_watch == window) in.leave_watch = no_window;
    if (in.last_press.window == window) in.last_press = {};
    if (in.scroll_drag.window == window) in.scroll_drag = {};
    detail::QueueState& queue = sys->queue;
    std::erase_if(queue.posted, [&](const Message& m) { return m.window == window; });
    std::erase_if(queue.input, [&](const Message& m) { return m.window == window; });
    queue.timers.kill_all(window);
    forget_in_paint(r);
}

bool is_inside(WindowId window, WindowId ancestor) {
    for (WindowId w = window; w != no_window; w = parent_of(w))
        if (w == ancestor) return true;
    return false;
}

// A scroll bar held in a window that is hidden or disabled is let go
// without a message, its thumb drawn back where the position is.
void drop_scroll_drag_inside(WindowId window) {
    detail::ScrollDrag& drag = sys->input.scroll_drag;
    if (drag.window == no_window || !is_inside(drag.window, window)) return;
    WindowId held = drag.window;
    drag = {};
    if (WindowRecord* r = record(held)) {
        detail::Frame frame = detail::frame_of(*r);
        detail::invalidate_frame(held, &frame.vertical);
        detail::invalidate_frame(held, &frame.horizontal);
    }
}

}  // namespace

// ---- The system ----

void start(std::unique_ptr<DisplayDriver> driver) {
    if (sys) stop();
    auto fresh = std::make_unique<System>();
    fresh->serial = ++last_serial;
    fresh->driver = driver ? std::move(driver) : make_display_driver();
    std::vector<Monitor> monitors = fresh->driver->monitors();
    if (!monitors.empty() && monitors[0].scale > 0) fresh->metrics_scale = monitors[0].scale;
    sys = std::move(fresh);
    events::begin_from_environment();
}

void stop() {
    if (!sys) return;
    // Destroying sends messages, so procedures still see a whole system.
    // A procedure may stop it meanwhile, or start another whose ids may
    // equal the ones left in this list.
    uint64_t serial = sys->serial;
    for (WindowId top : std::vector<WindowId>(sys->top_levels)) {
        destroy_window(top);
        if (detail::current_serial() != serial) return;
    }
    sys.reset();
    detail::drop_foreign_posts();
}

bool running() { return sys != nullptr; }

DisplayDriver& driver() {
    if (!sys) {
        std::fputs("vum: the window system's display driver was asked for before start\n", stderr);
        std::abort();
    }
    return *sys->driver;
}

// ---- Classes ----

bool register_class(const WindowClass& window_class) {
    if (!sys || !window_class.procedure || window_class.name.empty() || sys->classes.count(window_class.name))
        return false;
    sys->classes[window_class.name] = std::make_unique<WindowClass>(window_class);
    return true;
}

Procedure superclass(const std::string& name, const std::string& base, Procedure procedure) {
    const WindowClass* base_class = find_class(base);
    if (!base_class) return nullptr;
    WindowClass derived = *base_class;
    derived.name = name;
    if (procedure) derived.procedure = procedure;
    if (!register_class(derived)) return nullptr;
    return base_class->procedure;
}

// Windows of the class keep their copy alive: a class in use stays.
bool unregister_class(const std::string& name) {
    if (!sys) return false;
    auto it = sys->classes.find(name);
    if (it == sys->classes.end()) return false;
    for (const auto& rec : sys->slots)
        if (rec && rec->window_class == it->second.get()) return false;
    sys->classes.erase(it);
    return true;
}

const WindowClass* find_class(const std::string& name) {
    if (!sys) return nullptr;
    auto it = sys->classes.find(name);
    return it == sys->classes.end() ? nullptr : it->second.get();
}

// ---- Records and tree ----

namespace detail {

System* current() { return sys.get(); }

uint64_t current_serial() { return sys ? sys->serial : 0; }

WindowRecord* record(WindowId window) {
    if (!sys || window == no_window) return nullptr;
    uint32_t slot = (window & slot_mask) - 1;
    if (slot >= sys->slots.size() || !sys->slots[slot]) return nullptr;
    WindowRecord* found = sys->slots[slot].get();
    return found->id == window ? found : nullptr;
}

}  // namespace detail

bool is_window(WindowId window) {
    WindowRecord* r = record(window);
    return r && !r->being_destroyed;
}

WindowId create_window(const CreateParams& params) {
    if (!sys) return no_window;
    const WindowClass* window_class = find_class(params.class_name);
    if (!window_class) return no_window;
    bool child = params.style & style::child;
    if (child && !is_window(params.parent)) return no_window;
    WindowRecord* rec = make_record();
    if (!rec) return no_window;
    rec->window_class = window_class;
    rec->procedure = window_class->procedure;
    rec->style = params.style;
    rec->rect = params.rect;
    rec->text = params.text;
    rec->extra.assign(size_t(std::max(window_class->extra_slots, 0)), 0);
    rec->owner = child ? no_window : params.owner;
    rec->minimum_size = params.minimum_size;
    WindowId id = rec->id;
    if (child) {
        rec->parent = params.parent;
        record(params.parent)->children.push_back(id);
    } else {
        sys->top_levels.push_back(id);
        make_surface(rec);
    }
    send(id, msg::created, uint64_t(params.create_data));
    if (!is_window(id)) return no_window;
    if (params.visible) show_window(id, true);
    return id;
}

void destroy_window(WindowId window) {
    if (!is_window(window)) return;
    // Owned top-levels go first, whole.
    for (WindowId top : std::vector<WindowId>(sys->top_levels))
        if (WindowRecord* r = record(top); r && r->owner == window) destroy_window(top);
    if (!is_window(window)) return;

    WindowRecord* rec = record(window);
    if (rec->visible) invalidate_in_parent(rec, rec->rect);
    std::vector<WindowId> order;
    collect_subtree(window, order);
    for (WindowId w : order) record(w)->being_destroyed = true;
    // A procedure that stops the system takes these records with it.
    uint64_t serial = sys->serial;
    for (WindowId w : order) {
        send_message(Message{.window = w, .kind = msg::destroying});
        if (detail::current_serial() != serial) return;
        forget_everywhere(record(w));
    }
    unlink_from_parent(record(window));
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        WindowRecord* r = record(*it);
        if (r->procedure) r->procedure(*it, Message{.window = *it, .kind = msg::destroyed});
        if (detail::current_serial() != serial) return;
        drop_surface(r);
        free_record(r);
    }
}

WindowId parent_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->parent : no_window;
}

WindowId top_level_of(WindowId window) {
    WindowRecord* r = record(window);
    while (r && r->parent != no_window) r = record(r->parent);
    return r ? r->id : no_window;
}

const std::vector<WindowId>& children_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->children : no_children;
}

std::vector<WindowId> top_levels() { return sys ? sys->top_levels : std::vector<WindowId>{}; }

WindowId window_of_surface(SurfaceId surface) {
    if (!sys || surface == 0) return no_window;
    for (WindowId top : sys->top_levels)
        if (record(top)->surface == surface) return top;
    return no_window;
}

std::vector<WindowId> subtree(WindowId window) {
    std::vector<WindowId> out;
    if (record(window)) collect_subtree(window, out);
    return out;
}

const WindowClass* class_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->window_class : nullptr;
}

Procedure procedure_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->procedure : nullptr;
}

WindowId owner_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->owner : no_window;
}

uint32_t style_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->style : 0;
}

SurfaceId surface_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->surface : 0;
}

Procedure set_procedure(WindowId window, Procedure procedure) {
    WindowRecord* r = record(window);
    if (!r || !procedure) return nullptr;
    Procedure old = r->procedure;
    r->procedure = procedure;
    return old;
}

int64_t extra(WindowId window, int32_t slot) {
    WindowRecord* r = record(window);
    if (!r || slot < 0 || size_t(slot) >= r->extra.size()) return 0;
    return r->extra[size_t(slot)];
}

void set_extra(WindowId window, int32_t slot, int64_t value) {
    WindowRecord* r = record(window);
    if (r && slot >= 0 && size_t(slot) < r->extra.size()) r->extra[size_t(slot)] = value;
}

void set_text(WindowId window, const std::string& text) {
    WindowRecord* r = record(window);
    if (!r) return;
    r->text = text;
    if (r->surface) sys->driver->set_title(r->surface, text);
    send(window, msg::text_changed);
}

const std::string& text_of(WindowId window) {
    static const std::string none;
    WindowRecord* r = record(window);
    return r ? r->text : none;
}

namespace {

// Scroll bars or a band that come or go change the client area's size.
void announce_client_size(WindowId window, const Rect& old_client) {
    Rect now = client_rect(window);
    if (is_window(window) && (now.width != old_client.width || now.height != old_client.height))
        send_message(Message{.window = window, .kind = msg::resized, .point = {now.width, now.height}});
}

}  // namespace

void set_style(WindowId window, uint32_t new_style) {
    WindowRecord* r = record(window);
    if (!r) return;
    Rect old_client = client_rect(window);
    // Whether it is a child is fixed by its parent, not by the bits.
    r->style = (new_style & ~style::child) | (r->style & style::child);
    detail::invalidate_frame(window);
    announce_client_size(window, old_client);
}

ScrollState scroll_state(WindowId window, bool vertical) {
    WindowRecord* r = record(window);
    return r ? r->scroll[vertical] : ScrollState{};
}

void set_scroll_state(WindowId window, bool vertical, const ScrollState& state) {
    WindowRecord* r = record(window);
    if (!r) return;
    ScrollState s = state;
    if (s.max < s.min) s.max = s.min;
    s.page = std::clamp(s.page, 0, s.max - s.min + 1);
    s.position = std::clamp(s.position, s.min, std::max(s.min, s.max - std::max(s.page - 1, 0)));
    r->scroll[vertical] = s;
    detail::Frame frame = detail::frame_of(*r);
    detail::invalidate_frame(window, vertical ? &frame.vertical : &frame.horizontal);
}

// ---- Geometry ----

Rect rect_of(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->rect : Rect{};
}

Rect client_rect(WindowId window) {
    WindowRecord* r = record(window);
    if (!r) return {};
    Rect client = detail::frame_of(*r).client;
    return {0, 0, client.width, client.height};
}

Point to_screen(WindowId window, Point point) {
    for (WindowRecord* r = record(window); r; r = record(r->parent)) {
        Rect client = detail::frame_of(*r).client;
        point.x += r->rect.x + client.x;
        point.y += r->rect.y + client.y;
    }
    return point;
}

Point from_screen(WindowId window, Point point) {
    Point origin = to_screen(window, {0, 0});
    return {point.x - origin.x, point.y - origin.y};
}

Point map_point(WindowId from, WindowId to, Point point) { return from_screen(to, to_screen(from, point)); }

// A child shows only inside its parent's client area.
Rect visible_rect_in_top_level(WindowId window) {
    WindowRecord* r = record(window);
    if (!r) return {};
    if (r->parent == no_window) return {0, 0, r->rect.width, r->rect.height};
    WindowRecord* parent = record(r->parent);
    Point parent_origin = detail::origin_in_surface(r->parent);
    Rect parent_client = detail::frame_of(*parent).client.moved(parent_origin.x, parent_origin.y);
    Point origin = detail::origin_in_surface(window);
    return intersect(intersect(visible_rect_in_top_level(r->parent), parent_client),
                     {origin.x, origin.y, r->rect.width, r->rect.height});
}

namespace detail {

Point origin_in_surface(WindowId window) {
    WindowRecord* r = record(window);
    if (!r || r->parent == no_window) return {};
    Point parent = client_origin_in_surface(r->parent);
    return {parent.x + r->rect.x, parent.y + r->rect.y};
}

Point client_origin_in_surface(WindowId window) {
    WindowRecord* r = record(window);
    if (!r) return {};
    Point origin = origin_in_surface(window);
    Rect client = frame_of(*r).client;
    return {origin.x + client.x, origin.y + client.y};
}

}  // namespace detail

namespace {

// Applies a new rectangle; the caller sends the messages.
void place(WindowRecord* r, const Rect& rect) {
    Rect old = r->rect;
    r->rect = rect;
    if (r->parent == no_window) {
        sys->driver->place_surface(r->surface, rect);
        if (old.width != rect.width || old.height != rect.height) size_back_buffer(r->id);
        return;
    }
    if (r->visible) {
        invalidate_in_parent(r, old);
        invalidate_in_parent(r, rect);
        detail::invalidate_frame(r->id);
    }
}

// `resized` tells the client area's new size.
void announce_move(WindowId window, const Rect& old, const Rect& now) {
    if (old.x != now.x || old.y != now.y)
        send_message(Message{.window = window, .kind = msg::moved, .point = {now.x, now.y}});
    if (old.width != now.width || old.height != now.height) {
        Rect client = client_rect(window);
        send_message(Message{.window = window, .kind = msg::resized, .point = {client.width, client.height}});
    }
}

}  // namespace

void move_window(WindowId window, const Rect& rect) {
    WindowRecord* r = record(window);
    if (!r) return;
    Rect old = r->rect;
    place(r, rect);
    announce_move(window, old, rect);
}

void MoveBatch::apply() {
    std::vector<std::pair<WindowId, Rect>> olds;
    for (const Move& m : moves_) {
        WindowRecord* r = record(m.window);
        if (!r) continue;
        olds.push_back({m.window, r->rect});
        place(r, m.rect);
    }
    for (const auto& [window, old] : olds)
        if (is_window(window)) announce_move(window, old, rect_of(window));
    moves_.clear();
}

bool set_parent(WindowId window, WindowId parent) {
    WindowRecord* r = record(window);
    if (!r || r->being_destroyed) return false;
    if (parent != no_window && (!is_window(parent) || is_inside(parent, window))) return false;
    if (r->visible) invalidate_in_parent(r, r->rect);
    bool was_top = r->parent == no_window;
    unlink_from_parent(r);
    r->parent = parent;
    if (parent == no_window) {
        r->style &= ~style::child;
        sys->top_levels.push_back(window);
        if (!was_top) make_surface(r);
    } else {
        r->style |= style::child;
        r->owner = no_window;
        record(parent)->children.push_back(window);
        if (was_top) drop_surface(r);
        forget_in_paint(r);
    }
    if (r->visible) detail::invalidate_frame(window);
    return true;
}

void restack(WindowId window, bool to_top) {
    WindowRecord* r = record(window);
    if (!r || r->parent == no_window) return;
    auto& siblings = record(r->parent)->children;
    std::erase(siblings, window);
    if (to_top)
        siblings.push_back(window);
    else
        siblings.insert(siblings.begin(), window);
    if (r->visible) invalidate_in_parent(r, r->rect);
}

void show_window(WindowId window, bool shown) {
    WindowRecord* r = record(window);
    if (!r || r->visible == shown) return;
    r->visible = shown;
    if (r->parent == no_window) {
        sys->driver->show_surface(r->surface, shown);
    } else {
        invalidate_in_parent(r, r->rect);
    }
    if (shown) detail::invalidate_frame(window);
    if (!shown) {
        // A hidden window keeps neither the focus nor the capture.
        if (is_inside(input::focus(), window)) input::set_focus(no_window);
        if (is_inside(input::capture(), window)) input::release_capture();
        drop_scroll_drag_inside(window);
    }
    send(window, msg::shown, shown ? 1 : 0);
}

bool is_visible(WindowId window) {
    for (WindowRecord* r = record(window); r; r = record(r->parent))
        if (!r->visible) return false;
    return record(window) != nullptr;
}

void enable_window(WindowId window, bool enabled) {
    WindowRecord* r = record(window);
    if (!r || r->enabled == enabled) return;
    r->enabled = enabled;
    if (!enabled) {
        if (is_inside(input::focus(), window)) input::set_focus(no_window);
        if (is_inside(input::capture(), window)) input::release_capture();
        drop_scroll_drag_inside(window);
    }
    send(window, msg::enabled, enabled ? 1 : 0);
}

bool is_enabled(WindowId window) {
    for (WindowRecord* r = record(window); r; r = record(r->parent))
        if (!r->enabled) return false;
    return record(window) != nullptr;
}

namespace {

// The deepest window under a point of the window's own coordinates. Its
// non-client part is always its own; a child shows only in the client area.
WindowId hit_in(WindowId window, Point point) {
    WindowRecord* r = record(window);
    if (!r || !r->visible || !Rect{0, 0, r->rect.width, r->rect.height}.contains(point)) return no_window;
    Rect client = detail::frame_of(*r).client;
    if (!client.contains(point)) return window;
    point = {point.x - client.x, point.y - client.y};
    // Topmost child first.
    std::vector<WindowId> children = r->children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        WindowRecord* c = record(*it);
        if (!c || !c->visible || !c->rect.contains(point)) continue;
        WindowId hit = hit_in(*it, {point.x - c->rect.x, point.y - c->rect.y});
        if (hit != no_window) return hit;
    }
    Message probe{.window = window, .kind = msg::hit_test, .point = point};
    if (send_message(probe) == hit::transparent) return no_window;
    return window;
}

}  // namespace

WindowId window_from_point(WindowId window, Point point) {
    WindowRecord* r = record(window);
    if (!r) return no_window;
    Rect client = detail::frame_of(*r).client;
    return hit_in(window, {point.x + client.x, point.y + client.y});
}

WindowId window_at(WindowId top_level, Point point) {
    WindowId hit = hit_in(top_level, point);
    return hit == no_window && record(top_level) ? top_level : hit;
}

// ---- Top-level states ----

void set_window_state(WindowId window, SurfaceState state) {
    WindowRecord* r = record(window);
    if (r && r->surface && !r->being_destroyed) sys->driver->set_surface_state(r->surface, state);
}

SurfaceState window_state(WindowId window) {
    WindowRecord* r = record(window);
    return r ? r->state : SurfaceState::restored;
}

bool is_size_moving(WindowId window) {
    WindowRecord* r = record(window);
    return r && r->size_moving;
}

// ---- The non-client area ----

int32_t scroll_bar_size() {
    double scale = sys ? sys->metrics_scale : 1.0;
    return std::max(1, int32_t(std::lround(17 * scale)));
}

bool set_menu_band(WindowId top_level, int32_t height) {
    WindowRecord* r = record(top_level);
    if (!r || r->being_destroyed || r->parent != no_window) return false;
    height = std::max(height, 0);
    if (r->menu_band == height) return true;
    Rect old_client = client_rect(top_level);
    r->menu_band = height;
    detail::invalidate_frame(top_level);
    announce_client_size(top_level, old_client);
    return true;
}

int32_t menu_band_of(WindowId window) {
    WindowRecord* r = record(window);
    return r && r->parent == no_window ? r->menu_band : 0;
}

// ---- Messages ----

int64_t send_message(const Message& message) {
    WindowRecord* r = record(message.window);
    if (!r || !r->procedure) return 0;
    return r->procedure(message.window, message);
}

int64_t send(WindowId window, uint32_t kind, uint64_t a, int64_t b) {
    return send_message(Message{.window = window, .kind = kind, .a = a, .b = b});
}

int64_t default_procedure(WindowId window, const Message& message) {
    WindowRecord* r = record(window);
    if (!r) return 0;
    switch (message.kind) {
    case msg::close:
        destroy_window(window);
        return 0;
    case msg::hit_test:
        return hit::client;
    case msg::set_cursor:
        sys->driver->set_cursor(r->window_class->cursor);
        return 1;
    case msg::wheel:
        // Unhandled, the wheel scrolls whatever holds the window.
        if (r->parent != no_window) {
            Message up = message;
            up.window = r->parent;
            Rect client = detail::frame_of(*r).client;
            up.point = {message.point.x + r->rect.x + client.x, message.point.y + r->rect.y + client.y};
            return send_message(up);
        }
        return 0;
    default:
        return 0;
    }
}

}  // namespace vum::win
