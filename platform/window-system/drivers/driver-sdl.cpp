#include "platform/window-system/drivers/driver-sdl.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <cairo.h>

#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>

#include "platform/window-system/window-messages.h"

namespace vum::win {

namespace {

uint32_t modifiers_from_sdl(uint16_t mod) {
    uint32_t m = 0;
    if (mod & KMOD_SHIFT) m |= modifier::shift;
    if (mod & KMOD_CTRL) m |= modifier::control;
    if (mod & KMOD_ALT) m |= modifier::alt;
    if (mod & KMOD_GUI) m |= modifier::super;
    return m;
}

uint32_t button_from_sdl(uint8_t b) {
    switch (b) {
    case SDL_BUTTON_LEFT: return button::left;
    case SDL_BUTTON_RIGHT: return button::right;
    case SDL_BUTTON_MIDDLE: return button::middle;
    case SDL_BUTTON_X1: return button::extra1;
    default: return button::extra2;
    }
}

// The code point UTF-8 text starts with; `p` moves past it.
uint32_t next_code_point(const unsigned char*& p) {
    uint32_t c = *p++;
    int more = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    c &= more == 0 ? 0x7F : more == 1 ? 0x1F : more == 2 ? 0x0F : 0x07;
    for (int i = 0; i < more && *p; ++i) c = (c << 6) | (*p++ & 0x3F);
    return c;
}

// The first code point of UTF-8 text, and whether it was the only one.
uint32_t single_code_point(const char* text, bool& single) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (!*p) {
        single = false;
        return 0;
    }
    uint32_t c = next_code_point(p);
    single = *p == 0;
    return c;
}

// The scale the X server's resources give now. A connection of our own:
// SDL's is not shared, and Xlib reads the resources when it connects, so
// a fresh one sees an `xrdb -merge` made since.
double read_x_resource_scale() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 1.0;
    double scale = scale_from_x_resources(XResourceManagerString(d));
    XCloseDisplay(d);
    return scale;
}

// The X window of an SDL window, or 0 when it is not on X11.
Window x_window_of(SDL_Window* w, Display** display) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(w, &info) || info.subsystem != SDL_SYSWM_X11) return 0;
    *display = info.info.x11.display;
    return info.info.x11.window;
}

class SdlDriver : public DisplayDriver {
public:
    SdlDriver() {
        wake_event_ = SDL_RegisterEvents(1);
        scale_ = read_x_resource_scale();
    }
    ~SdlDriver() override {
        for (auto& [id, cursor] : cursors_) SDL_FreeCursor(cursor);
        for (auto& [id, cursor] : color_cursors_) SDL_FreeCursor(cursor);
        for (auto& [id, window] : windows_) SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    const char* name() const override { return "sdl"; }

    SurfaceId create_surface(const Rect& area, const std::string& title, const SurfaceStyle& style) override {
        uint32_t flags = SDL_WINDOW_HIDDEN;
        if (style.resizable) flags |= SDL_WINDOW_RESIZABLE;
        if (style.borderless) flags |= SDL_WINDOW_BORDERLESS;
        if (style.fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
        // On X11 a popup menu window is override-redirect: the window
        // manager neither frames it, lists it, nor gives it the focus.
        if (style.popup) flags |= SDL_WINDOW_POPUP_MENU | SDL_WINDOW_SKIP_TASKBAR | SDL_WINDOW_BORDERLESS;
        SDL_Window* w = SDL_CreateWindow(title.c_str(), area.x, area.y, std::max(area.width, 1),
                                         std::max(area.height, 1), flags);
        if (!w) return 0;
        SurfaceId id = SDL_GetWindowID(w);
        windows_[id] = w;
        if (style.min_width > 0 || style.min_height > 0)
            SDL_SetWindowMinimumSize(w, std::max(style.min_width, 1), std::max(style.min_height, 1));
        // Transient-for keeps it above its owner, and nothing more: the
        // owner stays as usable as before.
        if (SDL_Window* owner = window(style.owner)) {
            Display* d = nullptr;
            Display* owner_display = nullptr;
            Window xw = x_window_of(w, &d), xowner = x_window_of(owner, &owner_display);
            if (xw && xowner) XSetTransientForHint(d, xw, xowner);
        }
        return id;
    }

    void destroy_surface(SurfaceId surface) override {
        if (SDL_Window* w = window(surface)) SDL_DestroyWindow(w);
        windows_.erase(surface);
    }

    void show_surface(SurfaceId surface, bool shown) override {
        if (SDL_Window* w = window(surface)) shown ? SDL_ShowWindow(w) : SDL_HideWindow(w);
    }

    void place_surface(SurfaceId surface, const Rect& area) override {
        if (SDL_Window* w = window(surface)) {
            SDL_SetWindowPosition(w, area.x, area.y);
            SDL_SetWindowSize(w, std::max(area.width, 1), std::max(area.height, 1));
        }
    }

    void set_title(SurfaceId surface, const std::string& title) override {
        if (SDL_Window* w = window(surface)) SDL_SetWindowTitle(w, title.c_str());
    }

    void present(SurfaceId surface, cairo_surface_t* back_buffer, const Rect& dirty) override {
        SDL_Window* w = window(surface);
        if (!w || !back_buffer) return;
        SDL_Surface* target = SDL_GetWindowSurface(w);
        if (!target) return;
        int width = cairo_image_surface_get_width(back_buffer);
        int height = cairo_image_surface_get_height(back_buffer);
        // Cairo's ARGB32 is SDL's ARGB8888 on this byte order; the window
        // is opaque, so the pixels are copied, not blended.
        SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(cairo_image_surface_get_data(back_buffer), width,
                                                                 height, 32, cairo_image_surface_get_stride(back_buffer),
                                                                 SDL_PIXELFORMAT_ARGB8888);
        if (!source) return;
        SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_NONE);
        Rect part = intersect(dirty, {0, 0, std::min(width, target->w), std::min(height, target->h)});
        SDL_Rect r{part.x, part.y, part.width, part.height};
        SDL_Rect to = r;
        if (!part.empty()) {
            SDL_BlitSurface(source, &r, target, &to);
            SDL_UpdateWindowSurfaceRects(w, &r, 1);
        }
        SDL_FreeSurface(source);
    }

    bool next_event(RawEvent& event) override {
        if (take_pending(event)) return true;
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (convert(e, event)) return true;
            if (take_pending(event)) return true;
        }
        return false;
    }

