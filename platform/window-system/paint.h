// Painting with Cairo. Every top-level keeps a back buffer of its size.
// Invalidating marks part of a window (and, for a transparent window, what
// shows through it); a repaint walks the top-level's windows in painting
// order and paints each whose part is invalid or lies under something
// painted before it in the same pass, so children composite over their
// parents. Then the dirty part is presented.
#pragma once
#include "platform/geometry.h"
#include "platform/window-system/window-messages.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace vum::win {

// null: the whole client area.
void invalidate(WindowId window, const Rect* rect = nullptr);
void validate(WindowId window);
bool has_invalid(WindowId top_level);
// A top-level with something to paint, or no_window.
WindowId next_dirty_top_level();
// Paints and presents what is invalid in the window's top-level now,
// without taking any input. True when anything was painted.
bool update_window(WindowId window);
// The pass itself (dispatching a paint message runs it).
void repaint_top_level(WindowId top_level);
// Presents the whole back buffer again (the display lost it).
void present_again(WindowId top_level);

// While a window's paint message runs: a context translated to its client
// origin and clipped to what is to be painted, and that part's bounds.
cairo_t* paint_context();
Rect paint_bounds();
// The window whose paint message runs (a menu band's paint gives none).
WindowId painting_window();

cairo_surface_t* back_buffer(WindowId top_level);
// The back buffer made or remade at the top-level's size (invalidated).
void size_back_buffer(WindowId top_level);

// Paints the window and its shown descendants onto `surface`, the
// window's corner at the surface's, whether the window itself is shown or
// not: what it would show (the caret left out). Nothing on the screen
// changes. False when the window is gone or the surface unusable.
bool render_subtree(WindowId window, cairo_surface_t* surface);

// The caret: one at a time, drawn inverted over its window after it paints.
void create_caret(WindowId window, int32_t width, int32_t height);
void set_caret_position(Point point);
void show_caret(bool shown);
void destroy_caret();
WindowId caret_window();

}  // namespace vum::win
