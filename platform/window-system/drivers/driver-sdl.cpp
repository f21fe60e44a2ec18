#include "platform/window-system/drivers/driver-sdl.h"

#include <SDL2/SDL.h>
#include <cairo.h>

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

// The first code point of UTF-8 text, and whether it was the only one.
uint32_t single_code_point(const char* text, bool& single) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    uint32_t c = p[0];
    int more = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    c &= more == 0 ? 0x7F : more == 1 ? 0x1F : more == 2 ? 0x0F : 0x07;
    int i = 1;
    for (; i <= more && p[i]; ++i) c = (c << 6) | (p[i] & 0x3F);
    single = p[0] != 0 && p[i] == 0;
    return c;
}

class SdlDriver : public DisplayDriver {
public:
    SdlDriver() { wake_event_ = SDL_RegisterEvents(1); }
    ~SdlDriver() override {
        for (auto& [id, cursor] : cursors_) SDL_FreeCursor(cursor);
        for (auto& [id, window] : windows_) SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    const char* name() const override { return "sdl"; }

    SurfaceId create_surface(const Rect& area, const std::string& title) override {
        SDL_Window* w = SDL_CreateWindow(title.c_str(), area.x, area.y, std::max(area.width, 1),
                                         std::max(area.height, 1), SDL_WINDOW_HIDDEN);
        if (!w) return 0;
        SurfaceId id = SDL_GetWindowID(w);
        windows_[id] = w;
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
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (convert(e, event)) return true;
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

    std::vector<Monitor> monitors() override {
        std::vector<Monitor> out;
        for (int i = 0, n = SDL_GetNumVideoDisplays(); i < n; ++i) {
            SDL_Rect r;
            if (SDL_GetDisplayBounds(i, &r) != 0) continue;
            float dpi = 0;
            double scale = SDL_GetDisplayDPI(i, &dpi, nullptr, nullptr) == 0 && dpi > 0 ? dpi / 96.0 : 1.0;
            out.push_back(Monitor{{r.x, r.y, r.w, r.h}, scale});
        }
        return out;
    }

    void enable_text_input(bool on) override { on ? SDL_StartTextInput() : SDL_StopTextInput(); }

    clip::Clipboard& clipboard() override { return clip::display_clipboard(); }

private:
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
        case SDL_TEXTINPUT: {
            bool single = false;
            out.kind = K::text;
            out.surface = e.text.windowID;
            out.character = single_code_point(e.text.text, single);
            return out.character != 0;
        }
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
            out.horizontal = e.wheel.y == 0 && e.wheel.x != 0;
            out.delta = out.horizontal ? e.wheel.x : e.wheel.y;
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
            default: return false;
            }
        default: return false;
        }
    }

    std::map<SurfaceId, SDL_Window*> windows_;
    std::map<int, SDL_Cursor*> cursors_;
    uint32_t wake_event_ = 0;
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

std::unique_ptr<DisplayDriver> make_sdl_driver() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    // A window's pixels are copies of its back buffer: X11's shared-memory
    // image takes them as they are, where a renderer would load Mesa's
    // software GL (its JIT and threads, and memory lost when SDL unloads it).
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return nullptr;
    return std::make_unique<SdlDriver>();
}

}  // namespace vum::win
