#include "platform/window-system/event-script.h"

#include <cairo.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/window-system/clipboard.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/system-state.h"
#include "platform/window-system/windows.h"

namespace vum::win::events {

namespace {

using K = RawEvent::Kind;

// ---- Keys ----

// The keys of a US keyboard that type punctuation, unshifted and shifted.
constexpr std::string_view unshifted_marks = "1234567890-=[]\\;',./`";
constexpr std::string_view shifted_marks = "!@#$%^&*()_+{}|:\"<>?~";

struct Stroke {
    uint32_t key = 0;
    uint32_t modifiers = 0;
};

// The key that types an ASCII character, and whether shift is held for it.
std::optional<Stroke> stroke_for(uint32_t c) {
    if (c == ' ') return Stroke{key::space, 0};
    if (c >= 'a' && c <= 'z') return Stroke{c - 'a' + 'A', 0};
    if (c >= 'A' && c <= 'Z') return Stroke{c, modifier::shift};
    if (c >= '0' && c <= '9') return Stroke{c, 0};
    if (c == '\n' || c == '\r') return Stroke{key::enter, 0};
    if (c == '\t') return Stroke{key::tab, 0};
    if (c > 0x7F) return std::nullopt;
    if (size_t i = shifted_marks.find(char(c)); i != std::string_view::npos) {
        char base = unshifted_marks[i];
        return Stroke{base >= '0' && base <= '9' ? uint32_t(base) : key::punctuation + uint32_t(base), modifier::shift};
    }
    if (unshifted_marks.find(char(c)) != std::string_view::npos) return Stroke{key::punctuation + c, 0};
    return std::nullopt;
}

// The character a key types with these modifiers held, as the display
// drivers report it: none for a chord with control or alt but the control
// characters.
uint32_t character_of(uint32_t k, uint32_t modifiers) {
    if (modifiers & (modifier::control | modifier::alt | modifier::super)) return control_character(k, modifiers);
    bool shift = modifiers & modifier::shift;
    if (k == key::space) return ' ';
    if (k >= 'A' && k <= 'Z') return shift ? k : k - 'A' + 'a';
    uint32_t mark = 0;
    if (k >= '0' && k <= '9') mark = k;
    if (k > key::punctuation && k < key::punctuation + 0x80) mark = k - key::punctuation;
    if (mark) {
        size_t i = unshifted_marks.find(char(mark));
        if (i == std::string_view::npos) return 0;
        return shift ? uint32_t(uint8_t(shifted_marks[i])) : mark;
    }
    return control_character(k, modifiers);
}

struct KeyName {
    const char* name;
    uint32_t code;
};

constexpr KeyName key_names[] = {
    {"enter", key::enter},         {"return", key::enter},        {"tab", key::tab},
    {"escape", key::escape},       {"esc", key::escape},          {"space", key::space},
    {"backspace", key::backspace}, {"left", key::left},           {"up", key::up},
    {"right", key::right},         {"down", key::down},           {"page-up", key::page_up},
    {"page-down", key::page_down}, {"home", key::home},           {"end", key::end},
    {"insert", key::insert},       {"delete", key::delete_key},   {"menu", key::menu},
    {"pause", key::pause},         {"caps-lock", key::caps_lock}, {"num-lock", key::num_lock},
    {"scroll-lock", key::scroll_lock},
};

constexpr KeyName modifier_names[] = {
    {"shift", modifier::shift}, {"control", modifier::control}, {"ctrl", modifier::control},
    {"alt", modifier::alt},     {"super", modifier::super},
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// "shift+insert", "control+c", "f5", "a", "+": modifiers, then one key.
bool parse_key(std::string_view spec, uint32_t& code, uint32_t& modifiers, std::string& error) {
    modifiers = 0;
    // The last "+" that is not the key itself ends the modifiers.
    size_t split = spec.size() > 1 ? spec.rfind('+', spec.size() - 2) : std::string_view::npos;
    if (split != std::string_view::npos) {
        std::string_view mods = spec.substr(0, split);
        spec = spec.substr(split + 1);
        while (!mods.empty()) {
            size_t plus = mods.find('+');
            std::string name = lower(mods.substr(0, plus));
            bool found = false;
            for (const KeyName& m : modifier_names)
                if (name == m.name) modifiers |= m.code, found = true;
            if (!found) {
                error = "no modifier is called \"" + name + "\" (shift, control, alt, super)";
                return false;
            }
            mods = plus == std::string_view::npos ? std::string_view{} : mods.substr(plus + 1);
        }
    }
    std::string name = lower(spec);
    if (name.size() == 1 && uint8_t(name[0]) > ' ' && uint8_t(name[0]) < 0x7F) {
        std::optional<Stroke> s = stroke_for(uint8_t(spec[0]));
        if (s) {
            code = s->key;
            // "key A" is the key of a, as "key shift+a" would type it.
            if (!(spec[0] >= 'A' && spec[0] <= 'Z')) modifiers |= s->modifiers;
            return true;
        }
    }
    for (const KeyName& k : key_names)
        if (name == k.name) {
            code = k.code;
            return true;
        }
    if (name.size() >= 2 && name[0] == 'f') {
        int n = std::atoi(name.c_str() + 1);
        if (n >= 1 && n <= 24 && name == "f" + std::to_string(n)) {
            code = key::f1 + uint32_t(n - 1);
            return true;
        }
    }
    error = "no key is called \"" + std::string(spec) + "\"";
    return false;
}

// ---- Text ----

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The code point at text[i], moving i past it; false when the bytes there
// are not UTF-8.
bool next_code_point(std::string_view text, size_t& i, uint32_t& c) {
    auto b = uint8_t(text[i]);
    int more = b < 0x80 ? 0 : b >= 0xC2 && b < 0xE0 ? 1 : b >= 0xE0 && b < 0xF0 ? 2 : b >= 0xF0 && b < 0xF5 ? 3 : -1;
    if (more < 0 || text.size() - i <= size_t(more)) return false;
    c = more == 0 ? b : b & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
        auto t = uint8_t(text[i + size_t(k)]);
        if ((t & 0xC0) != 0x80) return false;
        c = (c << 6) | (t & 0x3F);
    }
    static constexpr uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += size_t(more) + 1;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One ^ escape, `text[i]` the byte after the caret: as the lexer reads it.
bool read_escape(std::string_view text, size_t& i, uint32_t& c) {
    if (i >= text.size()) return false;
    char b = text[i];
    switch (b) {
    case '"': case '^': case '{': case '}': c = uint8_t(b); ++i; return true;
    case '-': c = 9; ++i; return true;
    case '/': c = 10; ++i; return true;
    case '~': c = 127; ++i; return true;
    case '@': c = 0; ++i; return true;
    default: break;
    }
    if (b >= 'a' && b <= 'z') {
        c = uint32_t(b - 'a' + 1);
        ++i;
        return true;
    }
    if ((b >= 'A' && b <= 'Z') || b == '[' || b == '\\' || b == ']' || b == '_') {
        c = uint32_t(b - 64);
        ++i;
        return true;
    }
    if (b == '(') {
        size_t close = text.find(')', i);
        if (close == std::string_view::npos) return false;
        std::string name = lower(text.substr(i + 1, close - i - 1));
        static const KeyName named[] = {{"null", 0}, {"back", 8},  {"tab", 9},  {"line", 10},
                                        {"page", 12}, {"esc", 27}, {"del", 127}};
        for (const KeyName& n : named)
            if (name == n.name) {
                c = n.code;
                i = close + 1;
                return true;
            }
        if (name.empty() || name.size() > 6) return false;
        c = 0;
        for (char d : name) {
            if (hex_digit(d) < 0) return false;
            c = c << 4 | uint32_t(hex_digit(d));
        }
        if (c > 0x10FFFF) return false;
        i = close + 1;
        return true;
    }
    return next_code_point(text, i, c);
}

// ---- Lines ----

void skip_blanks(std::string_view text, size_t& i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
}

std::string_view next_token(std::string_view text, size_t& i) {
    skip_blanks(text, i);
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') ++i;
    return text.substr(start, i - start);
}

bool read_integer(std::string_view token, int64_t low, int64_t high, int64_t& value) {
    size_t i = token.size() && token[0] == '-' ? 1 : 0;
    if (i == token.size() || token.size() > 12) return false;
    int64_t v = 0;
    for (size_t k = i; k < token.size(); ++k) {
        if (token[k] < '0' || token[k] > '9') return false;
        v = v * 10 + (token[k] - '0');
    }
    value = i ? -v : v;
    return value >= low && value <= high;
}

struct Form {
    const char* name;
    Command::Kind kind;
    const char* usage;
};

constexpr Form forms[] = {
    {"type", Command::Kind::type, "type \"text\""},
    {"key", Command::Kind::key, "key [MODIFIER+]KEY"},
    {"click", Command::Kind::click, "click X Y"},
    {"down", Command::Kind::down, "down X Y"},
    {"move", Command::Kind::move, "move X Y"},
    {"up", Command::Kind::up, "up X Y"},
    {"wheel", Command::Kind::wheel, "wheel NOTCHES (not 0)"},
    {"clipboard", Command::Kind::clipboard, "clipboard \"text\""},
    {"resize", Command::Kind::resize, "resize WIDTHxHEIGHT"},
    {"close", Command::Kind::close, "close"},
    {"wait", Command::Kind::wait, "wait MILLISECONDS"},
    {"dump", Command::Kind::dump, "dump"},
    {"shot", Command::Kind::shot, "shot FILE.png"},
};

constexpr int64_t coordinate_limit = 1 << 20;

// The arguments of a command of the form; false when they do not read.
bool read_arguments(const Form& form, std::string_view text, size_t i, Command& c, std::string& error) {
    using Kind = Command::Kind;
    auto at_end = [&] {
        skip_blanks(text, i);
        return i == text.size();
    };
    auto string_argument = [&] {
        skip_blanks(text, i);
        size_t used = read_string(text.substr(i), c.text, error);
        if (!used) return false;
        i += used;
        return true;
    };
    switch (form.kind) {
    case Kind::type:
    case Kind::clipboard:
        if (!string_argument()) return false;
        if (form.kind == Kind::type && c.text.empty()) {
            error = "there is nothing to type";
            return false;
        }
        return at_end();
    case Kind::key: {
        std::string_view spec = next_token(text, i);
        if (spec.empty() || !at_end()) return false;
        return parse_key(spec, c.key, c.modifiers, error);
    }
    case Kind::click:
    case Kind::down:
    case Kind::move:
    case Kind::up: {
        int64_t x = 0, y = 0;
        if (!read_integer(next_token(text, i), -coordinate_limit, coordinate_limit, x) ||
            !read_integer(next_token(text, i), -coordinate_limit, coordinate_limit, y) || !at_end())
            return false;
        c.point = {int32_t(x), int32_t(y)};
        return true;
    }
    case Kind::wheel:
        return read_integer(next_token(text, i), -10000, 10000, c.number) && c.number != 0 && at_end();
    case Kind::resize: {
        std::string_view size = next_token(text, i);
        size_t x = size.find_first_of("xX");
        int64_t w = 0, h = 0;
        if (x == std::string_view::npos || !read_integer(size.substr(0, x), 1, 1 << 15, w) ||
            !read_integer(size.substr(x + 1), 1, 1 << 15, h) || !at_end())
            return false;
        c.point = {int32_t(w), int32_t(h)};
        return true;
    }
    case Kind::wait:
        return read_integer(next_token(text, i), 0, int64_t(1) << 40, c.number) && at_end();
    case Kind::shot:
        skip_blanks(text, i);
        if (i < text.size() && (text[i] == '"' || text[i] == '{')) {
            if (!string_argument()) return false;
        } else {
            c.text = std::string(next_token(text, i));
        }
        if (c.text.empty()) return false;
        return at_end();
    case Kind::close:
    case Kind::dump:
        return at_end();
    }
    return false;
}

// ---- Running ----

ExitHook exit_hook = nullptr;
DumpHook dump_hook = nullptr;

void exit_process(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}

detail::ScriptState* script() {
    detail::System* s = detail::current();
    return s && s->script.running ? &s->script : nullptr;
}

void report(const std::string& name, int32_t line, const std::string& message) {
    if (line > 0)
        std::fprintf(stderr, "vum: event script %s, line %d: %s\n", name.c_str(), line, message.c_str());
    else
        std::fprintf(stderr, "vum: event script %s: %s\n", name.c_str(), message.c_str());
    std::fflush(stderr);
}

// Every window closes, then the hook ends the process. A hook that
// returns leaves the loop that fed the script to end by a quit.
void finish(int status) {
    detail::System* s = detail::current();
    if (!s) return;
    s->script.running = false;
    uint64_t serial = s->serial;
    for (WindowId top : top_levels()) {
        destroy_window(top);
        if (detail::current_serial() != serial) break;
    }
    (exit_hook ? exit_hook : exit_process)(status);
    if (detail::current_serial() == serial) post_quit(status);
}

// The window a line acts on: the active top-level, else the topmost shown.
WindowId target_window() {
    WindowId active = input::active();
    if (active != no_window && is_visible(active)) return active;
    std::vector<WindowId> tops = top_levels();
    for (auto it = tops.rbegin(); it != tops.rend(); ++it)
        if (is_visible(*it)) return *it;
    return no_window;
}

enum class Outcome { done, injected, waiting, failed };

Outcome run(const Command& c, detail::ScriptState& st, std::string& error) {
    using Kind = Command::Kind;
    switch (c.kind) {
    case Kind::clipboard: {
        clip::Content content;
        content.kind = clip::Content::Kind::text;
        content.text = c.text;
        if (driver().clipboard().write(content)) return Outcome::done;
        error = "the clipboard could not be taken";
        return Outcome::failed;
    }
    case Kind::wait:
        st.resume_at = driver().now_ms() + uint64_t(c.number);
        return c.number > 0 ? Outcome::waiting : Outcome::done;
    case Kind::dump:
        (dump_hook ? dump_hook : dump_window_texts)();
        return Outcome::done;
    default: break;
    }
    WindowId top = target_window();
    if (top == no_window) {
        error = "no window is shown";
        return Outcome::failed;
    }
    if (c.kind == Kind::shot) {
        update_window(top);
        cairo_surface_t* buffer = back_buffer(top);
        if (!buffer) {
            error = "the window has no image";
            return Outcome::failed;
        }
        cairo_surface_flush(buffer);
        cairo_status_t status = cairo_surface_write_to_png(buffer, c.text.c_str());
        if (status == CAIRO_STATUS_SUCCESS) return Outcome::done;
        error = "cannot write " + c.text + ": " + cairo_status_to_string(status);
        return Outcome::failed;
    }
    // Routed with what the display reports, after it.
    // The script's points are in the client area, which scroll bars and a
    // menu band may move within the surface.
    Command placed = c;
    if (c.kind == Kind::click || c.kind == Kind::down || c.kind == Kind::move || c.kind == Kind::up) {
        Point screen = to_screen(top, c.point);
        Rect r = rect_of(top);
        placed.point = {screen.x - r.x, screen.y - r.y};
    }
    uint64_t now = driver().now_ms();
    for (RawEvent e : input_events(placed, surface_of(top), st.pointer)) {
        e.time = now;
        detail::current()->queue.raw.push_back(e);
    }
    return Outcome::injected;
}

}  // namespace

size_t read_string(std::string_view text, std::string& out, std::string& error) {
    out.clear();
    if (text.empty() || (text[0] != '"' && text[0] != '{')) {
        error = "a string starts with \" or {";
        return 0;
    }
    bool braces = text[0] == '{';
    int depth = 1;
    size_t i = 1;
    while (i < text.size()) {
        char b = text[i];
        if (b == '^') {
            size_t at = i++;
            uint32_t c = 0;
            if (!read_escape(text, i, c)) {
                size_t close = at + 1 < text.size() && text[at + 1] == '(' ? text.find(')', at) : at + 1;
                size_t shown = close == std::string_view::npos ? 2 : std::min<size_t>(close + 1 - at, 10);
                error = "the escape " + std::string(text.substr(at, shown)) + " does not read";
                return 0;
            }
            append_utf8(out, c);
            continue;
        }
        if (!braces && b == '"') return i + 1;
        if (braces && b == '{') ++depth;
        if (braces && b == '}' && --depth == 0) return i + 1;
        uint32_t c = 0;
        size_t from = i;
        if (!next_code_point(text, i, c)) {
            error = "the string is not UTF-8";
            return 0;
        }
        out.append(text.substr(from, i - from));
    }
    error = braces ? "the string has no closing }" : "the string has no closing \"";
    return 0;
}

bool parse_line(std::string_view text, std::optional<Command>& command, std::string& error) {
    command.reset();
    size_t i = 0;
    skip_blanks(text, i);
    if (i == text.size() || text[i] == ';') return true;
    std::string_view word = next_token(text, i);
    for (const Form& form : forms) {
        if (word != form.name) continue;
        Command c;
        c.kind = form.kind;
        error.clear();
        if (!read_arguments(form, text, i, c, error)) {
            if (error.empty()) error = std::string("expected ") + form.usage;
            return false;
        }
        command = std::move(c);
        return true;
    }
    error = "no command is called \"" + std::string(word) + "\"";
    return false;
}

std::vector<RawEvent> input_events(const Command& c, SurfaceId surface, Point& pointer) {
    std::vector<RawEvent> out;
    auto event = [&](K kind) -> RawEvent& {
        RawEvent& e = out.emplace_back();
        e.kind = kind;
        e.surface = surface;
        return e;
    };
    auto stroke = [&](uint32_t k, uint32_t modifiers, uint32_t character) {
        RawEvent& down = event(K::key_down);
        down.key = k;
        down.modifiers = modifiers;
        down.character = character;
        RawEvent& up = event(K::key_up);
        up.key = k;
        up.modifiers = modifiers;
    };
    auto mouse = [&](K kind, Point at) {
        RawEvent& e = event(kind);
        e.position = at;
        if (kind == K::button_down || kind == K::button_up) e.button = button::left;
        pointer = at;
    };
    using Kind = Command::Kind;
    switch (c.kind) {
    case Kind::type:
        for (size_t i = 0; i < c.text.size();) {
            uint32_t ch = 0;
            if (!next_code_point(c.text, i, ch)) break;
            if (std::optional<Stroke> s = stroke_for(ch))
                stroke(s->key, s->modifiers, character_of(s->key, s->modifiers));
            else
                event(K::text).character = ch;
        }
        break;
    case Kind::key: stroke(c.key, c.modifiers, character_of(c.key, c.modifiers)); break;
    case Kind::click:
        mouse(K::mouse_move, c.point);
        mouse(K::button_down, c.point);
        mouse(K::button_up, c.point);
        break;
    case Kind::down: mouse(K::button_down, c.point); break;
    case Kind::move: mouse(K::mouse_move, c.point); break;
    case Kind::up: mouse(K::button_up, c.point); break;
    case Kind::wheel: {
        RawEvent& e = event(K::wheel);
        e.position = pointer;
        e.delta = int32_t(c.number) * 120;  // whole notches, as a display counts them in 1/120
        break;
    }
    case Kind::resize: event(K::resized).position = c.point; break;
    case Kind::close: event(K::close); break;
    default: break;
    }
    return out;
}

void set_exit_hook(ExitHook hook) { exit_hook = hook; }

void set_dump_hook(DumpHook hook) { dump_hook = hook; }

// A line per shown window, top-levels in creation order and each one's
// windows in painting order, line breaks written as the language writes
// them so that a text stays on its line.
void dump_window_texts() {
    for (WindowId top : top_levels()) {
        if (!is_visible(top)) continue;
        for (WindowId w : subtree(top)) {
            if (!is_visible(w)) continue;
            std::string line;
            for (char c : text_of(w)) {
                if (c == '\n') line += "^/";
                else if (c == '^') line += "^^";
                else line += c;
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
    }
    std::fflush(stdout);
}

void begin(std::string_view text, const std::string& name) {
    detail::System* s = detail::current();
    if (!s) return;
    detail::ScriptState st;
    st.name = name;
    st.running = true;
    int32_t number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        std::optional<Command> c;
        std::string error;
        if (!parse_line(text.substr(start, end - start), c, error)) {
            report(name, number, error);
            s->script = std::move(st);
            finish(1);
            return;
        }
        if (c) {
            c->line = number;
            st.commands.push_back(std::move(*c));
        }
        start = end + 1;
    }
    s->script = std::move(st);
}

void begin_from_environment() {
    const char* path = std::getenv("VUM_GUI_EVENTS");
    if (!path || !*path || !detail::current()) return;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file) text << file.rdbuf();
    if (!file || file.bad()) {
        report(path, 0, std::string("cannot be read: ") + std::strerror(errno));
        finish(1);
        return;
    }
    begin(text.str(), path);
}

bool scripted() { return script() != nullptr; }

bool feed(int64_t& timeout_ms) {
    detail::ScriptState* st = script();
    if (!st) return false;
    uint64_t serial = detail::current_serial();
    uint64_t now = driver().now_ms();
    auto hold_until_resume = [&] {
        auto left = int64_t(st->resume_at - now);
        if (timeout_ms < 0 || timeout_ms > left) timeout_ms = left;
        return false;
    };
    if (now < st->resume_at) return hold_until_resume();
    while (st->next < st->commands.size()) {
        Command c = st->commands[st->next++];
        std::string error;
        Outcome outcome = run(c, *st, error);
        // A procedure the line reached may have stopped the system.
        if (detail::current_serial() != serial) return true;
        switch (outcome) {
        case Outcome::done: continue;
        case Outcome::injected: return true;
        case Outcome::waiting: now = driver().now_ms(); return hold_until_resume();
        case Outcome::failed:
            report(st->name, c.line, error);
            finish(1);
            return true;
        }
    }
    finish(0);
    return true;
}

}  // namespace vum::win::events
