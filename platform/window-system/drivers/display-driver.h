// What the window system needs from the display it shows on: top-level
// surfaces, presenting their back buffers, raw input, waiting for it with a
// timeout, a clock, cursors, monitors, text input and the clipboard. Two
// drivers give it: headless (driver-headless.h) and SDL2 on X11
// (driver-sdl.h).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window-system/clipboard.h"
#include "platform/geometry.h"

typedef struct _cairo_surface cairo_surface_t;

namespace vum::win {

using SurfaceId = uint32_t;

// How a top-level surface looks and behaves on the screen.
struct SurfaceStyle {
    bool resizable = false;   // the user may size it by its border
    bool borderless = false;  // no frame or title bar
    bool fullscreen = false;  // covers its monitor
    // Menus and drop-down lists: no frame, no taskbar entry, never focused.
    bool popup = false;
    SurfaceId owner = 0;      // kept above this surface; 0: none
    int32_t min_width = 0, min_height = 0;  // the smallest the user may size it; 0: no limit
};

// A top-level surface's state on the screen.
enum class SurfaceState : uint32_t { restored, minimised, maximised };

// Input and window-manager happenings as the display reports them, before
// the window system routes them to windows.
struct RawEvent {
    enum class Kind {
        key_down,     // key, modifiers, character (0 when the key types none)
        key_up,       // key, modifiers
        text,         // character: text typed without a key of its own (input methods)
        mouse_move,   // position in the surface
        mouse_left,   // the pointer left the surface
        button_down,  // button, position
        button_up,
        wheel,        // delta in 1/120 notches (positive away from the user), horizontal
        close,        // the user asked to close the surface
        focus_in,
        focus_out,
        exposed,      // the surface's pixels were lost: present it again
        moved,        // position: the surface's new origin on the screen
        resized,      // position: the new width and height
        // The surface's state, and the monitors
        minimised,
        maximised,
        restored,         // neither minimised nor maximised any more
        size_move_begin,  // the user started moving or sizing the surface
        size_move_end,    // ... and stopped (see size-move.h)
        display_changed,  // monitors came, went, or changed place or scale; surface 0

        // An input method composing text: it begins, the text and its
        // caret (in code points) change, it ends. What it commits comes
        // as `text` events.
        composition_start,
        composition,  // text, caret
        composition_end,
    };
    Kind kind = Kind::mouse_move;
    SurfaceId surface = 0;
    Point position{};
    uint32_t key = 0;
    uint32_t character = 0;
    uint32_t modifiers = 0;
    uint32_t button = 0;
    int32_t delta = 0;
    bool horizontal = false;
    uint64_t time = 0;
    std::string text{};  // composition: the text being composed (UTF-8)
    int32_t caret = 0;   // composition: where its caret is, in code points
};

struct Monitor {
    Rect area;
    double scale = 1.0;
    uint32_t id = 0;  // the same for the same monitor while the driver lives; never 0
};

// Stable monitor ids: a monitor's key (its name and place) gets an id the
// first time it is seen and keeps it, so a monitor that changes its mode or
// scale, or outlives another's removal, is still known by the same id.
class MonitorIds {
public:
    uint32_t id_for(const std::string& key);

private:
    std::vector<std::string> keys_;
};

enum class Cursor { arrow, ibeam, wait, crosshair, hand, size_horizontal, size_vertical, size_all, no, hidden };

class DisplayDriver {
public:
    virtual ~DisplayDriver() = default;
    virtual const char* name() const = 0;

    // Surfaces start hidden.
    virtual SurfaceId create_surface(const Rect& area, const std::string& title, const SurfaceStyle& style) = 0;
    virtual void destroy_surface(SurfaceId surface) = 0;
    virtual void show_surface(SurfaceId surface, bool shown) = 0;
    virtual void place_surface(SurfaceId surface, const Rect& area) = 0;
    virtual void set_title(SurfaceId surface, const std::string& title) = 0;
    // Copies the part `dirty` (surface coordinates) of a back buffer of the
    // surface's size to the screen.
    virtual void present(SurfaceId surface, cairo_surface_t* back_buffer, const Rect& dirty) = 0;

    // Takes the next raw event without waiting.
    virtual bool next_event(RawEvent& event) = 0;
    // Waits until an event may be there or `timeout_ms` passed (-1: no
    // limit). False when nothing can ever arrive.
    virtual bool wait(int64_t timeout_ms) = 0;
    // Ends a wait from any thread.
    virtual void wake() = 0;
    virtual uint64_t now_ms() = 0;

    virtual void set_cursor(Cursor cursor) = 0;
    virtual std::vector<Monitor> monitors() = 0;
    virtual void enable_text_input(bool on) = 0;
    virtual clip::Clipboard& clipboard() = 0;

    // ---- Surface states and the pointer ----
    // Asks for a state; the display answers with a minimised, maximised or
    // restored raw event when the state changes.
    virtual void set_surface_state(SurfaceId surface, SurfaceState state) = 0;
    // Where the pointer is on the screen.
    virtual Point pointer_position() = 0;

    // ---- Input methods and colour cursors ----

    // Where the text being edited is, in the surface's coordinates, so that
    // an input method shows its candidates beside it.
    virtual void set_text_input_rect(SurfaceId surface, const Rect& area) = 0;
    // A cursor from an image: width * height pixels, rows top first, each
    // 0xAARRGGBB with straight alpha, and the hot spot inside it. 0 when
    // the image does not fit (see color_cursor_fits) or the display refuses it.
    virtual uint32_t create_color_cursor(int32_t width, int32_t height, const uint32_t* pixels,
                                         Point hot_spot) = 0;
    // Shows a cursor create_color_cursor made; set_cursor goes back to the
    // system's. An unknown id changes nothing.
    virtual void set_color_cursor(uint32_t cursor) = 0;
    virtual void destroy_color_cursor(uint32_t cursor) = 0;
};

// The largest side of a colour cursor's image.
constexpr int32_t max_cursor_side = 256;
// True when a colour cursor can be made of the image: pixels given, each
// side 1 to max_cursor_side, the hot spot inside.
bool color_cursor_fits(int32_t width, int32_t height, const uint32_t* pixels, Point hot_spot);

// True when no display is to be used: VUM_DISPLAY=headless, or no DISPLAY.
bool headless_wanted();

// The SDL2 driver when a display is wanted and opens, else the headless one.
std::unique_ptr<DisplayDriver> make_display_driver();

}  // namespace vum::win
