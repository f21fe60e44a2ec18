// The display driver with no display: surfaces are records, the clock is
// virtual and jumps to the next timer when nothing else is pending, input
// is injected as raw events, the clipboard lives in the process. A wait
// with no time limit and nothing injected ends at once: nothing could ever
// arrive.
#pragma once
#include <deque>
#include <map>
#include <mutex>

#include "platform/window-system/drivers/display-driver.h"

namespace vum::win {

class HeadlessDriver : public DisplayDriver {
public:
    // One monitor of 1920x1080 at scale 1.0 when none are given.
    explicit HeadlessDriver(std::vector<Monitor> monitors = {});

    // "WxH+X+Y@S" items separated by commas, e.g. "1920x1080,1280x1024+1920+0@1.5";
    // an item that does not read is skipped.
    static std::vector<Monitor> parse_monitors(const std::string& description);

    const char* name() const override { return "headless"; }
    SurfaceId create_surface(const Rect& area, const std::string& title, const SurfaceStyle& style) override;
    void destroy_surface(SurfaceId surface) override;
    void show_surface(SurfaceId surface, bool shown) override;
    void place_surface(SurfaceId surface, const Rect& area) override;
    void set_title(SurfaceId surface, const std::string& title) override;
    void present(SurfaceId surface, cairo_surface_t* back_buffer, const Rect& dirty) override;
    bool next_event(RawEvent& event) override;
    bool wait(int64_t timeout_ms) override;
    void wake() override;
    uint64_t now_ms() override;
    void set_cursor(Cursor cursor) override {
        cursor_ = cursor;
        color_cursor_ = 0;
    }
    std::vector<Monitor> monitors() override { return monitors_; }
    void enable_text_input(bool on) override { text_input_ = on; }
    clip::Clipboard& clipboard() override;
    // The state is recorded and, when it changes, reported as a window
    // manager would.
    void set_surface_state(SurfaceId surface, SurfaceState state) override;
    // Where the last mouse event taken put it (the origin at first).
    Point pointer_position() override;

    // ---- Input methods and colour cursors ----
    void set_text_input_rect(SurfaceId surface, const Rect& area) override;
    uint32_t create_color_cursor(int32_t width, int32_t height, const uint32_t* pixels, Point hot_spot) override;
    void set_color_cursor(uint32_t cursor) override;
    void destroy_color_cursor(uint32_t cursor) override;
    struct ColorCursor {
        int32_t width = 0, height = 0;
        Point hot_spot{};
        std::vector<uint32_t> pixels;
    };
    // The colour cursor shown, or 0 while a system cursor is.
    uint32_t color_cursor() const { return color_cursor_; }
    // A colour cursor's image, or null when there is none of that id.
    const ColorCursor* color_cursor_image(uint32_t cursor) const;
    SurfaceId text_input_surface() const { return text_input_surface_; }
    Rect text_input_rect() const { return text_input_rect_; }

    // For tests and tools: input as a display would report it (stamped
    // with the virtual time), the clock moved on, and what was presented.
    // A key pressed without a character types what the key types on a
    // display (control_character), as the SDL driver does.
    void inject(RawEvent event);
    void advance(uint64_t ms);
    struct Presented {
        SurfaceId surface;
        Rect dirty;
    };
    const std::vector<Presented>& presented() const { return presented_; }
    void clear_presented() { presented_.clear(); }
    Cursor cursor() const { return cursor_; }
    bool text_input() const { return text_input_; }
    bool surface_shown(SurfaceId surface) const;

    // Monitors replaced as if plugged in or rearranged: a display_changed
    // event follows. None given keeps one of 1920x1080.
    void set_monitors(std::vector<Monitor> monitors);
    SurfaceStyle surface_style(SurfaceId surface) const;
    SurfaceState surface_state(SurfaceId surface) const;

private:
    struct Surface {
        Rect area;
        std::string title;
        bool shown = false;
        SurfaceStyle style{};
        SurfaceState state = SurfaceState::restored;
    };
    void number_monitors();
    std::vector<Monitor> monitors_;
    MonitorIds monitor_ids_;
    Point pointer_{};
    std::map<SurfaceId, Surface> surfaces_;
    SurfaceId next_surface_ = 1;
    std::vector<Presented> presented_;
    Cursor cursor_ = Cursor::arrow;
    bool text_input_ = false;
    std::map<uint32_t, ColorCursor> color_cursors_;
    uint32_t next_color_cursor_ = 1;
    uint32_t color_cursor_ = 0;
    SurfaceId text_input_surface_ = 0;
    Rect text_input_rect_{};
    std::mutex lock_;  // guards the injected events and the wake flag
    std::deque<RawEvent> injected_;
    bool woken_ = false;
    uint64_t clock_ = 0;
};

}  // namespace vum::win
