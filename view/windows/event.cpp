// event!: its actions, the event record the loop fills for each message
// that becomes an event, and the call of system/view/awake.
#include "view/windows/event.h"

#include <cmath>
#include <cstring>
#include <strings.h>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "memory/call.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"
#include "view/windows/event-state.h"

namespace vum::view::gui {

// ---- Names ----

namespace {

constexpr const char* type_names[type_count + 1] = {
    nullptr,    "down",     "up",     "mid-down", "mid-up",   "alt-down", "alt-up",   "aux-down", "aux-up",
    "click",    "dbl-click", "wheel", "over",     "key",      "key-down", "key-up",   "ime",      "focus",
    "unfocus",  "enter",    "zoom",   "pan",      "rotate",   "two-tap",  "press-tap", "select",  "change",
    "menu",     "close",    "move",   "resize",   "moving",   "resizing", "time",     "drawing",  "scroll",
    "minimize", "maximize", "restore",
};

enum Field : int32_t {
    f_type = 1, f_face, f_window, f_offset, f_key, f_picked, f_flags, f_away, f_down, f_mid_down, f_alt_down,
    f_aux_down, f_ctrl, f_shift, f_orientation,
};
constexpr int32_t field_count = 15;
constexpr const char* field_names[field_count + 1] = {
    nullptr, "type",      "face",      "window",    "offset", "key",    "picked", "flags",
    "away?", "down?",     "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};

// The flag words of `make`, and of the `flags` field in its order.
struct FlagWord {
    const char* name;
    uint32_t bit;
};
constexpr FlagWord flag_words[] = {
    {"away", flag::away},       {"down", flag::down},   {"mid-down", flag::mid_down},
    {"alt-down", flag::alt_down}, {"aux-down", flag::aux_down}, {"control", flag::ctrl},
    {"shift", flag::shift},     {"alt", flag::alt},     {"command", flag::command},
};
constexpr int32_t flag_word_count = int32_t(sizeof flag_words / sizeof flag_words[0]);

// Canonical symbols of the names above, made on first use. Made before any
// cell pointer a handler was given is read, as making one may allocate.
struct Symbols {
    int32_t types[type_count + 1];
    int32_t fields[field_count + 1];
    int32_t flags[flag_word_count];
    int32_t stop;
};

int32_t canonical_of(const char* text) { return symbols::resolve(symbols::make(text)); }

const Symbols& names() {
    static Symbols s{};
    static bool made = false;
    if (!made) {
        for (int32_t i = 1; i <= type_count; i++) s.types[i] = canonical_of(type_names[i]);
        for (int32_t i = 1; i <= field_count; i++) s.fields[i] = canonical_of(field_names[i]);
        for (int32_t i = 0; i < flag_word_count; i++) s.flags[i] = canonical_of(flag_words[i].name);
        s.stop = canonical_of("stop");
        made = true;
    }
    return s;
}

int32_t canonical_symbol(const Cell* word) { return symbols::resolve(cell::word_symbol(word)); }

// The event type of a word, 0 for none.
uint32_t type_of_word(const Cell* word) {
    int32_t symbol = canonical_symbol(word);
    for (int32_t i = 1; i <= type_count; i++)
        if (names().types[i] == symbol) return uint32_t(i);
    return 0;
}

uint32_t word_to_type(const Cell* word) {
    uint32_t t = type_of_word(word);
    if (!t) {
        gc::Local culprit(*word);
        cell::set_type(&culprit, type_word);
        errors::raise(err::script::not_event_type, &culprit);
    }
    return t;
}

int32_t field_of_word(const Cell* word) {
    if (!cell::is_word_type(cell::type(word))) return 0;
    int32_t symbol = canonical_symbol(word);
    for (int32_t i = 1; i <= field_count; i++)
        if (names().fields[i] == symbol) return i;
    return 0;
}

void make_word(Cell* out, const char* text) { *out = word::load(text); }

bool is_made(const Cell* e) { return (e->header & cell::flag_event_made) != 0; }

}  // namespace

// ---- The message table ----

MessageSlot message_slots[message_slot_count];

// ---- Reading fields ----

namespace {

// The key words by virtual key.
const char* key_word(int32_t vk) {
    switch (vk) {
        case 0x13: return "pause";
        case 0x14: return "caps-lock";
        case 0x21: return "page-up";
        case 0x22: return "page-down";
        case 0x23: return "end";
        case 0x24: return "home";
        case 0x25: return "left";
        case 0x26: return "up";
        case 0x27: return "right";
        case 0x28: return "down";
        case 0x2D: return "insert";
        case 0x2E: return "delete";
        case 0x5B: return "left-command";
        case 0x5C: return "right-command";
        case 0x90: return "num-lock";
        case 0x91: return "scroll-lock";
        case 0xA0: return "left-shift";
        case 0xA1: return "right-shift";
        case 0xA2: return "left-control";
        case 0xA3: return "right-control";
        case 0xA4: return "left-alt";
        case 0xA5: return "right-alt";
        default: break;
    }
    static const char* const function_keys[] = {"F1", "F2", "F3", "F4",  "F5",  "F6",
                                                 "F7", "F8", "F9", "F10", "F11", "F12"};
    if (vk >= 0x70 && vk <= 0x7B) return function_keys[vk - 0x70];
    return nullptr;
}

// The scale of the monitor that holds the window's top-level.
double scale_of(win::WindowId window) {
    std::vector<win::Monitor> monitors = win::driver().monitors();
    if (monitors.empty()) return 1.0;
    if (win::is_window(window)) {
        win::Rect r = win::rect_of(win::top_level_of(window));
        for (const win::Monitor& m : monitors)
            if (r.x >= m.area.x && r.x < m.area.x + m.area.width && r.y >= m.area.y &&
                r.y < m.area.y + m.area.height)
                return m.scale;
    }
    return monitors.front().scale;
}

void logical_point(Cell* out, win::WindowId window, win::Point p) {
    double scale = scale_of(window);
    point_type::make_2d_at(out, p.x / scale, p.y / scale);
}

void read_flags(uint32_t flags, Cell* out) {
    int32_t n = 0;
    for (int32_t i = 0; i < flag_word_count - 1; i++) n += (flags & flag_words[i].bit) != 0;
    block_actions::make_at(out, n);
    for (int32_t i = 0; i < flag_word_count - 1; i++)
        if (flags & flag_words[i].bit) word::load_into_block(symbols::make(flag_words[i].name), out);
}

bool read_flag_bit(int32_t field, uint32_t flags) {
    switch (field) {
        case f_away: return flags & flag::away;
        case f_down: return flags & flag::down;
        case f_mid_down: return flags & flag::mid_down;
        case f_alt_down: return flags & flag::alt_down;
        case f_aux_down: return flags & flag::aux_down;
        case f_ctrl: return flags & flag::ctrl;
        default: return flags & flag::shift;
    }
}

void read_native(const Cell* e, int32_t field, Cell* out) {
    uint32_t kind = cell::event_kind(e);
    uint32_t flags = cell::event_flags(e);
    uint32_t slot = cell::event_target(e);
    const MessageSlot& m = message_slots[slot < message_slot_count ? slot : 0];
    switch (field) {
        case f_face:
        case f_window:
            // Faces are attached to windows by the view engine; until one is,
            // no window has a face.
            cell::make_none(out);
            return;
        case f_offset:
            if ((kind == over && (flags & flag::away)) || (kind >= key && kind <= key_up)) {
                // The pointer where it is now: a leave and a key carry no point.
                win::Point at = win::is_window(m.message.window)
                                    ? win::from_screen(m.message.window, win::driver().pointer_position())
                                    : win::Point{};
                logical_point(out, m.message.window, at);
            } else if (kind == wheel || (kind >= down && kind <= over) || (kind >= move && kind <= resizing)) {
                logical_point(out, m.message.window, m.message.point);
            } else if (kind == menu) {
                logical_point(out, m.message.window, m.menu_point);
            } else {
                cell::make_none(out);
            }
            return;
        case f_key:
            if (kind == key || kind == key_down || kind == key_up) {
                if (m.pending_key == -1) {
                    uint32_t c = kind == key && m.code_point > 0xFFFF ? m.code_point : flags & 0xFFFF;
                    *out = char_type::make(c);
                } else if (const char* w = key_word(m.pending_key)) {
                    make_word(out, w);
                } else if (kind == key) {
                    cell::make_none(out);
                } else {
                    *out = char_type::make(flags & 0xFFFF);
                }
            } else if (kind == wheel) {
                make_word(out, "wheel");
            } else if (kind == scroll) {
                bool vertical = m.message.a & win::scroll::vertical;
                switch (m.message.a & 0xFF) {
                    case 0: make_word(out, vertical ? "up" : "left"); break;
                    case 1: make_word(out, vertical ? "down" : "right"); break;
                    case 2: make_word(out, vertical ? "page-up" : "page-left"); break;
                    case 3: make_word(out, vertical ? "page-down" : "page-right"); break;
                    case 5: make_word(out, "track"); break;
                    default: make_word(out, "end"); break;
                }
            } else {
                cell::make_none(out);
            }
            return;
        case f_picked:
            if (kind == wheel) {
                int32_t delta = int32_t(m.message.b);
                if (delta < -24000) delta += 30720;
                else if (delta > 24000) delta -= 30720;
                cell::make_float(out, delta / 120.0);
            } else if (kind == down || kind == mid_down || kind == alt_down || kind == aux_down ||
                       kind == dbl_click) {
                // No list box is under any point until the view engine makes
                // them.
                cell::make_none(out);
            } else if (kind == scroll) {
                cell::make_integer(out, int32_t(m.message.b));
            } else if (kind == menu) {
                if ((flags & 0xFFFF) == 0xFFFF) cell::make_none(out);
                else word::make_at(int32_t(flags & 0xFFFF), out);
            } else {
                cell::make_integer(out, int16_t(flags & 0xFFFF));
            }
            return;
        case f_orientation:
            if (kind == scroll) make_word(out, (m.message.a & win::scroll::vertical) ? "vertical" : "horizontal");
            else cell::make_none(out);
            return;
        default:
            cell::make_none(out);
            return;
    }
}

// `e` is a copy, so reading may allocate.
void read_field(const Cell* e, int32_t field, Cell* out) {
    uint32_t flags = cell::event_flags(e);
    if (field == f_type) {
        uint32_t kind = cell::event_kind(e);
        if (kind >= 1 && kind <= uint32_t(type_count)) make_word(out, type_names[kind]);
        else cell::make_none(out);  // made without a type
        return;
    }
    if (field == f_flags) return read_flags(flags, out);
    if (field >= f_away && field <= f_shift) {
        cell::make_logic(out, read_flag_bit(field, flags));
        return;
    }
    if (!is_made(e)) return read_native(e, field, out);
    uint32_t block = cell::event_target(e);
    switch (field) {
        case f_face:
        case f_window:
        case f_offset:
        case f_picked: {
            int32_t index = field == f_face ? 0 : field == f_window ? 1 : field == f_offset ? 2 : 3;
            if (block) *out = *block_actions::cell_at(block, index);
            else if (field == f_offset) pair_type::make_at(out, 0, 0);
            else if (field == f_picked) cell::make_integer(out, 0);
            else cell::make_none(out);
            return;
        }
        case f_key:
            if (flags & 0xFFFF) *out = char_type::make(flags & 0xFFFF);
            else cell::make_none(out);
            return;
        default:
            cell::make_none(out);
            return;
    }
}

// ---- The actions ----

// A value of the spec: a word or get-word stands for its value.
void spec_value(const Cell* v, Cell* out) {
    uint8_t t = cell::type(v);
    if (t == type_word || t == type_get_word) *out = *context::get_word_value(v);
    else *out = *v;
}

void make(const Cell*, const Cell* spec_cell, int32_t, Cell* result) {
    gc::Local spec(*spec_cell);
    const Symbols& s = names();
    (void)s;
    uint32_t kind = 0, flags = 0;
    gc::Local face(Cell{}), window(Cell{}), offset(Cell{}), picked(Cell{});
    cell::make_none(&face);
    cell::make_none(&window);
    pair_type::make_at(&offset, 0, 0);
    cell::make_integer(&picked, 0);
    bool fields = false;
    if (cell::type(&spec) == type_block) {
        int32_t n = block_actions::length_from_head(&spec);
        uint32_t node = cell::series_node(&spec);
        int32_t head = cell::series_index(&spec);
        for (int32_t i = 0; i + 1 < n; i++) {
            Cell key_cell = *block_actions::cell_at(node, head + i);
            if (cell::type(&key_cell) != type_set_word) continue;
            gc::Local value(Cell{});
            spec_value(block_actions::cell_at(node, head + i + 1), &value);
            i++;
            int32_t field = field_of_word(&key_cell);
            uint8_t vt = cell::type(&value);
            switch (field) {
                case f_type:
                    if (vt == type_word || vt == type_lit_word) kind = word_to_type(&value);
                    break;
                case f_key:
                    if (vt == type_char) flags |= cell::char_code(&value) & 0xFFFF;
                    break;
                case f_flags:
                    if (vt == type_block) {
                        int32_t m = block_actions::length_from_head(&value);
                        for (int32_t k = 0; k < m; k++) {
                            const Cell* w =
                                block_actions::cell_at(cell::series_node(&value), cell::series_index(&value) + k);
                            if (!cell::is_word_type(cell::type(w))) continue;
                            int32_t symbol = canonical_symbol(w);
                            for (int32_t f = 0; f < flag_word_count; f++)
                                if (names().flags[f] == symbol) flags |= flag_words[f].bit;
                        }
                    }
                    break;
                case f_face:
                    if (vt == type_object) face = value, fields = true;
                    break;
                case f_window:
                    if (vt == type_object) window = value, fields = true;
                    break;
                case f_offset:
                    if (vt == type_pair || vt == type_point2d) offset = value, fields = true;
                    break;
                case f_picked:
                    if (vt == type_integer) picked = value, fields = true;
                    break;
                default:
                    break;
            }
        }
    }
    uint32_t block = 0;
    if (fields) {
        gc::Local b(Cell{});
        block_actions::make_at(&b, 4);
        block_actions::append_copy(&b, &face);
        block_actions::append_copy(&b, &window);
        block_actions::append_copy(&b, &offset);
        block_actions::append_copy(&b, &picked);
        block = cell::series_node(&b);
    }
    cell::make_event(result, uint32_t(type_event) | cell::flag_event_made, kind, block, flags);
}

int32_t form(const Cell*, uint32_t buffer, const Cell* arg, int32_t limit) {
    return string::put_limited(buffer, "event", arg, limit);
}

int32_t mold(const Cell*, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return string::put_limited(buffer, "event", arg, limit);
}

int32_t compare(const Cell*, const Cell* b, int32_t op) {
    if (cell::type(b) != type_event) return actions::not_comparable;
    switch (op) {
        case actions::op_equal: case actions::op_not_equal: case actions::op_strict_equal:
        case actions::op_sort: case actions::op_case_sort: case actions::op_same: case actions::op_find:
            return 0;
        default:
            return actions::not_comparable;
    }
}

void path(const actions::PathStep& step, Cell* result) {
    names();
    gc::Local e(*step.parent);
    gc::Local element(*step.element);
    gc::Local where(step.path ? *step.path : *step.parent);
    int32_t field = field_of_word(&element);
    if (!step.value) {
        if (!field) errors::raise(err::script::invalid_path, &where, &element);
        read_field(&e, field, result);
        return;
    }
    gc::Local value(*step.value);
    uint8_t vt = cell::type(&value);
    if (field != f_type || (vt != type_word && vt != type_lit_word))
        errors::raise(err::script::bad_path_set, &where, &element);
    uint32_t kind = word_to_type(&value);
    // An event is held whole in its cell: the new type goes to the parent
    // cell, which the path evaluator stores back where it came from.
    cell::set_event_kind(const_cast<Cell*>(step.parent), kind);
    *result = value;
    actions::field_set(step, &value);
}

void pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    names();
    gc::Local e(*value);
    gc::Local at(*index);
    int32_t field = 0;
    if (cell::is_word_type(cell::type(&at))) {
        field = field_of_word(&at);
        if (!field) {
            Cell type_name = cell::make_datatype(type_event);
            errors::raise(err::script::cannot_use, &at, &type_name);
        }
    } else if (cell::type(&at) == type_integer) {
        int32_t n = cell::get_integer(&at);
        if (n < 1 || n > field_count) errors::raise(err::script::out_of_range, &at);
        field = n;
    } else {
        errors::raise(err::script::invalid_arg, &at);
    }
    read_field(&e, field, result);
}

}  // namespace

}  // namespace vum::view::gui

extern "C" void vum_view_event_make(const vum::Cell* p, const vum::Cell* s, int32_t t, vum::Cell* r) {
    vum::view::gui::make(p, s, t, r);
}
extern "C" int32_t vum_view_event_form(const vum::Cell* v, uint32_t b, const vum::Cell* a, int32_t l) {
    return vum::view::gui::form(v, b, a, l);
}
extern "C" int32_t vum_view_event_mold(const vum::Cell* v, uint32_t b, bool o, bool a, bool f, const vum::Cell* g,
                                       int32_t l, int32_t i) {
    return vum::view::gui::mold(v, b, o, a, f, g, l, i);
}
extern "C" void vum_view_event_path(const vum::actions::PathStep& step, vum::Cell* r) {
    vum::view::gui::path(step, r);
}
extern "C" int32_t vum_view_event_compare(const vum::Cell* a, const vum::Cell* b, int32_t op) {
    return vum::view::gui::compare(a, b, op);
}
extern "C" void vum_view_event_pick(const vum::Cell* v, const vum::Cell* i, int32_t boxed, vum::Cell* r) {
    vum::view::gui::pick(v, i, boxed, r);
}
