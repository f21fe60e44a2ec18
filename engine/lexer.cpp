#include "engine/lexer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/float-text.h"
#include "base/system-throw.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/file-url.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::lexer {
namespace {

// ---- Byte classes ----

enum : uint8_t {
    c_delim = 1,   // ends a plain token
    c_space = 2,   // skipped between tokens
    c_digit = 4,
    c_hex = 8,     // 0-9 A-F
    c_bad = 16,    // can never start or sit in a token
};

struct ClassTable {
    uint8_t bits[256];
    constexpr ClassTable() : bits{} {
        for (int b = 1; b < 0x20; ++b) bits[b] = c_delim | c_space;
        bits[0] = c_delim;
        bits['\n'] = c_delim;  // counted, not merely skipped
        for (char c : {' ', '\t', '\r'}) bits[uint8_t(c)] = c_delim | c_space;
        for (char c : {'[', ']', '(', ')', '{', '}', '"', ';'}) bits[uint8_t(c)] = c_delim;
        for (int b = '0'; b <= '9'; ++b) bits[b] = c_digit | c_hex;
        for (int b = 'A'; b <= 'F'; ++b) bits[b] = c_hex;
        bits[0xC0] = bits[0xC1] = c_bad;
        for (int b = 0xF8; b <= 0xFF; ++b) bits[b] = c_bad;
    }
};
constexpr ClassTable classes;

inline bool is_delim(uint8_t b) { return classes.bits[b] & c_delim; }
inline bool is_digit(uint8_t b) { return classes.bits[b] & c_digit; }

bool is_unicode_space(uint32_t cp) {
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200B) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000 || cp == 0x180E;
}