    bool wait(int64_t timeout_ms) override {
        int limit = timeout_ms < 0 ? -1 : int(std::min<int64_t>(timeout_ms, 1 << 30));
        SDL_WaitEventTimeout(nullptr, limit);
        return true;
    }

    void wake() override {
        SDL_Event e{};
        e.type = wake_event_;
        SDL_PushEvent(&e);
    }

    uint64_t now_ms() override { return SDL_GetTicks64(); }

    void set_cursor(Cursor cursor) override {
        if (cursor == Cursor::hidden) {
            SDL_ShowCursor(SDL_DISABLE);
            return;
        }
        SDL_ShowCursor(SDL_ENABLE);
        SDL_SystemCursor kind = SDL_SYSTEM_CURSOR_ARROW;
        switch (cursor) {
        case Cursor::ibeam: kind = SDL_SYSTEM_CURSOR_IBEAM; break;
        case Cursor::wait: kind = SDL_SYSTEM_CURSOR_WAIT; break;
        case Cursor::crosshair: kind = SDL_SYSTEM_CURSOR_CROSSHAIR; break;
        case Cursor::hand: kind = SDL_SYSTEM_CURSOR_HAND; break;
        case Cursor::size_horizontal: kind = SDL_SYSTEM_CURSOR_SIZEWE; break;
        case Cursor::size_vertical: kind = SDL_SYSTEM_CURSOR_SIZENS; break;
        case Cursor::size_all: kind = SDL_SYSTEM_CURSOR_SIZEALL; break;
        case Cursor::no: kind = SDL_SYSTEM_CURSOR_NO; break;
        default: break;
        }
        SDL_Cursor*& made = cursors_[int(kind)];
        if (!made) made = SDL_CreateSystemCursor(kind);
        if (made) SDL_SetCursor(made);
    }

    // One scale for every monitor: X gives the user's choice once, for
    // the whole screen.
    std::vector<Monitor> monitors() override {
        std::vector<Monitor> out;
        for (int i = 0, n = SDL_GetNumVideoDisplays(); i < n; ++i) {
            SDL_Rect r;
            if (SDL_GetDisplayBounds(i, &r) != 0) continue;
            const char* name = SDL_GetDisplayName(i);
            std::string key = std::string(name ? name : "") + "@" + std::to_string(r.x) + "," + std::to_string(r.y);
            out.push_back(Monitor{{r.x, r.y, r.w, r.h}, scale_, monitor_ids_.id_for(key)});
        }
        return out;
    }

