// The window system's state: one object that start makes and stop drops,
// holding the window records and classes, the queue, painting and input
// routing. Only the window system's own files include this header; the rest
// of the program reaches windows through the typed calls of windows.h and
// its neighbours, by window id, and never holds a record.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/window-system/drivers/display-driver.h"
#include "platform/window-system/event-script.h"
#include "platform/window-system/timers.h"
#include "platform/window-system/windows.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_region cairo_region_t;

namespace vum::win::detail {

struct WindowRecord {
    WindowRecord() = default;
    WindowRecord(const WindowRecord&) = delete;
    WindowRecord& operator=(const WindowRecord&) = delete;
    ~WindowRecord();  // releases the invalid region and the back buffer

    WindowId id = no_window;
    const WindowClass* window_class = nullptr;
    Procedure procedure = nullptr;
    WindowId parent = no_window;
    WindowId owner = no_window;
    std::vector<WindowId> children;  // bottom first: the order they paint in
    uint32_t style = 0;
    Rect rect;  // in the parent's client coordinates; a top-level's on the screen
    bool visible = false;
    bool enabled = true;
    bool being_destroyed = false;
    std::string text{};
    std::vector<int64_t> extra;
    cairo_region_t* invalid = nullptr;  // window coordinates; null when valid
    ScrollState scroll[2];               // horizontal, vertical
    SurfaceId surface = 0;               // top-levels only
    cairo_surface_t* back_buffer = nullptr;

    // A top-level's state on the screen and the user's moving of it.
    SurfaceState state = SurfaceState::restored;
    Point minimum_size{};
    bool size_moving = false;
    uint64_t size_move_until = 0;  // the driver's clock: when the burst ends without another move

    int32_t menu_band = 0;               // top-levels only: the height reserved at the top
};

struct QueueState {
    std::deque<Message> posted;
    bool quit = false;
    int32_t quit_code = 0;
    std::deque<RawEvent> raw;
    std::deque<Message> input;  // routed, not yet taken
    TimerHeap timers;
    int32_t depth = 0;
};

struct Caret {
    WindowId window = no_window;
    Rect rect;
    bool shown = false;
};

struct PaintState {
    cairo_t* context = nullptr;
    Rect bounds;
    WindowId window = no_window;  // whose client area `context` is on (not a menu band's)
    bool painting = false;
    Caret caret;
};

struct LastPress {
    WindowId window = no_window;
    uint64_t button = 0;
    uint64_t time = 0;
    Point screen{};
};

// A press on a scroll bar, followed until the button is let go: an arrow
// or the trough held, or the thumb dragged.
struct ScrollDrag {
    WindowId window = no_window;
    bool vertical = false;
    bool thumb = false;
    int32_t grab = 0;   // where along the thumb the pointer took it
    int32_t track = 0;  // the position the thumb was dragged to
};

struct InputState {
    WindowId capture = no_window;
    WindowId focus = no_window;
    WindowId active = no_window;
    WindowId leave_watch = no_window;
    LastPress last_press;
    uint32_t buttons_held = 0;  // modifier:: button bits
    ScrollDrag scroll_drag;
    std::string composition;  // what an input method composes, UTF-8
    int32_t composition_caret = 0;
};

// The event script being fed (event-script.h).
struct ScriptState {
    std::string name{};
    std::vector<events::Command> commands;
    size_t next = 0;
    uint64_t resume_at = 0;  // a `wait` holds the next lines until the clock is here
    Point pointer{};         // in the surface, where the script last put it
    bool running = false;
};

// Class names match whatever their letters' case, as scripts and the
// backend spell them apart ("VumTabpanel" and "VumTabPanel" are one class).
struct ClassNameLess {
    static char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
    bool operator()(const std::string& a, const std::string& b) const {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; i++) {
            unsigned char x = (unsigned char)fold(a[i]), y = (unsigned char)fold(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

struct System {
    // Tells this system from one started after it at the same address: a
    // procedure may stop (or restart) the window system while a loop, a
    // paint or a routing step that called it is still on the stack.
    uint64_t serial = 0;
    std::unique_ptr<DisplayDriver> driver;
    std::map<std::string, std::unique_ptr<WindowClass>, ClassNameLess> classes;
    std::vector<std::unique_ptr<WindowRecord>> slots;  // slot i holds id with low half i + 1
    std::vector<uint16_t> generations;
    std::vector<uint32_t> free_slots;
    std::vector<WindowId> top_levels;  // in creation order
    QueueState queue;
    PaintState paint;
    InputState input;
    double metrics_scale = 1.0;  // the first monitor's at start: sizes the scroll bars
    ScriptState script;
};

// The running system, or null before start and after stop.
System* current();
// The running system's serial, or 0 when none runs.
uint64_t current_serial();
// The record of a window (one being destroyed too), or null.
WindowRecord* record(WindowId window);

// ---- The non-client area (non-client.cpp) ----

// Where the parts of a window lie, in its own coordinates (its rectangle's
// corner at 0, 0): the menu band across the top, the client area, the
// vertical bar at the right, the horizontal one at the bottom, and the
// corner square between the two bars. Parts a window lacks are empty.
struct Frame {
    Rect band, client, vertical, horizontal, corner;
};
Frame frame_of(const WindowRecord& record);
// The thumb of a bar: its place in window coordinates; empty when the bar
// has nothing to scroll or no room for one.
Rect thumb_of(const WindowRecord& record, bool vertical);
// Draws the scroll bars and the band's background on `cr`, which is at the
// window's corner and clipped to what is to be painted.
void paint_non_client(cairo_t* cr, const WindowRecord& record);
// Whether a point of the window's own coordinates is on what the window
// system handles itself: a scroll bar or the corner between two. The band
// is the GUI code's: its mouse messages come as the client area's, above it.
bool on_window_system_part(const WindowRecord& record, Point window_point);
// A press there: a scroll bar's arrow, trough or thumb taken, its first
// `scroll` message made.
void press_non_client(const RawEvent& event, WindowId window, Point window_point, std::deque<Message>& out);
// While a press on a scroll bar is held, every mouse event is the bar's:
// the thumb tracks, a release ends it. `window_point` is in the pressed
// window's own coordinates.
bool scroll_drag_active();
WindowId scroll_drag_window();
void route_scroll_drag(const RawEvent& event, Point window_point, std::deque<Message>& out);

// A window's corner and its client area's corner in its top-level's
// surface.
Point origin_in_surface(WindowId window);
Point client_origin_in_surface(WindowId window);
// Marks part of a window (its own coordinates, the non-client area
// included; null: all of it) to be painted.
void invalidate_frame(WindowId window, const Rect* area = nullptr);

// Posts from other threads wait outside the system object, since a thread
// may post while the system stops or before it starts; stop drops them.
void drop_foreign_posts();

}  // namespace vum::win::detail