// Strict UTF-8: no overlongs, surrogates or code points past 10FFFF.
// Returns the sequence length, 0 when bad or cut short by `end`.
int decode_utf8(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    uint8_t b = *p;
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    int n;
    uint32_t v, min;
    if (b >= 0xC2 && b <= 0xDF) n = 2, v = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, v = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, v = b & 0x07, min = 0x10000;
    else return 0;
    if (end - p < n) return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = v << 6 | (p[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

// ---- Lexer state ----

struct Open {
    uint8_t type;       // block, paren or one of the path kinds
    int32_t base;       // first cell of this level
    const uint8_t* at;  // the opener, for reports
    int32_t line;
    bool new_line;
};

struct Stop {};  // ends a quiet run (scan modes, refused error events)

struct State {
    State* link = nullptr;
    std::vector<Cell> cells;
    std::vector<Open> opens;
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    const uint8_t* pos = nullptr;
    int32_t line = 1;
    int32_t breaks = 0;
    bool binary = false;
    const Options* options = nullptr;
    int32_t last_type = 0;
    bool failed = false;
    bool found = false;
};

State* active = nullptr;

void mark_active() {
    for (State* s = active; s; s = s->link)
        if (!s->cells.empty()) gc::mark_cells(s->cells.data(), s->cells.data() + s->cells.size());
}

// Links a run into the list the collector walks.
class Activation {
public:
    explicit Activation(State* s) : s_(s) {
        if (!active) gc::add_mark_callback(mark_active);
        s->link = active;
        active = s;
    }
    ~Activation() {
        active = s_->link;
        if (!active) gc::remove_mark_callback(mark_active);
    }
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;

private:
    State* s_;
};

bool loading(const State& st) { return !st.options->scan && !st.options->prescan; }

int32_t offset_of(const State& st, const uint8_t* p) {
    if (st.binary) return int32_t(p - st.begin) + 1;
    return unicode::count_utf8_chars(st.begin, p) + 1;
}

bool fire(State& st, int32_t event, uint32_t bit, int32_t type, const uint8_t* from, const uint8_t* to,
          const Cell* value) {
    const Watch* w = st.options->trace;
    if (!w || !w->fn || !(w->mask & bit)) return true;
    return w->fn(runtime_symbols::words[event], type, st.line, offset_of(st, from), offset_of(st, to), value);
}

int32_t line_at(const State& st, const uint8_t* p) {
    // Positions are reported out of order: count from the input's start.
    int32_t line = 1;
    for (const uint8_t* q = st.begin; q < p && q < st.end; ++q) line += *q == '\n';
    return line;
}

Cell text_cell(const std::string& text) {
    return {type_string, 0,
            unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size())), 0};
}

std::string near_text(const State& st, const uint8_t* at) {
    const uint8_t* p = at;
    int32_t chars = 0;
    while (p < st.end && *p != '\n' && *p != 0 && chars < 30) {
        uint32_t cp;
        int n = decode_utf8(p, st.end, &cp);
        p += n ? n : 1;
        ++chars;
    }
    std::string near;
    for (const uint8_t* q = at; q < p; ++q) {
        uint32_t cp;
        int n = decode_utf8(q, p, &cp);
        if (n == 0) {
            near += '?';  // an undecodable byte shows as a placeholder, never as a broken string
        } else {
            near.append(reinterpret_cast<const char*>(q), size_t(n));
            q += n - 1;
        }
    }
    return near;
}

// Codes below 0 are the structural reports; others are datatype ids.
enum : int32_t { code_bad_char = -1, code_construct = -2, code_missing = -3 };

[[noreturn]] void syntax_error(State& st, const uint8_t* at, int32_t code, int32_t line = 0,
                               const char* expected = nullptr) {
    if (at > st.end) at = st.end;
    if (!loading(st)) {
        st.failed = true;
        throw Stop{};
    }
    if (st.options->trace) {
        int32_t type = code > 0 ? code : (!st.opens.empty() ? int32_t(st.opens.back().type) : int32_t(type_error));
        if (!fire(st, runtime_symbols::word_error, event_error, type, at, at, nullptr)) {
            st.failed = true;
            throw Stop{};
        }
    }
    if (line == 0) line = line_at(st, at);
    Cell near = text_cell(near_text(st, at));
    gc::Protect keep_near(&near);
    Cell where = text_cell("(line " + std::to_string(line) + ")");
    gc::Protect keep_where(&where);
    if (code == code_bad_char) errors::raise(errors::category_syntax, "bad-char", &near, &where);
    if (code == code_construct) errors::raise(errors::category_syntax, "malconstruct", &near, &where);
    if (code == code_missing) {
        Cell what = text_cell(expected);
        gc::Protect keep_what(&what);
        errors::raise(errors::category_syntax, "missing", &what, &near, &where);
    }
    Cell type = {type_datatype, uint32_t(code), 0, 0};
    errors::raise(errors::category_syntax, "invalid", &type, &near, &where);
}

// ---- Pushing values ----

void check_depth(State& st, const uint8_t* at) {
    if (int32_t(st.opens.size()) >= max_depth) {
        (void)at;
        errors::raise(errors::category_internal, "too-deep");
    }
}

// The cell at index i of the run's stack; re-read after any allocation.
Cell& push(State& st, const Cell& value, int32_t type, const uint8_t* from) {
    Cell c = value;
    c.header &= ~uint32_t(cell::flag_new_line);
    if (st.breaks > 0) c.header |= cell::flag_new_line;
    st.breaks = 0;
    st.cells.push_back(c);
    st.last_type = type;
    if (st.options->trace && !fire(st, runtime_symbols::word_load, event_load, type, from, st.pos, &st.cells.back()))
        st.cells.pop_back();
    return st.cells.back();
}

// Moves the cells of the top level into a new series of the given type.
Cell collect(State& st, int32_t base, uint8_t type) {
    int32_t n = int32_t(st.cells.size()) - base;
    uint32_t node = memory::alloc_cells(n < 1 ? 1 : n);
    gc::ProtectNode keep(&node);
    for (int32_t i = 0; i < n; ++i) {
        Cell* slot = series::alloc_tail_cell(node);
        *slot = st.cells[size_t(base + i)];
    }
    st.cells.resize(size_t(base));
    Cell out;
    cell::make_series(&out, type, node);
    return out;
}

// ---- Text decoding (strings, chars, files) ----

bool hex_value(uint8_t b, uint32_t* v) {
    if (b >= '0' && b <= '9') *v = b - '0';
    else if (b >= 'a' && b <= 'f') *v = b - 'a' + 10;
    else if (b >= 'A' && b <= 'F') *v = b - 'A' + 10;
    else return false;
    return true;
}

bool same_caseless(const uint8_t* p, size_t n, const char* word) {
    if (std::strlen(word) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(p[i]) != word[i]) return false;
    return true;
}

// Decodes one `^` escape starting after the caret; returns the byte after
// it, or null when malformed.
const uint8_t* decode_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    if (p >= end) return nullptr;
    uint8_t b = *p;
    switch (b) {
        case '"': *cp = '"'; return p + 1;
        case '-': *cp = 9; return p + 1;
        case '/': *cp = 10; return p + 1;
        case '^': *cp = '^'; return p + 1;
        case '{': *cp = '{'; return p + 1;
        case '}': *cp = '}'; return p + 1;
        case '~': *cp = 127; return p + 1;
        case '@': *cp = 0; return p + 1;
        default: break;
    }
    if (b >= 'a' && b <= 'z') {
        *cp = b - 'a' + 1;
        return p + 1;
    }
    if ((b >= 'A' && b <= 'Z') || b == '[' || b == '\\' || b == ']' || b == '_') {
        *cp = b - 64;
        return p + 1;
    }
    if (b == '(') {
        const uint8_t* q = p + 1;
        while (q < end && *q != ')' && q - p <= 8) ++q;
        if (q >= end || *q != ')') return nullptr;
        size_t n = size_t(q - p - 1);
        static const struct { const char* name; uint32_t cp; } names[] = {
            {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
        for (const auto& nm : names)
            if (same_caseless(p + 1, n, nm.name)) {
                *cp = nm.cp;
                return q + 1;
            }
        if (n < 1 || n > 6) return nullptr;
        uint32_t v = 0;
        for (const uint8_t* d = p + 1; d < q; ++d) {
            uint32_t h = 0;
            if (!hex_value(*d, &h)) return nullptr;
            v = v << 4 | h;
        }
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return nullptr;
        *cp = v;
        return q + 1;
    }
    uint32_t c;
    int n = decode_utf8(p, end, &c);
    if (!n) return nullptr;
    *cp = c;
    return p + n;
}

// Code points of [p, end); false on a bad sequence or escape.
bool decode_text(const uint8_t* p, const uint8_t* end, bool escapes, std::u32string* out) {
    while (p < end) {
        uint32_t cp;
        if (escapes && *p == '^') {
            p = decode_escape(p + 1, end, &cp);
            if (!p) return false;
        } else {
            int n = decode_utf8(p, end, &cp);
            if (!n) return false;
            p += n;
        }
        out->push_back(cp);
    }
    return true;
}

Cell make_string(const std::u32string& text, uint8_t type) {
    uint32_t unit = 1;
    for (uint32_t cp : text) unit = std::max(unit, string::append_unit(cp));
    uint32_t node = memory::alloc_units(text.empty() ? 1 : int32_t(text.size()), unit);
    gc::ProtectNode keep(&node);
    for (uint32_t cp : text) string::append_char(node, cp);
    Cell out;
    cell::make_series(&out, type, node);
    return out;
}

// ---- Number loaders ----

bool all_of(const uint8_t* p, const uint8_t* e, bool (*f)(uint8_t)) {
    for (; p < e; ++p)
        if (!f(*p)) return false;
    return p == e;
}

bool float_text(const uint8_t* s, const uint8_t* e, double* out) {
    if (e - s >= 313) return false;
    std::string t(reinterpret_cast<const char*>(s), size_t(e - s));
    for (char& c : t)
        if (c == ',') c = '.';
    if (!float_shape(t.data(), int32_t(t.size()))) return false;
    std::string clean;
    for (char c : t)
        if (c != '\'') clean += c;
    int unconsumed = 0;
    *out = floats::parse_text(clean.data(), clean.data() + clean.size(), 0, &unconsumed);
    return unconsumed == 0;
}

// Decimal integer with ' separators; true with *is_float when it had to be
// read as a float (more than 10 digits or beyond 32 bits).
bool integer_text(const uint8_t* s, const uint8_t* e, int32_t* n, double* d, bool* is_float) {
    const uint8_t* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p >= e || !is_digit(*p)) return false;
    int64_t v = 0;
    int digits = 0;
    bool previous_quote = false;
    for (; p < e; ++p) {
        if (*p == '\'') {
            if (previous_quote) return false;
            previous_quote = true;
            continue;
        }
        if (!is_digit(*p)) return false;
        previous_quote = false;
        if (digits > 0 || *p != '0') ++digits;
        if (digits <= 11) v = v * 10 + (*p - '0');
    }
    int64_t signed_v = negative ? -v : v;
    if (digits > 10 || signed_v > std::numeric_limits<int32_t>::max() ||
        signed_v < std::numeric_limits<int32_t>::min()) {
        *is_float = true;
        return float_text(s, e, d);
    }
    *is_float = false;
    *n = int32_t(signed_v);
    return true;
}

bool special_float(const uint8_t* s, const uint8_t* e, double* out) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    if (e - s != 6 || s[0] != '1' || s[1] != '.' || s[2] != '#') return false;
    if (same_caseless(s + 3, 3, "nan")) {
        *out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (same_caseless(s + 3, 3, "inf")) {
        *out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

bool time_text(const uint8_t* s, const uint8_t* e, double* out) {
    bool negative = false;
    const uint8_t* p = s;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::vector<std::pair<const uint8_t*, const uint8_t*>> fields;
    const uint8_t* f = p;
    for (const uint8_t* q = p; q <= e; ++q)
        if (q == e || *q == ':') {
            fields.push_back({f, q});
            f = q + 1;
        }
    if (fields.size() < 2 || fields.size() > 3) return false;
    for (auto& fl : fields)
        if (fl.first == fl.second) return false;
    auto integer_field = [](const uint8_t* a, const uint8_t* b, int64_t* v) {
        if (b - a > 9) return false;
        *v = 0;
        for (; a < b; ++a) {
            if (!is_digit(*a)) return false;
            *v = *v * 10 + (*a - '0');
        }
        return true;
    };
    auto seconds_field = [](const uint8_t* a, const uint8_t* b, double* v) {
        for (const uint8_t* q = a; q < b; ++q)
            if (*q == 'e' || *q == 'E' || *q == '+' || *q == '-') return false;
        return float_text(a, b, v);
    };
    int64_t h = 0, m = 0;
    double sec = 0;
    bool second_is_fraction = false;
    for (const uint8_t* q = fields[1].first; q < fields[1].second; ++q)
        if (*q == '.' || *q == ',') second_is_fraction = true;
    if (fields.size() == 2 && second_is_fraction) {
        if (!integer_field(fields[0].first, fields[0].second, &m)) return false;
        if (!seconds_field(fields[1].first, fields[1].second, &sec)) return false;
    } else {
        if (!integer_field(fields[0].first, fields[0].second, &h)) return false;
        if (!integer_field(fields[1].first, fields[1].second, &m)) return false;
        if (fields.size() == 3 && !seconds_field(fields[2].first, fields[2].second, &sec)) return false;
    }
    double total = double(h) * 3600 + double(m) * 60 + sec;
    *out = negative ? -total : total;
    return std::isfinite(*out);
}

// ---- Token loaders ----

Cell word_cell(State& st, const uint8_t* s, const uint8_t* e, uint8_t type) {
    if (s >= e) syntax_error(st, s, type);
    for (const uint8_t* p = s; p < e; ++p)
        if (*p == '\\' || *p == ',' || (type != type_word && *p == ':')) syntax_error(st, s, type);
    std::string name(reinterpret_cast<const char*>(s), size_t(e - s));
    return word::load_as(type, name.c_str());
}

bool starts_number(const uint8_t* s, const uint8_t* e) {
    const uint8_t* p = s;
    if (p < e && (*p == '+' || *p == '-')) ++p;
    if (p < e && *p == '.') ++p;
    return p < e && is_digit(*p);
}

const uint8_t* find(const uint8_t* s, const uint8_t* e, uint8_t b) {
    for (; s < e; ++s)
        if (*s == b) return s;
    return nullptr;
}

bool is_upper_hex(uint8_t b) { return is_digit(b) || (b >= 'A' && b <= 'F'); }

void load_number(State& st, const uint8_t* s, const uint8_t* e) {
    const uint8_t* p = s;
    if (*p == '+' || *p == '-') ++p;
    if (e[-1] == '%') {
        double d;
        if (!float_text(s, e - 1, &d)) syntax_error(st, s, type_float);
        syntax_error(st, s, type_percent);  // percent! does not exist yet
    }
    if (find(p, e, ':')) {
        double t;
        if (!time_text(s, e, &t)) syntax_error(st, s, type_time);
        Cell c;
        time_type::make_at(&c, t);
        push(st, c, type_time, s);
        return;
    }
    const uint8_t* hash = find(p, e, '#');
    if (hash) {
        double d;
        if (!special_float(s, e, &d)) syntax_error(st, s, type_float);
        Cell c;
        cell::make_float(&c, d);
        push(st, c, type_float, s);
        return;
    }
    if (find(p, e, 'x') || find(p, e, 'X')) syntax_error(st, s, type_pair);
    if (e[-1] == 'h' && p == s) {
        if (e - s - 1 < 2 || e - s - 1 > 8 || !all_of(s, e - 1, is_upper_hex)) syntax_error(st, s, type_integer);
        uint32_t v = 0;
        for (const uint8_t* q = s; q < e - 1; ++q) {
            uint32_t h = 0;
            hex_value(*q, &h);
            v = v << 4 | h;
        }
        Cell c;
        cell::make_integer(&c, int32_t(v));
        push(st, c, type_integer, s);
        return;
    }
    if (find(p, e, '/') || find(p, e, '-') || find(p, e, 'T') || find(p, e, '+')) {
        bool exponent_sign = false;
        for (const uint8_t* q = p + 1; q < e; ++q)
            if ((*q == '-' || *q == '+') && (q[-1] == 'e' || q[-1] == 'E')) exponent_sign = true;
        if (!exponent_sign || find(p, e, '/') || find(p, e, 'T')) syntax_error(st, s, type_date);
    }
    int dots = 0;
    for (const uint8_t* q = p; q < e; ++q) dots += *q == '.';
    if (dots >= 2) syntax_error(st, s, type_tuple);  // tuple! does not exist yet
    if (dots == 1 || find(p, e, 'e') || find(p, e, 'E')) {
        double d;
        if (!float_text(s, e, &d)) syntax_error(st, s, type_float);
        Cell c;
        cell::make_float(&c, d);
        push(st, c, type_float, s);
        return;
    }
    int32_t n = 0;
    double d = 0;
    bool is_float = false;
    if (!integer_text(s, e, &n, &d, &is_float)) syntax_error(st, s, type_integer);
    Cell c;
    if (is_float) {
        cell::make_float(&c, d);
        push(st, c, type_float, s);
    } else {
        cell::make_integer(&c, n);
        push(st, c, type_integer, s);
    }
}

// A url's text: %XX escapes decoded, the bytes read as UTF-8.
void load_locator(State& st, const uint8_t* s, const uint8_t* e, uint8_t type) {
    std::u32string check;
    if (!decode_text(s, e, false, &check)) syntax_error(st, s, type);
    Cell c = file_url::make_decoded(reinterpret_cast<const char*>(s), int32_t(e - s));
    cell::set_type(&c, type);
    push(st, c, type, s);
}

// Plain tokens: words of every kind, issues, refinements, numbers, urls,
// files and the kinds whose datatypes do not exist yet.
void load_plain(State& st, const uint8_t* s, const uint8_t* e) {
    uint8_t first = *s;
    size_t n = size_t(e - s);
    if (first == '/') {
        if (all_of(s, e, [](uint8_t b) { return b == '/'; })) {
            push(st, word_cell(st, s, e, type_word), type_word, s);
            return;
        }
        push(st, word_cell(st, s + 1, e, type_refinement), type_refinement, s);
        return;
    }
    if (first == '#') {
        if (find(s + 1, e, '/')) syntax_error(st, s, type_issue);
        push(st, word_cell(st, s + 1, e, type_issue), type_issue, s);
        return;
    }
    if (first == '@') syntax_error(st, s, type_ref);  // ref! does not exist yet
    if (first == '%') {
        if (n == 1 || all_of(s, e, [](uint8_t b) { return b == '%'; })) {
            push(st, word_cell(st, s, e, type_word), type_word, s);
            return;
        }
        load_locator(st, s + 1, e, type_file);
        return;
    }
    if (find(s, e, '@')) syntax_error(st, s, type_email);
    if (find(s, e, '$')) syntax_error(st, s, type_money);
    if (starts_number(s, e)) {
        load_number(st, s, e);
        return;
    }
    if (first == ':') {
        if (find(s + 1, e, ':')) syntax_error(st, s, type_get_word);
        push(st, word_cell(st, s + 1, e, type_get_word), type_get_word, s);
        return;
    }
    if (first == '\'') {
        if (find(s + 1, e, ':')) syntax_error(st, s, type_lit_word);
        push(st, word_cell(st, s + 1, e, type_lit_word), type_lit_word, s);
        return;
    }
    const uint8_t* colon = find(s, e, ':');
    if (colon) {
        if (colon == e - 1) {
            push(st, word_cell(st, s, e - 1, type_set_word), type_set_word, s);
            return;
        }
        load_locator(st, s, e, type_url);
        return;
    }
    // Upper-case hexadecimal with the h suffix, e.g. FFh.
    if (n >= 3 && n <= 9 && e[-1] == 'h' && all_of(s, e - 1, is_upper_hex)) {
        load_number(st, s, e);
        return;
    }
    if (find(s, e, '%')) syntax_error(st, s, type_word);
    push(st, word_cell(st, s, e, type_word), type_word, s);
}

// ---- Construction syntax ----

void load_construct(State& st, const uint8_t* s, const uint8_t* content, const uint8_t* close) {
    size_t n = size_t(close - content);
    Cell c = {type_none, 0, 0, 0};
    if (same_caseless(content, n, "true")) cell::make_logic(&c, true);
    else if (same_caseless(content, n, "false")) cell::make_logic(&c, false);
    else if (same_caseless(content, n, "none")) cell::make_none(&c);
    else if (same_caseless(content, n, "unset")) cell::make_unset(&c);
    else {
        int32_t found = 0;
        for (int32_t id = 1; id <= datatype::max_type_id && id < max_type_slots && !found; ++id) {
            const char* name = datatype::names[id].name;
            if (!name) continue;
            size_t len = std::strlen(name);
            std::string lower(name);
            if (same_caseless(content, n, lower.c_str()) ||
                (len > 0 && same_caseless(content, n, lower.substr(0, len - 1).c_str())))
                found = id;
        }
        if (!found) syntax_error(st, s, code_construct);
        c = {type_datatype, uint32_t(found), 0, 0};
    }
    push(st, c, cell::type(&c), s);
}

// ---- The run ----

uint8_t close_char_type(uint8_t b) { return b == ']' ? type_block : type_paren; }

void close_path(State& st, bool set) {
    Open o = st.opens.back();
    uint8_t type = o.type;
    if (set) {
        if (type != type_path) syntax_error(st, o.at, type, o.line);
        type = type_set_path;
    }
    if (int32_t(st.cells.size()) - o.base < 2) syntax_error(st, o.at, type_path, o.line);
    Cell path = collect(st, o.base, type);
    st.opens.pop_back();
    st.breaks = o.new_line ? 1 : 0;
    push(st, path, type, o.at);
}

// A path element may start with anything but a delimiter, a paren or a
// quoted string excepted.
bool element_starts(const State& st, const uint8_t* p) {
    return p < st.end && (!is_delim(*p) || *p == '(' || *p == '"') && *p != '/';
}

bool path_open(const State& st) { return !st.opens.empty() && st.opens.back().type >= type_path &&
                                         st.opens.back().type <= type_get_path; }

// After a value: a path continues with `/`, ends as a set-path with `:`,
// or ends at anything else. Returns true when another element follows.
bool after_value(State& st) {
    if (!path_open(st)) return false;
    if (st.pos < st.end && *st.pos == '/') {
        ++st.pos;
        if (!element_starts(st, st.pos)) syntax_error(st, st.opens.back().at, type_path);
        return true;
    }
    if (st.pos < st.end && *st.pos == ':') {
        ++st.pos;
        if (st.pos < st.end && !is_delim(*st.pos)) syntax_error(st, st.opens.back().at, type_path);
        close_path(st, true);
        return false;
    }
    close_path(st, false);
    return false;
}

bool qualifies_as_path_head(const uint8_t* s, const uint8_t* p) {
    const uint8_t* h = s;
    if (*h == ':' || *h == '\'') ++h;
    if (h >= p) return false;
    if (is_digit(*h) || *h == '/' || *h == '#' || *h == '%' || *h == '@' || *h == '<') return false;
    if (starts_number(h, p)) return false;
    for (const uint8_t* q = h; q < p; ++q)
        if (*q == ':' || *q == '@' || *q == '$') return false;
    return true;
}

// The end of a plain token starting at s; *slash tells whether it stops
// at a `/` that opens a path.
const uint8_t* plain_end(State& st, const uint8_t* s, bool in_path, bool* slash) {
    const uint8_t* p = s;
    *slash = false;
    bool leading = true;
    while (p < st.end) {
        uint8_t b = *p;
        if (is_delim(b)) break;
        if (b == '<' && p != s && *s != '%' && *s != '<') break;
        if (b == ',' && *s != '%') break;
        if (in_path && (b == '/' || (b == ':' && !leading))) break;
        if (b == '/' && !in_path && p != s && *s != '/' && qualifies_as_path_head(s, p)) {
            *slash = true;
            break;
        }
        if (b == '/' && *s == '/' && p != s && !all_of(s, p, [](uint8_t c) { return c == '/'; })) break;
        if (b >= 0x80) {
            uint32_t cp;
            int n = decode_utf8(p, st.end, &cp);
            if (!n) syntax_error(st, s, type_word);
            if (is_unicode_space(cp)) break;
            p += n;
            leading = false;
            continue;
        }
        if (classes.bits[b] & c_bad) syntax_error(st, p, code_bad_char);
        leading = leading && (b == ':' || b == '\'');
        ++p;
    }
    return p;
}

void open_container(State& st, uint8_t type, const uint8_t* at) {
    check_depth(st, at);
    bool new_line = st.breaks > 0;
    st.breaks = 0;
    if (st.options->trace && !fire(st, runtime_symbols::word_open, event_open, type, at, at, nullptr)) return;
    st.opens.push_back({type, int32_t(st.cells.size()), at, st.line, new_line});
}

void close_container(State& st, const uint8_t* at) {
    uint8_t want = close_char_type(*at);
    if (st.opens.empty()) syntax_error(st, at, code_missing, 0, want == type_block ? "[" : "(");
    Open o = st.opens.back();
    if (o.type != want) syntax_error(st, at, code_missing, 0, o.type == type_block ? "]" : ")");
    if (st.options->trace && !fire(st, runtime_symbols::word_close, event_close, want, at, at + 1, nullptr))
        return;
    Cell c = collect(st, o.base, want);
    st.opens.pop_back();
    st.breaks = o.new_line ? 1 : 0;
    push(st, c, want, o.at);
}

void skip_space(State& st) {
    while (st.pos < st.end) {
        uint8_t b = *st.pos;
        if (b == '\n') {
            ++st.line;
            ++st.breaks;
            ++st.pos;
        } else if (b != 0 && (classes.bits[b] & c_space)) {
            ++st.pos;
        } else if (b >= 0x80) {
            uint32_t cp;
            int n = decode_utf8(st.pos, st.end, &cp);
            if (!n || !is_unicode_space(cp)) return;
            st.pos += n;
        } else {
            return;
        }
    }
}

// Scans a quoted run from after its opening quote; returns the closing
// quote's position or null when a line feed or the end comes first.
const uint8_t* quoted_end(const State& st, const uint8_t* p, uint8_t quote, bool escapes) {
    while (p < st.end && *p != quote) {
        if (*p == '\n' || *p == 0) return nullptr;
        if (escapes && *p == '^') {
            ++p;
            if (p >= st.end || *p == 0) return nullptr;
        }
        ++p;
    }
    return p < st.end ? p : nullptr;
}

void load_quoted_string(State& st, const uint8_t* s) {
    const uint8_t* close = quoted_end(st, s + 1, '"', true);
    if (!close) syntax_error(st, s, type_string);
    std::u32string text;
    if (!decode_text(s + 1, close, true, &text)) syntax_error(st, s, type_string);
    st.pos = close + 1;
    push(st, make_string(text, type_string), type_string, s);
}

void load_braced_string(State& st, const uint8_t* s) {
    const uint8_t* p = s + 1;
    int32_t depth = 1;
    int32_t lines = 0;
    while (p < st.end && *p != 0) {
        if (*p == '^') {
            p += 2;
            continue;
        }
        if (*p == '\n') ++lines;
        if (*p == '{') ++depth;
        if (*p == '}' && --depth == 0) break;
        ++p;
    }
    if (p >= st.end || *p != '}') syntax_error(st, s, code_missing, 0, "}");
    std::u32string text;
    if (!decode_text(s + 1, p, true, &text)) syntax_error(st, s, type_string);
    st.pos = p + 1;
    push(st, make_string(text, type_string), type_string, s);
    st.line += lines;
}

void load_raw_string(State& st, const uint8_t* s) {
    const uint8_t* p = s;
    int32_t percents = 0;
    while (p < st.end && *p == '%') ++p, ++percents;
    const uint8_t* content = p + 1;  // after the brace
    for (const uint8_t* q = content; q < st.end; ++q) {
        if (*q != '}') continue;
        const uint8_t* r = q + 1;
        int32_t k = 0;
        while (r < st.end && *r == '%') ++r, ++k;
        if (k < percents) continue;
        if (k > percents) syntax_error(st, s, type_string);
        if (r < st.end && !is_delim(*r) && *r != '<') syntax_error(st, s, type_string);
        std::u32string text;
        if (!decode_text(content, q, false, &text)) syntax_error(st, s, type_string);
        for (const uint8_t* c = content; c < q; ++c) st.line += *c == '\n';
        st.pos = r;
        push(st, make_string(text, type_string), type_string, s);
        return;
    }
    syntax_error(st, s, type_string);
}

void load_char(State& st, const uint8_t* s) {
    const uint8_t* close = quoted_end(st, s + 2, '"', true);
    if (!close) syntax_error(st, s, type_char);
    std::u32string text;
    if (!decode_text(s + 2, close, true, &text) || text.size() != 1) syntax_error(st, s, type_char);
    st.pos = close + 1;
    push(st, char_type::make(text[0]), type_char, s);
}

void load_quoted_file(State& st, const uint8_t* s) {
    const uint8_t* close = quoted_end(st, s + 2, '"', true);
    if (!close) syntax_error(st, s, type_file);
    std::u32string text;
    if (!decode_text(s + 2, close, true, &text)) syntax_error(st, s, type_file);
    st.pos = close + 1;
    push(st, make_string(text, type_file), type_file, s);
}

// A tag runs to its `>`, quoted parts may hold one; tag! does not exist
// yet, so a whole tag is reported as such.
void reject_tag(State& st, const uint8_t* s) {
    syntax_error(st, s, type_tag);
}

bool starts_tag(const State& st, const uint8_t* s) {
    if (s + 1 >= st.end) return false;
    uint8_t b = s[1];
    return !is_delim(b) && b != '<' && b != '>' && b != '=' && b != '-' && b != ':' && b != '/';
}

bool one_value_done(const State& st, int32_t base) {
    return st.opens.empty() && int32_t(st.cells.size()) > base;
}

void run(State& st) {
    int32_t base = int32_t(st.cells.size());
    bool element = false;  // the next token is a path element: no spaces before it
    while (true) {
        if (!element) skip_space(st);
        if (st.pos >= st.end || *st.pos == 0) {
            if (element) syntax_error(st, st.opens.back().at, type_path);
            break;
        }
        const uint8_t* s = st.pos;
        uint8_t b = *s;
        const uint8_t* next = s + 1 < st.end ? s + 1 : nullptr;
        if (element && (is_delim(b) && b != '(' && b != '"')) syntax_error(st, st.opens.back().at, type_path);
        bool value = true;
        if (st.options->trace) {
            if (!fire(st, runtime_symbols::word_prescan, event_prescan, 0, s, s, nullptr)) {
                // A refused token is skipped: step over it as a plain token would.
                bool slash;
                const uint8_t* e = plain_end(st, s, element, &slash);
                st.pos = e > s ? e : s + 1;
                continue;
            }
        }
        switch (b) {
            case '[':
                st.pos = s + 1;
                open_container(st, type_block, s);
                value = false;
                break;
            case '(':
                st.pos = s + 1;
                open_container(st, type_paren, s);
                value = false;
                break;
            case ']':
            case ')':
                while (path_open(st)) close_path(st, false);
                close_container(st, s);
                st.pos = s + 1;
                break;
            case '{':
                load_braced_string(st, s);
                break;
            case '"':
                load_quoted_string(st, s);
                break;
            case ';':
                while (st.pos < st.end && *st.pos != '\n') ++st.pos;
                if (st.options->trace)
                    fire(st, runtime_symbols::word_scan, event_scan, 0, s, st.pos, nullptr);
                value = false;
                break;
            case ',':
                syntax_error(st, s, type_point2d);  // point! does not exist yet
            case '}':
            case '\\':
                syntax_error(st, s, code_bad_char);
            case '#':
                if (next && *next == '[') syntax_error(st, s, type_map);
                if (next && *next == '{') syntax_error(st, s, type_binary);
                if (next && *next == '"') {
                    load_char(st, s);
                    break;
                }
                if (next && *next == '(') {
                    const uint8_t* close = find(s + 2, st.end, ')');
                    const uint8_t* lf = find(s + 2, close ? close : st.end, '\n');
                    if (!close || lf) syntax_error(st, s, code_construct);
                    load_construct(st, s, s + 2, close);
                    st.pos = close + 1;
                    break;
                }
                goto plain;
            case '%': {
                const uint8_t* q = s;
                while (q < st.end && *q == '%') ++q;
                if (q < st.end && *q == '{') {
                    load_raw_string(st, s);
                    break;
                }
                if (next && *next == '"') {
                    load_quoted_file(st, s);
                    break;
                }
                goto plain;
            }
            case '<':
                if (!element && starts_tag(st, s)) reject_tag(st, s);
                goto plain;
            default:
            plain: {
                if (b >= 0x80 && b < 0xC2) syntax_error(st, s, code_bad_char);
                if (classes.bits[b] & c_bad) syntax_error(st, s, code_bad_char);
                bool slash = false;
                const uint8_t* e = plain_end(st, s, element, &slash);
                if (e == s) syntax_error(st, s, code_bad_char);
                if (e < st.end && *e == '{' && e[-1] == '#') syntax_error(st, s, type_binary);  // 2#{...}
                st.pos = e;
                if (slash) {
                    uint8_t kind = *s == '\'' ? type_lit_path : *s == ':' ? type_get_path : type_path;
                    open_container(st, kind, s);
                    const uint8_t* h = kind == type_path ? s : s + 1;
                    push(st, word_cell(st, h, e, type_word), type_word, h);
                    st.pos = e + 1;
                    if (!element_starts(st, st.pos)) syntax_error(st, s, type_path);
                    element = true;
                    continue;
                }
                if (element && (*s == ':' || *s == '\'') && e - s > 1) {
                    uint8_t t = *s == ':' ? type_get_word : type_lit_word;
                    push(st, word_cell(st, s + 1, e, t), t, s);
                } else {
                    load_plain(st, s, e);
                }
            }
        }
        if (value || b == ']' || b == ')') element = after_value(st);
        else element = false;
        if (b == '(' || b == '[') element = false;
        if (st.options->one && one_value_done(st, base)) return;
    }
    while (path_open(st)) close_path(st, false);
    if (!st.opens.empty()) {
        const Open& o = st.opens.back();
        syntax_error(st, o.at, code_missing, o.line, o.type == type_block ? "]" : ")");
    }
}

// Runs the lexer over UTF-8 bytes. Returns the end position in bytes.
int32_t run_utf8(const uint8_t* bytes, int32_t length, bool binary, const Options& options, Cell* result,
                 int32_t* found_type) {
    State st;
    st.begin = bytes;
    st.end = bytes + length;
    st.pos = bytes;
    st.binary = binary;
    st.options = &options;
    Activation on(&st);
    Options quiet = options;
    if (options.prescan || options.scan) {
        quiet.one = true;
        st.options = &quiet;
    }
    try {
        run(st);
    } catch (const Stop&) {
    }
    if (found_type) {
        if (st.failed) *found_type = type_error;
        else if (!st.opens.empty()) *found_type = st.opens.front().type;
        else if (!st.cells.empty()) *found_type = cell::type(&st.cells.front());
        else *found_type = 0;
    }
    if (result && loading(st) && !st.failed) {
        if (options.into) {
            Cell target = *options.into;
            gc::Protect keep(&target);
            for (size_t i = 0; i < st.cells.size(); ++i) {
                Cell* slot = block::alloc_tail(&target);
                *slot = st.cells[i];
            }
            *result = target;
        } else if (options.one && !options.next) {
            if (st.cells.empty()) cell::make_none(result);
            else *result = st.cells.front();
        } else {
            *result = collect(st, 0, type_block);
        }
    } else if (result && loading(st)) {
        *result = collect(st, 0, type_block);
    }
    return int32_t(st.pos - st.begin);
}

}  // namespace

// ---- Number scanners ----

namespace {
// Character i of a string run in its unit, as a byte (non-ASCII becomes 0xFF).
uint8_t unit_byte(const uint8_t* text, uint32_t unit, int32_t i) {
    uint32_t c = unicode::get_unit(text, unit, uint32_t(i));
    return c < 0x80 ? uint8_t(c) : 0xFF;
}
}  // namespace

bool float_shape(const char* text, int32_t length) {
    // Classes: other, sign, digit, exponent, point, apostrophe.
    static const int8_t next[9][6] = {
        {10, 0, 1, 10, 4, 10}, {10, 10, 1, 6, 5, 2}, {10, 10, 1, 10, 10, 10}, {10, 10, 3, 6, 10, 4},
        {10, 10, 3, 10, 10, 10}, {10, 10, 3, 10, 10, 10}, {10, 7, 8, 10, 10, 10}, {10, 10, 8, 10, 10, 10},
        {10, 10, 8, 10, 10, 10},
    };
    static const bool accepting[9] = {false, true, true, true, true, true, false, false, true};
    int state = 0;
    bool signed_already = false;
    for (int32_t i = 0; i < length && state != 10; ++i) {
        char c = text[i];
        int k = c == '+' || c == '-' ? 1 : (c >= '0' && c <= '9') ? 2 : (c == 'e' || c == 'E') ? 3 : c == '.' ? 4
              : c == '\'' ? 5 : 0;
        if (state == 0 && k == 1) {
            if (signed_already) return false;  // one leading sign only
            signed_already = true;
        }
        state = next[state][k];
    }
    return state != 10 && accepting[state];
}

int32_t scan_integer(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code) {
    int32_t i = 0;
    bool negative = false;
    if (length > 0) {
        uint8_t b = unit_byte(text, unit, 0);
        if (b == '+' || b == '-') negative = b == '-', i = 1;
    }
    if (i >= length) {
        *code = -1;
        return 0;
    }
    int64_t v = 0;
    for (; i < length; ++i) {
        uint8_t b = unit_byte(text, unit, i);
        if (b == '\'') continue;
        if (!is_digit(b)) {
            *code = -1;
            return 0;
        }
        v = v * 10 + (b - '0');
        if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) {
            *code = -2;
            return 0;
        }
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max()) {
        *code = -2;
        return 0;
    }
    return int32_t(v);
}

double scan_float(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code) {
    if (length >= 313 || length <= 0) {
        *code = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::string bytes;
    for (int32_t i = 0; i < length; ++i) bytes += char(unit_byte(text, unit, i));
    double d;
    if (!float_text(reinterpret_cast<const uint8_t*>(bytes.data()),
                    reinterpret_cast<const uint8_t*>(bytes.data() + bytes.size()), &d)) {
        *code = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    return d;
}

// ---- Entries ----

void load_utf8(const char* text, int32_t length, Cell* result) {
    Options options;
    run_utf8(reinterpret_cast<const uint8_t*>(text), length, false, options, result, nullptr);
}

void transcode(const Cell* source, const Options& options, Cell* result) {
    uint8_t type = cell::type(source);
    bool binary = type == type_binary;
    if (!binary && !string::is_text_kind(type)) errors::raise(errors::category_script, "invalid-arg", source);
    Cell src = *source;
    gc::Protect keep_source(&src);
    std::string bytes;
    if (binary) {
        SeriesBuffer* b = nodes::buffer(src.w2);
        const uint8_t* data = b->head_ptr() + src.w1;
        int32_t n = int32_t(b->count()) - int32_t(src.w1);
        bytes.assign(reinterpret_cast<const char*>(data), size_t(n < 0 ? 0 : n));
    } else {
        bytes = string::to_utf8(&src);
    }
    // The part limit counts source units: bytes for binary, characters for text.
    int32_t skip = 0;
    if (binary && bytes.size() > 2 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
        uint8_t(bytes[2]) == 0xBF)
        skip = 3;
    int32_t limit = int32_t(bytes.size());
    if (options.part >= 0) {
        if (binary) {
            limit = std::min(limit, options.part);
        } else {
            const uint8_t* b0 = reinterpret_cast<const uint8_t*>(bytes.data());
            limit = int32_t(unicode::skip_utf8_chars(b0, b0 + bytes.size(), options.part) - b0);
        }
    }
    if (skip > limit) skip = limit;
    const uint8_t* start = reinterpret_cast<const uint8_t*>(bytes.data()) + skip;
    bool loads = !options.scan && !options.prescan;
    int32_t found = 0;
    Cell values = {type_none, 0, 0, 0};
    gc::Protect keep_values(&values);
    int32_t used = run_utf8(start, limit - skip, binary, options, loads ? &values : nullptr, &found) + skip;
    if (!loads) {
        if (found == 0) cell::make_none(result);
        else *result = {type_datatype, uint32_t(found), 0, 0};
        return;
    }
    if (!options.next) {
        *result = values;
        return;
    }
    // The value(s) and the source moved past what was consumed.
    Cell rest = src;
    if (binary) {
        rest.w1 += uint32_t(used);
    } else {
        const uint8_t* b0 = reinterpret_cast<const uint8_t*>(bytes.data());
        rest.w1 += uint32_t(unicode::count_utf8_chars(b0, b0 + used));
    }
    gc::Protect keep_rest(&rest);
    Cell pair;
    block_actions::make_at(&pair, 2);
    gc::Protect keep_pair(&pair);
    Cell first = values;
    // The first value alone when one was asked for, else the block.
    if (options.one && cell::type(&values) == type_block) {
        if (block::length_from_head(&values) > 0) first = *series::cells_head(values.w2);
        else cell::make_none(&first);
    }
    *block::alloc_tail(&pair) = first;
    *block::alloc_tail(&pair) = rest;
    *result = pair;
}

}  // namespace vum::lexer