    void enable_text_input(bool on) override { on ? SDL_StartTextInput() : SDL_StopTextInput(); }

    clip::Clipboard& clipboard() override { return clip::display_clipboard(); }

    void set_surface_state(SurfaceId surface, SurfaceState state) override {
        SDL_Window* w = window(surface);
        if (!w) return;
        switch (state) {
        case SurfaceState::minimised: SDL_MinimizeWindow(w); break;
        case SurfaceState::maximised: SDL_MaximizeWindow(w); break;
        case SurfaceState::restored: SDL_RestoreWindow(w); break;
        }
    }

    Point pointer_position() override {
        int x = 0, y = 0;
        SDL_GetGlobalMouseState(&x, &y);
        return {x, y};
    }

    // ---- Input methods and colour cursors ----

    // SDL keeps one rectangle, for whichever window has the keyboard.
    void set_text_input_rect(SurfaceId surface, const Rect& area) override {
        if (!window(surface)) return;
        SDL_Rect r{area.x, area.y, std::max(area.width, 0), std::max(area.height, 0)};
        SDL_SetTextInputRect(&r);
    }

    uint32_t create_color_cursor(int32_t width, int32_t height, const uint32_t* pixels, Point hot_spot) override {
        if (!color_cursor_fits(width, height, pixels, hot_spot)) return 0;
        // SDL copies the pixels; its ARGB8888 is straight alpha.
        SDL_Surface* image = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint32_t*>(pixels), width, height, 32,
                                                                width * 4, SDL_PIXELFORMAT_ARGB8888);
        if (!image) return 0;
        SDL_Cursor* made = SDL_CreateColorCursor(image, hot_spot.x, hot_spot.y);
        SDL_FreeSurface(image);
        if (!made) return 0;
        uint32_t id = next_color_cursor_++;
        color_cursors_[id] = made;
        return id;
    }

    void set_color_cursor(uint32_t cursor) override {
        auto it = color_cursors_.find(cursor);
        if (it == color_cursors_.end()) return;
        SDL_ShowCursor(SDL_ENABLE);
        SDL_SetCursor(it->second);
    }

    // SDL puts its default cursor back when the one shown is freed.
    void destroy_color_cursor(uint32_t cursor) override {
        auto it = color_cursors_.find(cursor);
        if (it == color_cursors_.end()) return;
        SDL_FreeCursor(it->second);
        color_cursors_.erase(it);
    }

