// The window system's records and tree. A window is a 32-bit id into a
// table of records that only the window system touches: its class and procedure, parent, owner, children in
// z-order, style, rectangle, visibility, enabled state, text, the extra
// slots its class asks for, its invalid region, scroll-bar state and, for a
// top-level, its display surface and back buffer. Everything here runs on
// the one thread that started the window system.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window-system/drivers/display-driver.h"
#include "platform/geometry.h"
#include "platform/window-system/window-messages.h"

namespace vum::win {

using Procedure = int64_t (*)(WindowId window, const Message& message);

namespace class_style {
enum : uint32_t {
    double_clicks = 0x1,  // a quick second press comes as button_double
};
}

namespace style {
enum : uint32_t {
    child = 0x1,          // lives inside its parent; otherwise a top-level with a surface
    transparent = 0x2,    // paints over what is below it: its parent paints first
    clip_children = 0x4,  // reserved for the GUI code; painting always composites
    horizontal_scroll = 0x10,  // a scroll bar along the bottom, inside the window
    vertical_scroll = 0x20,    // a scroll bar along the right, inside the window
    // A top-level for menus and drop-down lists: no frame, no taskbar
    // entry, never active nor focused (keys stay with the focus it opened from).
    popup = 0x40,
    // How a top-level's surface looks, read when it gets its surface.
    resizable = 0x10000,   // the user may size it by its border
    borderless = 0x20000,  // no frame or title bar
    fullscreen = 0x40000,  // covers its monitor
};
}

struct WindowClass {
    std::string name{};
    Procedure procedure = nullptr;
    uint32_t class_style = 0;
    uint32_t background = 0;  // 0xAARRGGBB filled before a paint; alpha 0: none
    Cursor cursor = Cursor::arrow;
    int32_t extra_slots = 0;
};

struct ScrollState {
    int32_t min = 0, max = 0, page = 0, position = 0;
};

// ---- The system ----

// Starts the window system on the calling thread with a driver (the one
// make_display_driver chooses when none is given). Starting again first
// stops what runs.
void start(std::unique_ptr<DisplayDriver> driver = nullptr);
// Destroys every window, then drops the whole state (queue, timers, paint,
// input, classes) and closes the driver.
void stop();
bool running();
// The running system's driver. Asking before start (or after stop) is a
// fault of the caller: it ends the program with a message saying so.
DisplayDriver& driver();

// ---- Classes ----

// False when the name is taken or the class has no procedure.
bool register_class(const WindowClass& window_class);
// A class that is `base` under another name, with `procedure` in front when
// one is given. Returns the base's procedure (for the new one to call), or
// null when the base is unknown or the name taken.
Procedure superclass(const std::string& name, const std::string& base, Procedure procedure);
bool unregister_class(const std::string& name);
const WindowClass* find_class(const std::string& name);

// ---- Records and tree ----

struct CreateParams {
    std::string class_name{};
    std::string text{};
    uint32_t style = 0;
    Rect rect{};
    WindowId parent = no_window;  // required for a child
    WindowId owner = no_window;   // a top-level destroyed with its owner, kept above it
    bool visible = false;
    int64_t create_data = 0;      // handed to the procedure with `created` (a)
    Point minimum_size{};         // a top-level's smallest width (x) and height (y) for the user; 0: any
};

// no_window when the class is unknown or a child has no live parent.
WindowId create_window(const CreateParams& params);
// Sends `destroying` parents first, destroys owned top-levels, then sends
// `destroyed` and frees records children first.
void destroy_window(WindowId window);
bool is_window(WindowId window);

WindowId parent_of(WindowId window);
WindowId top_level_of(WindowId window);
const std::vector<WindowId>& children_of(WindowId window);
std::vector<WindowId> top_levels();
WindowId window_of_surface(SurfaceId surface);
// The window and its descendants in painting order.
std::vector<WindowId> subtree(WindowId window);

// A window's record is the window system's own; these read and change it
// by id. Reads of a window that is gone give the empty value.
const WindowClass* class_of(WindowId window);
Procedure procedure_of(WindowId window);
Procedure set_procedure(WindowId window, Procedure procedure);
WindowId owner_of(WindowId window);
uint32_t style_of(WindowId window);
SurfaceId surface_of(WindowId window);  // a top-level's; 0 for a child
int64_t extra(WindowId window, int32_t slot);
void set_extra(WindowId window, int32_t slot, int64_t value);
void set_text(WindowId window, const std::string& text);
const std::string& text_of(WindowId window);
void set_style(WindowId window, uint32_t style);
ScrollState scroll_state(WindowId window, bool vertical);
// Kept within the range (the position at most max - page + 1); the bar is
// drawn again.
void set_scroll_state(WindowId window, bool vertical, const ScrollState& state);

// ---- Geometry ----

Rect rect_of(WindowId window);                 // in the parent (the screen for a top-level)
// At 0, 0: the window less its non-client area. Client coordinates (of
// points, painting, children's rectangles, mouse messages) start at the
// client area's corner.
Rect client_rect(WindowId window);
Point to_screen(WindowId window, Point point);  // from client coordinates
Point from_screen(WindowId window, Point point);
Point map_point(WindowId from, WindowId to, Point point);
// The rectangle in its top-level's coordinates, cut by every ancestor.
Rect visible_rect_in_top_level(WindowId window);

void move_window(WindowId window, const Rect& rect);
// Several moves applied together: one invalidation of what they uncover
// and cover, `moved`/`resized` sent after the last.
class MoveBatch {
public:
    void add(WindowId window, const Rect& rect) { moves_.push_back({window, rect}); }
    void apply();

private:
    struct Move {
        WindowId window;
        Rect rect;
    };
    std::vector<Move> moves_;
};
// A new parent (no_window makes a top-level); the window goes on top of
// its new siblings. False when the new parent is the window or inside it.
bool set_parent(WindowId window, WindowId parent);
// Raises the window to the top of its siblings (or lowers it to the bottom).
void restack(WindowId window, bool to_top);

void show_window(WindowId window, bool shown);
bool is_visible(WindowId window);  // it and every ancestor shown
void enable_window(WindowId window, bool enabled);
bool is_enabled(WindowId window);  // it and every ancestor enabled

// The deepest shown window under a client point of `window` that does not
// answer hit::transparent, or `window` itself, or no_window outside it. A
// point on a window's non-client area is that window's.
WindowId window_from_point(WindowId window, Point point);
// The same for a point of a top-level's surface.
WindowId window_at(WindowId top_level, Point point);

// ---- Top-level states ----

// Asks the display to minimise, maximise or restore a top-level; the window
// gets state_changed when the display reports the change.
void set_window_state(WindowId window, SurfaceState state);
// The state the display last reported (restored for a child or a gone window).
SurfaceState window_state(WindowId window);
// Between a top-level's size_move_begin and size_move_end.
bool is_size_moving(WindowId window);

// ---- The non-client area ----

// Scroll bars (style::horizontal_scroll, vertical_scroll) and a top-level's
// menu band lie inside the window's rectangle, outside its client area.
// The window system draws the bars in its own theme and turns presses and
// drags on them into `scroll` messages; the GUI code draws the band when
// sent msg::paint_menu_band. A window whose client area changes size with
// them is sent `resized`.

// The thickness of a scroll bar: 17 pixels at scale 1.0.
int32_t scroll_bar_size();
// Reserves `height` pixels across the top of a top-level (0: none). False
// for a child or a window that is gone.
bool set_menu_band(WindowId top_level, int32_t height);
int32_t menu_band_of(WindowId window);

// ---- Messages ----

// Calls the window's procedure now; 0 for a dead window.
int64_t send(WindowId window, uint32_t kind, uint64_t a = 0, int64_t b = 0);
int64_t send_message(const Message& message);
int64_t default_procedure(WindowId window, const Message& message);

}  // namespace vum::win
