// The window system on a real display, for the Xvfb tests
// (tests/tools/xvfb-windows.py). Modes:
//   paint FILE.ppm   a 200x100 top-level at 40,30 whose child paints solid
//                    red; prints "ready X Y W H" with the top-level's place,
//                    writes its back buffer as a PPM file
//   keys             a focused top-level at 40,30; prints each key message
//                    as "key-down CODE", "char CODE", "key-up CODE", and
//                    the wheel as "wheel HORIZONTAL DELTA"
//   scroll FILE.ppm  a 200x150 top-level at 40,30 with both scroll bars and
//                    a 20-pixel menu band (painted green) over a red child;
//                    writes its back buffer, prints "ready X Y W H", then
//                    each scroll message as "scroll CODE VERTICAL POSITION"
//   cursor           a top-level at 40,30 showing a 16x16 colour cursor
//                    (a blue square with a red dot at the hot spot 3,5);
//                    prints "ready X Y W H" once it is made and set
//   clip-write TEXT  puts the text on the clipboard; prints "ready"
//   clip-read        prints "text:" and the clipboard's text, or "empty",
//                    "files:N" or "failed"
//   states           a resizable top-level at 40,30 titled "vum-states";
//                    prints "ready X Y W H", then "state N" for each
//                    state_changed and "size-move begin"/"size-move end"
//   styles           top-levels titled "vum-owner" (resizable, at least
//                    150x80), "vum-owned" (owned by it) and "vum-popup" (a
//                    popup it owns); prints "ready"
//   scale            prints "scale S" (the first monitor's), "monitors N"
//                    and "ids I..." (the monitors' ids)
// The window modes run until standard input ends; 77 means no display.
// Everything runs on a thread of the runtime's stack size, as vum runs
// the GUI.
#include <cairo.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/window-system/clipboard.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/runtime-thread.h"
#include "platform/window-system/windows.h"

using namespace vum::win;