private:
    bool take_pending(RawEvent& event) {
        if (pending_.empty()) return false;
        event = std::move(pending_.front());
        pending_.pop_front();
        return true;
    }

    // SDL reports only the text being composed: a composition starts with
    // its first text and ends when the text empties or is committed.
    void composing(SurfaceId surface, const char* text, int32_t caret) {
        RawEvent e;
        e.surface = surface;
        e.time = SDL_GetTicks64();
        if (!*text) {
            end_composition(surface);
            return;
        }
        if (!composing_) {
            e.kind = RawEvent::Kind::composition_start;
            pending_.push_back(e);
            composing_ = true;
        }
        e.kind = RawEvent::Kind::composition;
        e.text = text;
        e.caret = std::max(caret, 0);
        pending_.push_back(e);
    }

    void end_composition(SurfaceId surface) {
        if (!composing_) return;
        composing_ = false;
        RawEvent e;
        e.kind = RawEvent::Kind::composition_end;
        e.surface = surface;
        e.time = SDL_GetTicks64();
        pending_.push_back(e);
    }

    // Committed text, a `text` event for each of its characters.
    void committed(SurfaceId surface, const char* text) {
        end_composition(surface);
        const auto* p = reinterpret_cast<const unsigned char*>(text);
        while (*p) {
            RawEvent e;
            e.kind = RawEvent::Kind::text;
            e.surface = surface;
            e.time = SDL_GetTicks64();
            e.character = next_code_point(p);
            if (e.character) pending_.push_back(e);
        }
    }

    SDL_Window* window(SurfaceId surface) {
        auto it = windows_.find(surface);
        return it == windows_.end() ? nullptr : it->second;
    }

    bool convert(const SDL_Event& e, RawEvent& out) {
        using K = RawEvent::Kind;
        out = RawEvent{};
        out.time = SDL_GetTicks64();
        switch (e.type) {
        case SDL_KEYDOWN:
        case SDL_KEYUP: {
            out.kind = e.type == SDL_KEYDOWN ? K::key_down : K::key_up;
            out.surface = e.key.windowID;
            out.key = key_from_sdl(e.key.keysym.sym);
            out.modifiers = modifiers_from_sdl(e.key.keysym.mod);
            // The text a key types follows it as an event of its own: one
            // character joins its key, anything longer stays text.
            SDL_Event next;
            bool single = false;
            // Only the event right behind it: a later key's text is that key's.
            if (e.type == SDL_KEYDOWN && SDL_PeepEvents(&next, 1, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1 &&
                next.type == SDL_TEXTINPUT) {
                uint32_t c = single_code_point(next.text.text, single);
                if (single) {
                    SDL_PeepEvents(&next, 1, SDL_GETEVENT, SDL_TEXTINPUT, SDL_TEXTINPUT);
                    out.character = c;
                }
            }
            if (e.type == SDL_KEYDOWN && !out.character && !single) out.character = control_character(out.key, out.modifiers);
            return true;
        }
        case SDL_TEXTINPUT:
            committed(e.text.windowID, e.text.text);
            return false;
        case SDL_TEXTEDITING:
            composing(e.edit.windowID, e.edit.text, e.edit.start);
            return false;
#if SDL_VERSION_ATLEAST(2, 0, 22)
        case SDL_TEXTEDITING_EXT:
            composing(e.editExt.windowID, e.editExt.text ? e.editExt.text : "", e.editExt.start);
            SDL_free(e.editExt.text);
            return false;
#endif
        case SDL_MOUSEMOTION:
            out.kind = K::mouse_move;
            out.surface = e.motion.windowID;
            out.position = {e.motion.x, e.motion.y};
            out.modifiers = modifiers_from_sdl(SDL_GetModState());
            return true;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            out.kind = e.type == SDL_MOUSEBUTTONDOWN ? K::button_down : K::button_up;
            out.surface = e.button.windowID;
            out.position = {e.button.x, e.button.y};
            out.button = button_from_sdl(e.button.button);
            out.modifiers = modifiers_from_sdl(SDL_GetModState());
            return true;
        case SDL_MOUSEWHEEL: {
            out.kind = K::wheel;
            out.surface = e.wheel.windowID;
            int x = 0, y = 0;
            SDL_GetMouseState(&x, &y);
            out.position = {x, y};
            // In 1/120 notches: a smooth wheel or touchpad moves by less
            // than one.
#if SDL_VERSION_ATLEAST(2, 0, 18)
            float dx = e.wheel.preciseX, dy = e.wheel.preciseY;
#else
            float dx = float(e.wheel.x), dy = float(e.wheel.y);
#endif
            if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) {
                dx = -dx;
                dy = -dy;
            }
            out.horizontal = dy == 0 && dx != 0;
            out.delta = int32_t(std::lround((out.horizontal ? dx : dy) * 120.0f));
            out.modifiers = modifiers_from_sdl(SDL_GetModState());
            return out.delta != 0;
        }
        case SDL_WINDOWEVENT:
            out.surface = e.window.windowID;
            switch (e.window.event) {
            case SDL_WINDOWEVENT_CLOSE: out.kind = K::close; return true;
            case SDL_WINDOWEVENT_FOCUS_GAINED: out.kind = K::focus_in; return true;
            case SDL_WINDOWEVENT_FOCUS_LOST: out.kind = K::focus_out; return true;
            case SDL_WINDOWEVENT_LEAVE: out.kind = K::mouse_left; return true;
            case SDL_WINDOWEVENT_EXPOSED: out.kind = K::exposed; return true;
            case SDL_WINDOWEVENT_MOVED:
                out.kind = K::moved;
                out.position = {e.window.data1, e.window.data2};
                return true;
            case SDL_WINDOWEVENT_SIZE_CHANGED:
                out.kind = K::resized;
                out.position = {e.window.data1, e.window.data2};
                return true;
            case SDL_WINDOWEVENT_MINIMIZED: out.kind = K::minimised; return true;
            case SDL_WINDOWEVENT_MAXIMIZED: out.kind = K::maximised; return true;
            case SDL_WINDOWEVENT_RESTORED: out.kind = K::restored; return true;
            default: return false;
            }
        case SDL_DISPLAYEVENT:
            scale_ = read_x_resource_scale();
            out.kind = K::display_changed;
            return true;
        default: return false;
        }
    }

    std::map<SurfaceId, SDL_Window*> windows_;
    std::map<int, SDL_Cursor*> cursors_;
    uint32_t wake_event_ = 0;
    double scale_ = 1.0;
    MonitorIds monitor_ids_;

    // Raw events one SDL event made beyond the first (composition, text).
    std::deque<RawEvent> pending_;
    bool composing_ = false;
    std::map<uint32_t, SDL_Cursor*> color_cursors_;
    uint32_t next_color_cursor_ = 1;
};

}  // namespace

