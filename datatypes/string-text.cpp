#include "datatypes/string-text.h"

#include <algorithm>
#include <cmath>

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-helpers.h"
#include "memory/series.h"
#include "memory/unicode.h"

namespace vum::string {

namespace {
constexpr char hex_digits[] = "0123456789ABCDEF";
}

const char* byte_to_hex(uint8_t byte) {
    static char text[3];
    text[0] = hex_digits[byte >> 4];
    text[1] = hex_digits[byte & 15];
    text[2] = 0;
    return text;
}

const char* to_hex_text(int32_t n, bool significant) {
    static char text[9];
    uint32_t u = uint32_t(n);
    for (int i = 7; i >= 0; i--, u >>= 4) text[i] = hex_digits[u & 15];
    text[8] = 0;
    if (!significant || n < 0) return text;
    // Whole bytes stay paired, as escapes are read back: "1E", "E9", "1F600".
    int start = 0;
    while (start < 6 && text[start] == '0') start++;
    return text + start;
}

namespace {

using namespace actions;

// The character written after "^" for code points 0 to 94, or 0.
char escape_of(uint32_t cp) {
    static const char controls[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    if (cp < 32) return controls[cp];
    if (cp == '"') return '"';
    if (cp == '^') return '^';
    return 0;
}

int32_t hex_value(uint32_t c) {
    if (c >= '0' && c <= '9') return int32_t(c - '0');
    if (c >= 'A' && c <= 'F') return int32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int32_t(c - 'a' + 10);
    return -1;
}

bool is_any_block(uint8_t t) { return t == type_block || t == type_paren || t == type_hash; }

// Forms each element of a block from its head into the buffer, with no
// separator.
void form_elements(const Cell* block, uint32_t buffer) {
    gc::Local b(*block);
    for (int32_t i = int32_t(b.w1);; i++) {
        SeriesBuffer* sb = nodes::buffer(b.w2);
        if (i >= int32_t(sb->count())) break;
        gc::Local element(reinterpret_cast<const Cell*>(sb->head_ptr())[i]);
        call_form(&element, buffer, false, -1);
    }
}

}  // namespace

void append_escaped(uint32_t buffer, uint32_t cp, bool all) {
    if (cp == 30 || (cp >= 128 && cp <= 159) || (all && cp > 127)) {
        append_ascii(buffer, "^(");
        append_ascii(buffer, string::to_hex_text(int32_t(cp), true));
        append_char(buffer, ')');
        return;
    }
    if (cp < 95) {
        if (char e = escape_of(cp)) {
            append_char(buffer, '^');
            append_char(buffer, uint8_t(e));
            return;
        }
    }
    if (cp == 127) {
        append_ascii(buffer, "^~");
        return;
    }
    append_char(buffer, cp);
}

int32_t read_escape(const char32_t* p, const char32_t* end, uint32_t* cp) {
    if (end - p < 2 || p[0] != U'^') return 0;
    uint32_t c = uint32_t(p[1]);
    if (c == '(') {
        uint32_t value = 0;
        int32_t digits = 0;
        const char32_t* q = p + 2;
        for (; q < end && *q != U')'; q++, digits++) {
            int32_t d = hex_value(uint32_t(*q));
            if (d < 0 || digits >= 6) return 0;
            value = value << 4 | uint32_t(d);
        }
        if (q >= end || digits == 0 || value > 0x10FFFF) return 0;
        *cp = value;
        return int32_t(q - p) + 1;
    }
    switch (c) {
        case '/': *cp = 10; return 2;
        case '-': *cp = 9; return 2;
        case '~': *cp = 127; return 2;
        case '"': case '^': case '{': case '}': *cp = c; return 2;
        case '@': *cp = 0; return 2;
        case '[': *cp = 27; return 2;
        case '\\': *cp = 28; return 2;
        case ']': *cp = 29; return 2;
        case '_': *cp = 31; return 2;
        default: break;
    }
    if (c >= 'A' && c <= 'Z') { *cp = c - 'A' + 1; return 2; }
    if (c >= 'a' && c <= 'z') { *cp = c - 'a' + 1; return 2; }
    return 0;
}

void count_quotes_and_newlines(const uint8_t* p, int32_t count, uint32_t unit, int32_t* quotes, int32_t* newlines) {
    *quotes = *newlines = 0;
    for (int32_t i = 0; i < count; i++) {
        uint32_t c = unicode::get_unit(p, unit, uint32_t(i));
        if (c == '"') ++*quotes;
        else if (c == '\n') ++*newlines;
    }
}

bool braces_balanced(const uint8_t* data, int32_t i, int32_t end, uint32_t unit) {
    int32_t depth = 0;
    for (int32_t k = i; k < end; k++) {
        uint32_t c = unicode::get_unit(data, unit, uint32_t(k));
        if (c == '{') depth++;
        else if (c == '}' && --depth == 0) return true;
    }
    return false;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    gc::Local v(*value);
    int32_t whole = length_from_head(&v);
    Cell target = {type_string, 0, buffer, 0};
    concat(&target, &v, arg ? std::max(limit, 0) : -1, 0, concat_append);
    return limit - whole;
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    gc::Local v(*value);
    uint32_t node = v.w2;
    int32_t head = std::min<int32_t>(int32_t(v.w1), length(node));
    int32_t whole = length(node) - head;
    int32_t end = head + whole;
    if (arg) end = head + std::clamp(limit, 0, whole);
    int32_t scanned = end - head;

    SeriesBuffer* b = nodes::buffer(node);
    uint32_t unit = unit_of(node);
    int32_t quotes, newlines;
    count_quotes_and_newlines(b->head_ptr() + size_t(head) * unit, scanned, unit, &quotes, &newlines);
    bool braces = newlines >= 3 || quotes > 0 || whole >= 50;

    append_char(buffer, braces ? '{' : '"');
    bool balanced = true;
    int32_t open = 0;
    for (int32_t i = head; i < end; i++) {
        // Appending may move this buffer (when it is the output too).
        b = nodes::buffer(node);
        uint32_t c = unicode::get_unit(b->head_ptr(), unit, uint32_t(i));
        if (!braces) {
            append_escaped(buffer, c, all);
            continue;
        }
        switch (c) {
            case '{':
                if (balanced && !braces_balanced(b->head_ptr(), i, end, unit)) balanced = false;
                if (balanced) {
                    open++;
                    append_char(buffer, '{');
                } else {
                    append_ascii(buffer, "^{");
                }
                break;
            case '}':
                if (open == 0) {
                    append_ascii(buffer, "^}");
                } else {
                    open--;
                    append_char(buffer, '}');
                }
                break;
            case '"': append_char(buffer, '"'); break;
            default: append_escaped(buffer, c, all); break;
        }
    }
    append_char(buffer, braces ? '}' : '"');
    return limit - scanned - 2;
}

void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (type == type_binary && t == type_money) {
        Cell target = cell::make_datatype(uint8_t(type)), s = *spec;
        errors::raise(err::script::bad_make_arg, &target, &s);
    }
    if (t == type_integer || t == type_float) {
        Cell s = *spec;
        int32_t size = integer::from_number(&s);
        if (size < 0) errors::raise_out_of_range(&s);
        uint32_t node = memory::alloc_units(size == 0 ? 16 : size, 1);
        cell::make_series(result, uint8_t(type), node, 0);
        return;
    }
    if (type == type_binary) {
        binary::to(prototype, spec, type, result);
        return;
    }
    to(prototype, spec, type, result);
}

void to(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    gc::Local s(*spec);
    uint8_t t = cell::type(&s);
    gc::Local out({type_none, 0, 0, 0});
    if (t == type_none) {
        Cell target = cell::make_datatype(uint8_t(type));
        errors::raise(err::script::bad_to_arg, &target, &s);
    }
    if (is_text_kind(t)) {
        int32_t from = std::min<int32_t>(int32_t(s.w1), length(s.w2));
        cell::make_series(&out, uint8_t(type), series::copy_part(s.w2, from, length(s.w2) - from), 0);
    } else if (t == type_binary) {
        from_utf8_binary(&s, type, &out);
    } else {
        out = make_cell(16);
        if (is_any_block(t))
            form_elements(&s, out.w2);
        else if (t == type_refinement && type != type_string)
            call_mold(&s, out.w2, false, false, false, false, -1, 0);
        else
            call_form(&s, out.w2, false, -1);
    }
    cell::set_type(&out, uint8_t(type));
    *result = out;
}

void from_utf8_binary(const Cell* binary, int32_t type, Cell* result) {
    gc::Local b(*binary);
    SeriesBuffer* sb = nodes::buffer(b.w2);
    int32_t head = std::min<int32_t>(int32_t(b.w1), int32_t(sb->tail - sb->head));
    int32_t n = int32_t(sb->tail - sb->head) - head;
    int32_t remainder = 0;
    uint32_t node = unicode::load_utf8_buffer(sb->head_ptr() + head, n, 0, &remainder, false, b.w2);
    if (remainder > 0) {
        Cell rest = {type_binary, 0, series::copy_part(b.w2, head + n - remainder, remainder), 0};
        errors::raise(err::access::invalid_utf8, &rest);
    }
    cell::make_series(result, uint8_t(type), node, 0);
}

}  // namespace vum::string
