// The lexer's value builders: each turns a scanned token into its cell
// (words, text, binaries, numbers and the other literal forms), or reports
// a syntax error through the scanner.
#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/char.h"
#include "datatypes/date.h"
#include "datatypes/file-url.h"
#include "datatypes/money.h"
#include "datatypes/number-scanners.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "engine/lexer-state.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/unicode.h"

namespace vum::lexer {

namespace {

using scan::coordinate;
using scan::date_text;
using scan::DateFields;
using scan::float_bits;
using scan::float_text;
using scan::integer_text;
using scan::is_digit;
using scan::money_shape;
using scan::MoneyParts;
using scan::special_float;
using scan::time_text;
using scan::tuple_cell;
using scan::tuple_parts;

// ---- Text decoding (strings, chars, files, tags) ----

bool hex_value(uint8_t b, uint32_t* v) {
    if (b >= '0' && b <= '9') *v = b - '0';
    else if (b >= 'a' && b <= 'f') *v = b - 'a' + 10;
    else if (b >= 'A' && b <= 'F') *v = b - 'A' + 10;
    else return false;
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
            if (scan::same_caseless(p + 1, n, nm.name)) {
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
        // A surrogate code point is a character a string may hold (to char!
        // makes one) and mold writes it this way, so it loads back; only
        // UTF-8 text may not encode one.
        if (v > 0x10FFFF) return nullptr;
        *cp = v;
        return q + 1;
    }
    uint32_t c;
    int n = decode_utf8(p, end, &c);
    if (!n) return nullptr;
    *cp = c;
    return p + n;
}

// Code points of [p, end); false on a bad sequence or escape. *unit (when
// given) rises to the width that long `^(...)` escapes ask for.
bool decode_text(const uint8_t* p, const uint8_t* end, bool escapes, std::u32string* out,
                 uint32_t* unit = nullptr) {
    while (p < end) {
        uint32_t cp;
        if (escapes && *p == '^') {
            const uint8_t* from = p;
            p = decode_escape(p + 1, end, &cp);
            if (!p) return false;
            // `^(hhh)` writes at least two bytes a character, `^(hhhhh)` four.
            if (unit && from[1] == '(' && p - from - 3 > 2) {
                uint32_t digit;
                bool hex = true;
                for (const uint8_t* d = from + 2; d < p - 1 && hex; ++d) hex = hex_value(*d, &digit);
                if (hex) *unit = std::max(*unit, p - from - 3 > 4 ? 4u : 2u);
            }
        } else if (*p < 0x80) {
            cp = *p++;
        } else {
            int n = decode_utf8(p, end, &cp);
            if (!n) return false;
            p += n;
        }
        out->push_back(cp);
    }
    return true;
}

Cell make_text(const std::u32string& text, uint8_t type, uint32_t unit = 1) {
    for (uint32_t cp : text) unit = std::max(unit, string::append_unit(cp));
    uint32_t node = memory::alloc_units(text.empty() ? 1 : int32_t(text.size()), int32_t(unit));
    uint8_t* data = series::alloc_tail_bytes(node, int32_t(text.size() * unit));
    for (size_t i = 0; i < text.size(); ++i) unicode::put_unit(data, unit, uint32_t(i), text[i]);
    Cell out;
    cell::make_series(&out, type, node);
    return out;
}

// Text of [s, e) as a series of the type: plain ASCII is copied as it is;
// anything else is decoded. False when it does not decode.
bool load_text(const uint8_t* s, const uint8_t* e, uint32_t flags, bool escapes, bool make, uint8_t type,
               Cell* out) {
    if (!(flags & f_non_ascii) && !(escapes && (flags & f_caret))) {
        if (!make) return true;
        int32_t n = int32_t(e - s);
        uint32_t node = memory::alloc_units(n < 1 ? 1 : n, 1);
        if (n > 0) std::memcpy(series::alloc_tail_bytes(node, n), s, size_t(n));
        cell::make_series(out, type, node);
        return true;
    }
    std::u32string text;
    uint32_t unit = 1;
    if (!decode_text(s, e, escapes, &text, &unit)) return false;
    if (make) *out = make_text(text, type, unit);
    return true;
}

// ---- Loaders ----
//
// Each validates its token [s, e) and returns the type it loads as; with
// `make` it also pushes the value. A token whose datatype is not registered
// passes the check but cannot be made.

// A word's name: valid UTF-8, no NUL; the symbol is made from the bytes.
// Bytes that do not decode are an error of `bad_type`.
Cell word_cell(State& st, const uint8_t* s, const uint8_t* e, const uint8_t* ts, const uint8_t* te, uint8_t type,
               uint32_t flags, uint8_t bad_type) {
    if (s >= e) syntax_error(st, ts, te, type);
    if (flags & f_non_ascii)
        for (const uint8_t* p = s; p < e;) {
            uint32_t cp;
            int n = decode_utf8(p, e, &cp);
            if (!n) syntax_error(st, ts, te, bad_type);
            p += n;
        }
    char small[128];
    size_t n = size_t(e - s);
    if (n < sizeof small) {
        std::memcpy(small, s, n);
        small[n] = 0;
        return word::load_as(type, small);
    }
    std::string name(reinterpret_cast<const char*>(s), n);
    return word::load_as(type, name.c_str());
}

int32_t load_word(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make) {
    const uint8_t* name = s;
    const uint8_t* name_end = e;
    uint8_t type = type_word;
    if (*s == ':') type = type_get_word, ++name;
    else if (*s == '\'') type = type_lit_word, ++name;
    if (flags & f_colon) {
        if (type == type_word && e - s > 1 && e[-1] == ':') type = type_set_word, --name_end;
        if (std::find(name, name_end, ':') != name_end)
            syntax_error(st, s, e, type == type_set_word ? int32_t(type_word) : int32_t(type));
    }
    if (name >= name_end) syntax_error(st, s, e, type);
    if (make) {
        Cell w = word_cell(st, name, name_end, s, e, type, flags, type_word);
        push(st, w, type);
    } else if (flags & f_non_ascii) {
        for (const uint8_t* p = name; p < name_end;) {
            uint32_t cp;
            int n = decode_utf8(p, name_end, &cp);
            if (!n) syntax_error(st, s, e, type_word);
            p += n;
        }
    }
    return type;
}

// Issues and refinements: the name after their `#` or `/`.
int32_t load_prefixed(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make, uint8_t type,
                      uint8_t prefix) {
    if (*s != prefix || e - s < 2) syntax_error(st, s, e, type);
    if (make) {
        Cell w = word_cell(st, s + 1, e, s, e, type, flags, type);
        if (type == type_issue) w.w3 = uint32_t(-1);  // issues are never variables
        push(st, w, type);
    } else if (flags & f_non_ascii) {
        std::u32string check;
        if (!decode_text(s + 1, e, false, &check)) syntax_error(st, s, e, type);
    }
    return type;
}

int32_t load_string(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make) {
    Cell c;
    if (!load_text(s + 1, e - 1, flags, true, make, type_string, &c)) syntax_error(st, s, e, type_string);
    if (make) push(st, c, type_string);
    return type_string;
}

int32_t load_char(State& st, const uint8_t* s, const uint8_t* e, bool make) {
    if (e - s < 3 || s[0] != '#' || s[1] != '"') syntax_error(st, s, e, type_char);
    std::u32string text;
    if (!decode_text(s + 2, e - 1, true, &text) || text.size() != 1) syntax_error(st, s, e, type_char);
    if (make) push(st, char_type::make(text[0]), type_char);
    return type_char;
}

int32_t load_file(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make) {
    Cell c;
    if (s[1] == '"') {
        if (e - s < 3 || e[-1] != '"' || !load_text(s + 2, e - 1, flags, true, make, type_file, &c))
            syntax_error(st, s, e, type_file);
    } else {
        std::u32string check;
        if (!decode_text(s + 1, e, false, &check)) syntax_error(st, s, e, type_file);
        if (make) {
            c = file_url::make_decoded(reinterpret_cast<const char*>(s + 1), int32_t(e - s - 1));
            cell::set_type(&c, type_file);
        }
    }
    if (make) push(st, c, type_file);
    return type_file;
}

// Urls, emails, tags and refs: text without escapes.
int32_t load_locator(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make, uint8_t type) {
    if (*s == ':') syntax_error(st, s, e, type_get_word);
    if (*s == '\'') syntax_error(st, s, e, type_lit_word);
    const uint8_t* ts = s;
    const uint8_t* te = e;
    if (type == type_tag) ++ts, --te;
    if (type == type_ref) {
        ++ts;
        if (ts >= te) syntax_error(st, s, e, type_ref);
    }
    std::u32string check;
    if ((flags & f_non_ascii) && !decode_text(ts, te, false, &check)) syntax_error(st, s, e, type);
    if (!make) return type;
    if (!datatype::is_registered(type)) unsupported(st, s, e, type);
    Cell c;
    if (type == type_url) {
        c = file_url::make_decoded(reinterpret_cast<const char*>(ts), int32_t(te - ts), true);
    } else {
        load_text(ts, te, flags, false, true, type, &c);
    }
    cell::set_type(&c, type);
    push(st, c, type);
    return type;
}

// `%{...}%`, `%%{...}%%` ...: the content as it is.
int32_t load_raw_string(State& st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make) {
    const uint8_t* content = s;
    while (*content == '%') ++content;
    ++content;  // the brace
    int32_t percents = int32_t(content - s - 1);
    const uint8_t* close = e - 1 - percents;  // the closing brace, as the token was extended to it
    Cell c;
    if (!load_text(content, close, flags, false, make, type_string, &c)) syntax_error(st, s, e, type_string);
    if (make) push(st, c, type_string);
    return type_string;
}

int32_t load_binary(State& st, const uint8_t* s, const uint8_t* e, bool make) {
    int32_t base = 16;
    const uint8_t* p = s;
    if (*p != '#') {
        base = 0;
        for (; p < e && is_digit(*p); ++p) {
            base = base * 10 + (*p - '0');
            if (base > 64) break;
        }
        if (p >= e || *p != '#' || (base != 2 && base != 16 && base != 64)) syntax_error(st, s, e, type_binary);
    }
    p += 2;  // `#{`
    const uint8_t* stop = e - 1;
    std::string bytes;
    uint32_t acc = 0;
    int32_t bits = 0;
    int32_t pad = 0;
    int32_t digits = 0;
    for (; p < stop; ++p) {
        uint8_t b = *p;
        if (b == ' ' || b == '\t' || b == '\r' || b == '\n') continue;
        if (b == ';') {
            while (p < stop && *p != '\n') ++p;
            continue;
        }
        uint32_t v;
        if (base == 16) {
            if (!hex_value(b, &v)) syntax_error(st, s, e, type_binary);
            acc = acc << 4 | v;
            bits += 4;
        } else if (base == 2) {
            if (b != '0' && b != '1') syntax_error(st, s, e, type_binary);
            acc = acc << 1 | uint32_t(b - '0');
            bits += 1;
        } else {
            if (b == '=') {
                ++pad;
                continue;
            }
            if (pad) syntax_error(st, s, e, type_binary);
            if (b >= 'A' && b <= 'Z') v = b - 'A';
            else if (b >= 'a' && b <= 'z') v = b - 'a' + 26;
            else if (is_digit(b)) v = b - '0' + 52;
            else if (b == '+') v = 62;
            else if (b == '/') v = 63;
            else syntax_error(st, s, e, type_binary);
            acc = acc << 6 | v;
            bits += 6;
            ++digits;
        }
        if (bits >= 8) {
            bits -= 8;
            bytes += char(acc >> bits & 0xFF);
            acc &= (1u << bits) - 1;
        }
    }
    if (base == 64) {
        // Whole groups of four, the last one completed by its padding, whose
        // leftover bits are zero.
        if (digits % 4 == 1 || (digits + pad) % 4 != 0 || pad > 2 || acc != 0) syntax_error(st, s, e, type_binary);
    } else if (bits != 0) {
        syntax_error(st, s, e, type_binary);
    }
    if (!make) return type_binary;
    if (!datatype::is_registered(type_binary)) unsupported(st, s, e, type_binary);
    int32_t n = int32_t(bytes.size());
    uint32_t node = memory::alloc_units(n < 1 ? 1 : n, 1);
    if (n > 0) std::memcpy(series::alloc_tail_bytes(node, n), bytes.data(), size_t(n));
    Cell c;
    cell::make_series(&c, type_binary, node);
    push(st, c, type_binary);
    return type_binary;
}

int32_t load_construct(State& st, const uint8_t* s, const uint8_t* e, bool make) {
    if (e - s < 3 || s[0] != '#' || s[1] != '(') syntax_error(st, s, e, code_construct);
    const uint8_t* content = s + 2;
    size_t n = size_t(e - 1 - content);
    Cell c = {type_none, 0, 0, 0};
    if (scan::same_caseless(content, n, "true")) cell::make_logic(&c, true);
    else if (scan::same_caseless(content, n, "false")) cell::make_logic(&c, false);
    else if (scan::same_caseless(content, n, "none")) cell::make_none(&c);
    else if (scan::same_caseless(content, n, "unset")) cell::make_unset(&c);
    else {
        int32_t found = 0;
        for (int32_t id = 1; id <= datatype::max_type_id && id < max_type_slots && !found; ++id) {
            const char* name = datatype::names[id].name;
            if (!name) continue;
            size_t len = std::strlen(name);
            if (n != len && n + 1 != len) continue;
            bool same = true;
            for (size_t i = 0; i < n && same; ++i) {
                uint8_t a = content[i];
                uint8_t b = uint8_t(name[i]);
                if (a >= 'A' && a <= 'Z') a = uint8_t(a + 32);
                if (b >= 'A' && b <= 'Z') b = uint8_t(b + 32);
                same = a == b;
            }
            if (same) found = id;
        }
        if (!found) syntax_error(st, s, e, code_construct);
        c = {type_datatype, uint32_t(found), 0, 0};
    }
    int32_t type = cell::type(&c);
    if (make) push(st, c, type);
    return type;
}

int32_t load_number(State& st, int kind, const uint8_t* s, const uint8_t* e, bool make) {
    Cell c = {type_none, 0, 0, 0};
    switch (kind) {
        case kind_integer: {
            int32_t n = 0;
            double d = 0;
            bool is_float = false;
            if (!integer_text(s, e, &n, &d, &is_float)) syntax_error(st, s, e, type_integer);
            if (is_float) cell::make_float(&c, d);
            else cell::make_integer(&c, n);
            break;
        }
        case kind_hex_integer: {
            const uint8_t* last = e - 1;
            if (last - s < 2 || last - s > 8) syntax_error(st, s, e, type_integer);
            uint32_t v = 0;
            for (const uint8_t* q = s; q < last; ++q) {
                uint32_t h = 0;
                if (!hex_value(*q, &h)) syntax_error(st, s, e, type_integer);
                v = v << 4 | h;
            }
            cell::make_integer(&c, int32_t(v));
            break;
        }
        case kind_float: {
            double d;
            if (!float_text(s, e, &d)) syntax_error(st, s, e, type_float);
            cell::make_float(&c, d);
            break;
        }
        case kind_special_float: {
            double d;
            if (!special_float(s, e, &d)) syntax_error(st, s, e, type_float);
            cell::make_float(&c, d);
            break;
        }
        case kind_percent: {
            double d;
            if (!float_text(s, e - 1, &d, -2)) syntax_error(st, s, e, type_float);
            c.header = type_percent;
            cell::set_double(&c, d);
            break;
        }
        case kind_time: {
            double t;
            if (!time_text(s, e, &t)) syntax_error(st, s, e, type_time);
            time_type::make_at(&c, t);
            break;
        }
        case kind_tuple: {
            uint8_t parts[12];
            int32_t count = 0;
            if (!tuple_parts(s, e, parts, &count) || count < 3) syntax_error(st, s, e, type_tuple);
            c = tuple_cell(parts, count);
            break;
        }
        case kind_pair: {
            if (std::find(s, e, '.') != e) syntax_error(st, s, e, type_pair);
            const uint8_t* x = s;
            while (x < e && *x != 'x' && *x != 'X') ++x;
            int32_t a = 0, b = 0;
            double d;
            bool fa = false, fb = false;
            if (x == e || !integer_text(s, x, &a, &d, &fa) || !integer_text(x + 1, e, &b, &d, &fb) || fa || fb)
                syntax_error(st, s, e, type_pair);
            c = {type_pair, 0, uint32_t(a), uint32_t(b)};
            break;
        }
        case kind_point: {
            // `(x, y)` or `(x, y, z)`.
            double v[3];
            int32_t count = 0;
            const uint8_t* from = s + 1;
            for (const uint8_t* q = from;; ++q) {
                if (q == e - 1 || *q == ',') {
                    if (count == 3 || !coordinate(from, q, &v[count])) syntax_error(st, s, e, type_point2d);
                    ++count;
                    if (q == e - 1) break;
                    from = q + 1;
                }
            }
            if (count < 2) syntax_error(st, s, e, type_point2d);
            uint8_t type = count == 2 ? type_point2d : type_point3d;
            c = {type, float_bits(v[0]), float_bits(v[1]), count == 3 ? float_bits(v[2]) : 0};
            break;
        }
        case kind_money: {
            MoneyParts m;
            if (!money_shape(s, e, &m)) syntax_error(st, s, e, type_money);
            // The maker refuses unknown currencies and amounts too long.
            bool registered = datatype::is_registered(type_money);
            if (registered && !money_type::make_from_lexer(m.negative, m.currency, m.digits.data(),
                                                           int32_t(m.digits.size()), m.integral, &c))
                syntax_error(st, s, e, type_money);
            if (!make) return type_money;
            if (!registered) unsupported(st, s, e, type_money);
            break;
        }
        case kind_date: {
            DateFields f;
            bool registered = datatype::is_registered(type_date);
            if (!date_text(s, e, &f) || (registered && !date_type::make_from_literal(f, &c)))
                syntax_error(st, s, e, type_date);
            if (!make) return type_date;
            if (!registered) unsupported(st, s, e, type_date);
            break;
        }
        default:
            syntax_error(st, s, e, code_bad_char);
    }
    int32_t type = cell::type(&c);
    if (make) {
        if (!datatype::is_registered(uint8_t(type))) unsupported(st, s, e, type);
        push(st, c, type);
    }
    return type;
}

}  // namespace

int32_t load_value(State& st, int kind, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make) {
    switch (kind) {
        case kind_string: return load_string(st, s, e, flags, make);
        case kind_word: return load_word(st, s, e, flags, make);
        case kind_issue: return load_prefixed(st, s, e, flags, make, type_issue, '#');
        case kind_refinement: return load_prefixed(st, s, e, flags, make, type_refinement, '/');
        case kind_char: return load_char(st, s, e, make);
        case kind_file: return load_file(st, s, e, flags, make);
        case kind_binary: return load_binary(st, s, e, make);
        case kind_construct: return load_construct(st, s, e, make);
        case kind_tag: return load_locator(st, s, e, flags, make, type_tag);
        case kind_url: return load_locator(st, s, e, flags, make, type_url);
        case kind_email: return load_locator(st, s, e, flags, make, type_email);
        case kind_ref: return load_locator(st, s, e, flags, make, type_ref);
        case kind_raw_string: return load_raw_string(st, s, e, flags, make);
        default: return load_number(st, kind, s, e, make);
    }
}

}  // namespace vum::lexer