uint32_t key_from_sdl(int32_t k) {
    if (k >= 'a' && k <= 'z') return uint32_t(k - 'a' + 'A');
    if (k >= '0' && k <= '9') return uint32_t(k);
    switch (k) {
    case SDLK_BACKSPACE: return key::backspace;
    case SDLK_TAB: return key::tab;
    case SDLK_RETURN: return key::enter;
    case SDLK_ESCAPE: return key::escape;
    case SDLK_SPACE: return key::space;
    case SDLK_LEFT: return key::left;
    case SDLK_UP: return key::up;
    case SDLK_RIGHT: return key::right;
    case SDLK_DOWN: return key::down;
    case SDLK_PAGEUP: return key::page_up;
    case SDLK_PAGEDOWN: return key::page_down;
    case SDLK_HOME: return key::home;
    case SDLK_END: return key::end;
    case SDLK_INSERT: return key::insert;
    case SDLK_DELETE: return key::delete_key;
    case SDLK_LSHIFT: return key::left_shift;
    case SDLK_RSHIFT: return key::right_shift;
    case SDLK_LCTRL: return key::left_control;
    case SDLK_RCTRL: return key::right_control;
    case SDLK_LALT: return key::left_alt;
    case SDLK_RALT: return key::right_alt;
    case SDLK_LGUI: return key::left_super;
    case SDLK_RGUI: return key::right_super;
    case SDLK_CAPSLOCK: return key::caps_lock;
    case SDLK_NUMLOCKCLEAR: return key::num_lock;
    case SDLK_SCROLLLOCK: return key::scroll_lock;
    case SDLK_PAUSE: return key::pause;
    case SDLK_APPLICATION: return key::menu;
    case SDLK_KP_MULTIPLY: return key::keypad_multiply;
    case SDLK_KP_PLUS: return key::keypad_add;
    case SDLK_KP_MINUS: return key::keypad_subtract;
    case SDLK_KP_PERIOD: return key::keypad_decimal;
    case SDLK_KP_DIVIDE: return key::keypad_divide;
    case SDLK_KP_ENTER: return key::keypad_enter;
    default: break;
    }
    if (k >= SDLK_F1 && k <= SDLK_F12) return key::f1 + uint32_t(k - SDLK_F1);
    if (k >= SDLK_F13 && k <= SDLK_F24) return key::f1 + 12 + uint32_t(k - SDLK_F13);
    if (k == SDLK_KP_0) return key::keypad_0;
    if (k >= SDLK_KP_1 && k <= SDLK_KP_9) return key::keypad_0 + 1 + uint32_t(k - SDLK_KP_1);
    if (k > 32 && k < 127) return key::punctuation + uint32_t(k);
    return key::other;
}

double scale_from_x_resources(const char* resources) {
    if (!resources) return 1.0;
    XrmInitialize();
    XrmDatabase db = XrmGetStringDatabase(resources);
    if (!db) return 1.0;
    char* type = nullptr;
    XrmValue value{};
    double scale = 1.0;
    if (XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
        char* end = nullptr;
        double dpi = std::strtod(value.addr, &end);
        if (end != value.addr && dpi > 0 && dpi < 10000) scale = dpi / 96.0;
    }
    XrmDestroyDatabase(db);
    return scale;
}

std::unique_ptr<DisplayDriver> make_sdl_driver() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    // X11's own framebuffer: an accelerated one would make SDL recreate the
    // X window at the first present, dropping the owner (transient-for)
    // set on the one it replaces, and load Mesa's software GL (its JIT and
    // threads, and memory lost when SDL unloads it). A window's pixels are
    // copies of its back buffer, which X11's shared-memory image takes as
    // they are.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
#ifdef SDL_HINT_IME_SUPPORT_EXTENDED_TEXT
    SDL_SetHint(SDL_HINT_IME_SUPPORT_EXTENDED_TEXT, "1");  // compositions longer than 32 bytes
#endif
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return nullptr;
    return std::make_unique<SdlDriver>();
}

}  // namespace vum::win