namespace {

constexpr uint64_t stdin_check_timer = 1;

bool stdin_ended() {
    pollfd p{0, POLLIN | POLLHUP, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char buffer[256];
    return read(0, buffer, sizeof buffer) <= 0;
}

int64_t red_child(WindowId, const Message& m) {
    if (m.kind == msg::paint) {
        cairo_set_source_rgb(paint_context(), 1, 0, 0);
        cairo_paint(paint_context());
    }
    return 0;
}

uint32_t probe_cursor = 0;

int64_t top_procedure(WindowId w, const Message& m) {
    switch (m.kind) {
    case msg::wheel: std::printf("wheel %llu %lld\n", (unsigned long long)m.a, (long long)m.b); break;
    case msg::scroll:
        std::printf("scroll %llu %d %lld\n", (unsigned long long)(m.a & 0xFF), (m.a & scroll::vertical) ? 1 : 0,
                    (long long)m.b);
        break;
    case msg::paint_menu_band:
        cairo_set_source_rgb(paint_context(), 0, 1, 0);
        cairo_paint(paint_context());
        return 0;
    case msg::set_cursor:
        if (!probe_cursor) return default_procedure(w, m);
        driver().set_color_cursor(probe_cursor);
        return 1;
    case msg::timer:
        if (m.a == stdin_check_timer && stdin_ended()) post_quit(0);
        return 0;
    case msg::key_down: std::printf("key-down %llu\n", (unsigned long long)m.a); break;
    case msg::character: std::printf("char %llu\n", (unsigned long long)m.a); break;
    case msg::key_up: std::printf("key-up %llu\n", (unsigned long long)m.a); break;
    case msg::state_changed: std::printf("state %llu\n", (unsigned long long)m.a); break;
    case msg::size_move_begin: std::printf("size-move begin\n"); break;
    case msg::size_move_end: std::printf("size-move end\n"); break;
    case msg::close: return 0;
    default: return default_procedure(w, m);
    }
    std::fflush(stdout);
    return 0;
}

bool write_ppm(cairo_surface_t* s, const char* path) {
    cairo_surface_flush(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
        for (int x = 0; x < w; ++x) {
            unsigned char rgb[3] = {uint8_t(row[x] >> 16), uint8_t(row[x] >> 8), uint8_t(row[x])};
            std::fwrite(rgb, 1, 3, f);
        }
    }
    return std::fclose(f) == 0;
}

// Pumps messages for a while, so the display maps and shows the window.
void pump_for(uint64_t ms) {
    uint64_t end = driver().now_ms() + ms;
    Message m;
    while (driver().now_ms() < end) {
        while (peek(m, true) && m.kind != msg::quit) {
            translate(m);
            dispatch(m);
        }
        driver().wait(10);
    }
}

bool start_on_display() {
    start();
    if (std::strcmp(driver().name(), "sdl") == 0) return true;
    std::fprintf(stderr, "no display\n");
    return false;
}

void run_until_stdin_ends(WindowId top) {
    set_timer(top, stdin_check_timer, 20);
    run_loop();
    stop();
}

int styles_mode() {
    if (!start_on_display()) return 77;
    register_class({.name = "probe", .procedure = top_procedure, .background = 0xFF3050A0});
    WindowId owner = create_window({.class_name = "probe", .text = "vum-owner", .style = style::resizable,
                                    .rect = {40, 30, 200, 100}, .visible = true, .minimum_size = {150, 80}});
    create_window({.class_name = "probe", .text = "vum-owned", .rect = {300, 30, 100, 60}, .owner = owner, .visible = true});
    create_window({.class_name = "probe", .text = "vum-popup", .style = style::popup, .rect = {60, 150, 120, 80},
                   .owner = owner, .visible = true});
    pump_for(300);
    std::printf("ready\n");
    std::fflush(stdout);
    run_until_stdin_ends(owner);
    return 0;
}

int scale_mode() {
    if (!start_on_display()) return 77;
    std::vector<Monitor> all = driver().monitors();
    std::printf("scale %g\nmonitors %zu\nids", all.empty() ? 0.0 : all[0].scale, all.size());
    for (const Monitor& m : all) std::printf(" %u", m.id);
    std::printf("\n");
    std::fflush(stdout);
    stop();
    return 0;
}

enum class Mode { paint, keys, scroll, cursor, states };

int window_mode(Mode mode, const char* ppm) {
    if (!start_on_display()) return 77;
    register_class({.name = "probe", .procedure = top_procedure, .background = 0xFF3050A0});
    register_class({.name = "red", .procedure = red_child});
    bool scroll_mode = mode == Mode::scroll;
    uint32_t top_style = scroll_mode ? style::vertical_scroll | style::horizontal_scroll : 0;
    if (mode == Mode::states) top_style |= style::resizable;
    const char* title = mode == Mode::states ? "vum-states" : "vum-probe";
    Rect place = {40, 30, 200, scroll_mode ? 150 : 100};
    WindowId top = create_window({.class_name = "probe", .text = title, .style = top_style, .rect = place, .visible = true});
    if (mode == Mode::paint || scroll_mode)
        create_window({.class_name = "red", .style = style::child, .rect = {50, 25, 100, 50}, .parent = top, .visible = true});
    if (scroll_mode) {
        set_menu_band(top, 20);
        set_scroll_state(top, true, {0, 99, 10, 30});
        set_scroll_state(top, false, {0, 9, 0, 0});
    }
    if (mode == Mode::cursor) {
        uint32_t pixels[16 * 16];
        for (uint32_t& p : pixels) p = 0xFF0000FF;
        pixels[5 * 16 + 3] = 0xFFFF0000;
        probe_cursor = driver().create_color_cursor(16, 16, pixels, {3, 5});
        if (!probe_cursor) {
            std::fprintf(stderr, "the colour cursor was not made\n");
            return 1;
        }
        driver().set_color_cursor(probe_cursor);
    }
    input::set_focus(top);
    update_window(top);
    pump_for(500);
    update_window(top);
    Rect r = rect_of(top);
    if (ppm && !write_ppm(back_buffer(top), ppm)) return 1;
    std::printf("ready %d %d %d %d\n", r.x, r.y, r.width, r.height);
    std::fflush(stdout);
    run_until_stdin_ends(top);
    return 0;
}

int probe(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "states") return window_mode(Mode::states, nullptr);
    if (mode == "styles") return styles_mode();
    if (mode == "scale") return scale_mode();
    if (mode == "paint" && argc > 2) return window_mode(Mode::paint, argv[2]);
    if (mode == "scroll" && argc > 2) return window_mode(Mode::scroll, argv[2]);
    if (mode == "keys") return window_mode(Mode::keys, nullptr);
    if (mode == "cursor") return window_mode(Mode::cursor, nullptr);
    // The clipboard modes go through the running window system's driver,
    // as the routines do in a GUI session.
    if (mode.rfind("clip-", 0) == 0) start();
    if ((mode == "clip-write" || mode == "clip-write-png") && argc > 2) {
        vum::clip::Content c;
        if (mode == "clip-write") {
            c.kind = vum::clip::Content::Kind::text;
            c.text = argv[2];
        } else {
            c.kind = vum::clip::Content::Kind::png;
            std::FILE* f = std::fopen(argv[2], "rb");
            if (!f) return 1;
            int ch;
            while ((ch = std::fgetc(f)) != EOF) c.png.push_back(uint8_t(ch));
            std::fclose(f);
        }
        if (!vum::clip::system_clipboard().write(c)) return 1;
        std::printf("ready\n");
        std::fflush(stdout);
        char buffer[256];
        while (read(0, buffer, sizeof buffer) > 0) {}
        return 0;
    }
    if (mode == "clip-read") {
        vum::clip::Content c;
        switch (vum::clip::system_clipboard().read(c)) {
        case vum::clip::ReadStatus::failed: std::printf("failed\n"); break;
        case vum::clip::ReadStatus::empty: std::printf("empty\n"); break;
        case vum::clip::ReadStatus::ok:
            if (c.kind == vum::clip::Content::Kind::text) std::printf("text:%s\n", c.text.c_str());
            else if (c.kind == vum::clip::Content::Kind::png) std::printf("png:%zu\n", c.png.size());
            else std::printf("files:%zu\n", c.files.size());
        }
        // Flushed before exit: a sanitizer's leak report for SDL's own
        // libraries ends the process without flushing.
        std::fflush(stdout);
        stop();
        return 0;
    }
    std::fprintf(stderr,
                 "usage: vum-window-probe paint FILE | scroll FILE | keys | cursor | states | styles | scale | "
                 "clip-write TEXT | clip-write-png FILE | clip-read\n");
    return 2;
}

struct ProbeRun {
    int argc;
    char** argv;
    int status = 0;
};

}  // namespace

int main(int argc, char** argv) {
    ProbeRun run{argc, argv};
    vum::platform::run_on_large_stack(
        vum::platform::runtime_stack_size,
        [](void* p) {
            auto* r = static_cast<ProbeRun*>(p);
            r->status = probe(r->argc, r->argv);
        },
        &run);
    return run.status;
}
