#include "datatypes/string.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::string {

namespace {

constexpr int32_t scratch_size = 65536;
uint8_t* scratch = nullptr;
int32_t scratch_bytes = 0;

// Bytes a buffer may hold at most, with room for the header and padding.
constexpr int64_t max_bytes = cell::max_series_bytes;

[[noreturn]] void no_memory() { errors::raise(err::internal::no_memory); }

// Makes room for `units` elements from the buffer's head at the buffer's
// current unit: grown to that size, or twice the old size when larger.
SeriesBuffer* reserve(uint32_t node, int64_t units) {
    SeriesBuffer* b = nodes::buffer(node);
    int64_t bytes = units * b->unit();
    if (bytes > max_bytes) no_memory();
    if (int64_t(b->head) + bytes <= int64_t(b->size)) return b;
    int64_t grown = std::max<int64_t>(bytes, 2 * int64_t(b->size));
    if (grown > max_bytes) grown = bytes;
    return memory::expand_copy(node, int32_t(grown));
}

}  // namespace

uint32_t make(int32_t room) { return memory::alloc_units(room < 1 ? 1 : room, 1); }

Cell make_cell(int32_t room) { return {type_string, 0, make(room), 0}; }

Cell from_utf8(const char* text) {
    uint32_t node = unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(text), int32_t(std::strlen(text)));
    return {type_string, 0, node, 0};
}

uint32_t unit_of(uint32_t node) {
    uint32_t unit = nodes::buffer(node)->unit();
    if (unit != 1 && unit != 2 && unit != 4) sys::terminate(101, sys::caller_address());
    return unit;
}

SeriesBuffer* widen_to_unit(uint32_t node, uint32_t unit) {
    if (unit > unit_of(node)) return unicode::widen_to(node, unit);
    return nodes::buffer(node);
}

void append_char(uint32_t node, uint32_t cp) {
    uint32_t unit = unit_of(node);
    if (append_unit(cp) > unit) unit = widen_to_unit(node, append_unit(cp))->unit();
    uint8_t* at = series::alloc_tail_bytes(node, int32_t(unit));
    unicode::put_unit(at, unit, 0, cp);
}

void append_ascii(uint32_t node, const char* text) {
    int32_t n = int32_t(std::strlen(text));
    SeriesBuffer* b = nodes::buffer(node);
    if (b->unit() == 1) {
        std::string copy(text, size_t(n));  // the text may lie in a series that growing moves
        std::memcpy(series::alloc_tail_bytes(node, n), copy.data(), size_t(n));
        return;
    }
    for (int32_t i = 0; i < n; i++) append_char(node, uint8_t(text[i]));
}

int32_t append_decimal(uint32_t node, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    if (b->unit() == 1 && b->tail + uint32_t(integer_type::max_decimal_size) <= b->size) {
        // The usual case: byte-wide text with room for any integer.
        int32_t size = integer_type::write_decimal(n, reinterpret_cast<char*>(b->tail_ptr()));
        b->tail += uint32_t(size);
        return size;
    }
    int32_t size = integer_type::decimal_size(n);
    b = reserve(node, int64_t(b->count()) + size);
    uint32_t unit = b->unit();
    if (unit == 1) {
        integer_type::write_decimal(n, reinterpret_cast<char*>(b->tail_ptr()));
    } else {
        char digits[integer_type::max_decimal_size];
        integer_type::write_decimal(n, digits);
        for (int32_t i = 0; i < size; i++) unicode::put_unit(b->tail_ptr(), unit, uint32_t(i), uint8_t(digits[i]));
    }
    b->tail += uint32_t(size) * unit;
    return size;
}

void put_text(uint32_t buffer, const char* text, int32_t* limit) {
    append_ascii(buffer, text);
    *limit -= int32_t(std::strlen(text));
}

void put_char(uint32_t buffer, uint32_t c, int32_t* limit) {
    append_char(buffer, c);
    (*limit)--;
}

void put_indent(uint32_t buffer, int32_t levels, int32_t* limit) {
    for (int32_t k = 0; k < levels; k++) put_text(buffer, "    ", limit);
}

void append_utf8(uint32_t node, const char* text, int32_t length) {
    // The text may lie in a series that appending moves: decode from a copy.
    std::string copy(text, size_t(length));
    const auto* p = reinterpret_cast<const uint8_t*>(copy.data());
    const uint8_t* end = p + copy.size();
    while (p < end) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        append_char(node, cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

void append_string(uint32_t node, const Cell* s) {
    Cell target = {type_string, 0, node, 0};
    concat(&target, s, -1, 0, concat_append);
}

int32_t put_limited(uint32_t node, const char* text, const Cell* arg, int32_t limit) {
    for (const char* p = text; *p; p++) {
        if (limit_used(arg, limit)) break;
        append_char(node, uint8_t(*p));
        limit--;
    }
    return limit;
}

int32_t length(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

uint32_t char_at(uint32_t node, int32_t i) {
    SeriesBuffer* b = nodes::buffer(node);
    return unicode::get_unit(b->head_ptr(), b->unit(), uint32_t(i));
}

void cut(uint32_t node, int32_t characters) {
    SeriesBuffer* b = nodes::buffer(node);
    if (characters < 0) characters = 0;
    if (uint32_t(characters) < b->count()) b->tail = b->head + uint32_t(characters) * b->unit();
}

std::string node_to_utf8(uint32_t node) {
    std::string out;
    int32_t n = length(node);
    for (int32_t i = 0; i < n; i++) {
        char buf[4];
        out.append(buf, size_t(unicode::encode_utf8_char(char_at(node, i), buf)));
    }
    return out;
}

std::string to_utf8(const Cell* s) {
    std::string out;
    int32_t n = length(s->w2);
    for (int32_t i = int32_t(s->w1); i < n; i++) {
        char buf[4];
        out.append(buf, size_t(unicode::encode_utf8_char(char_at(s->w2, i), buf)));
    }
    return out;
}

// ---- Kinds ----

bool is_text_kind(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

bool is_string_kind(uint8_t t) { return is_text_kind(t) || t == type_binary; }

// ---- Primitives ----

SeriesBuffer* poke_char(uint32_t node, int32_t index, uint32_t cp) {
    SeriesBuffer* b = widen_to_unit(node, write_unit(cp));
    unicode::put_unit(b->head_ptr(), b->unit(), uint32_t(index), cp);
    return b;
}

void put_char_at(uint32_t node, int32_t index, uint32_t cp) {
    if (index < 0) return;
    widen_to_unit(node, write_unit(cp));
    int32_t n = length(node);
    if (index >= n) {
        SeriesBuffer* b = reserve(node, int64_t(index) + 1);
        uint32_t unit = b->unit();
        // Whatever lay between the old tail and the index is undefined:
        // spaces keep the text printable.
        for (int32_t i = n; i < index; i++) unicode::put_unit(b->head_ptr(), unit, uint32_t(i), ' ');
        b->tail = b->head + uint32_t(index + 1) * unit;
    }
    poke_char(node, index, cp);
}

void insert_char_at(uint32_t node, int32_t index, uint32_t cp) {
    widen_to_unit(node, write_unit(cp));
    int32_t n = length(node);
    index = std::clamp(index, 0, n);
    SeriesBuffer* b = reserve(node, int64_t(n) + 1);
    uint32_t unit = b->unit();
    uint8_t* at = b->head_ptr() + size_t(index) * unit;
    std::memmove(at + unit, at, size_t(n - index) * unit);
    unicode::put_unit(at, unit, 0, cp);
    b->tail += unit;
}

void insert_ascii(uint32_t node, int32_t index, const char* text, int32_t n) {
    if (n <= 0) return;
    SeriesBuffer* tail = nodes::buffer(node);
    int32_t length = int32_t(tail->count());
    if (index >= length && tail->unit() == 1 && tail->tail + uint32_t(n) <= tail->size) {
        // The usual case, appending to a byte-wide text with room left.
        uint8_t* at = tail->tail_ptr();
        for (int32_t i = 0; i < n; i++) at[i] = uint8_t(text[i]);
        tail->tail += uint32_t(n);
        return;
    }
    index = std::clamp(index, 0, length);
    SeriesBuffer* b = reserve(node, int64_t(length) + n);
    uint32_t unit = b->unit();
    uint8_t* at = b->head_ptr() + size_t(index) * unit;
    if (index < length) std::memmove(at + size_t(n) * unit, at, size_t(length - index) * unit);
    if (unit == 1) {
        std::memcpy(at, text, size_t(n));
    } else {
        for (int32_t i = 0; i < n; i++) unicode::put_unit(at, unit, uint32_t(i), uint8_t(text[i]));
    }
    b->tail += uint32_t(n) * unit;
}

void remove_at(uint32_t node, int32_t index, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    int32_t len = int32_t(b->count());
    if (index < 0 || index >= len || n <= 0) return;
    n = std::min(n, len - index);
    uint32_t unit = b->unit();
    uint8_t* at = b->head_ptr() + size_t(index) * unit;
    std::memmove(at, at + size_t(n) * unit, size_t(len - index - n) * unit);
    b->tail -= uint32_t(n) * unit;
}

void append_c_string(uint32_t node, const char* text) {
    append_bytes(node, reinterpret_cast<const uint8_t*>(text), int32_t(std::strlen(text)));
}

void append_bytes(uint32_t node, const uint8_t* bytes, int32_t n) {
    std::vector<uint8_t> copy(bytes, bytes + n);  // the bytes may lie in a series
    for (uint8_t byte : copy) append_char(node, byte);
}

void clear_to_unit1(Cell* s) {
    SeriesBuffer* b = nodes::buffer(s->w2);
    b->tail = b->head;
    b->flags = (b->flags & ~uint32_t(series_flags::unit_mask)) | 1;
    s->w1 = 0;
}

// ---- Cells ----

Cell* make_empty(Cell* c, int32_t size) { return make_at(c, size, 1); }

Cell* make_at(Cell* c, int32_t size, uint32_t unit) {
    if (unit != 1 && unit != 2 && unit != 4) unit = 1;
    uint32_t node = memory::alloc_units(std::max(size, 1), int32_t(unit));
    return cell::make_series(c, type_string, node, 0);
}

int32_t clip_head(Cell* s) {
    int32_t n = length(s->w2);
    if (int32_t(s->w1) > n) s->w1 = uint32_t(n);
    return int32_t(s->w1);
}

int32_t length_from_head(const Cell* s) { return std::max(0, length(s->w2) - int32_t(s->w1)); }

bool at_tail(const Cell* s) { return int32_t(s->w1) >= length(s->w2); }

int32_t find_char(const Cell* s, uint32_t cp) {
    int32_t n = length(s->w2);
    for (int32_t i = int32_t(s->w1); i < n; i++)
        if (char_at(s->w2, i) == cp) return i - int32_t(s->w1);
    return -1;
}

bool find_char_skip(const Cell* s, uint32_t cp, int32_t skip, bool case_sensitive) {
    if (skip < 1) skip = 1;
    int32_t n = length(s->w2);
    uint32_t wanted = case_sensitive ? cp : fold(cp);
    // 64-bit, so a skip near 2^31 cannot overflow past the end.
    for (int64_t i = s->w1; i < n; i += skip) {
        uint32_t c = char_at(s->w2, int32_t(i));
        if ((case_sensitive ? c : fold(c)) == wanted) return true;
    }
    return false;
}

bool starts_with_ascii(const Cell* s, const char* text) {
    int32_t n = length(s->w2);
    int32_t i = int32_t(s->w1);
    for (const char* p = text; *p; p++, i++)
        if (i >= n || char_at(s->w2, i) != uint8_t(*p)) return false;
    return true;
}

bool char_in_bitset(const Cell* s, const Cell* bitset) {
    if (at_tail(s)) return false;
    uint32_t cp = char_at(s->w2, int32_t(s->w1));
    SeriesBuffer* b = nodes::buffer(bitset->w2);
    uint32_t bytes = b->tail - b->head;
    if (uint64_t(cp) >= uint64_t(bytes) * 8) return (b->flags & series_flags::complemented) != 0;
    return (b->head_ptr()[cp >> 3] & (0x80u >> (cp & 7))) != 0;
}

bool tag_delimited(const Cell* s) {
    int32_t n = length(s->w2);
    int32_t i = int32_t(s->w1);
    return n - i >= 2 && char_at(s->w2, i) == '<' && char_at(s->w2, n - 1) == '>';
}

bool match_at(const Cell* s, const Cell* value, bool case_sensitive) {
    auto same = [&](uint32_t a, uint32_t b) { return case_sensitive ? a == b : fold(a) == fold(b); };
    int32_t i = int32_t(s->w1);
    int32_t n = length(s->w2);
    uint8_t t = cell::type(value);
    if (t == type_char) return i < n && same(char_at(s->w2, i), value->w2);
    if (!is_text_kind(t)) return false;
    std::vector<uint32_t> wanted;
    if (t == type_tag) wanted.push_back('<');
    for (int32_t j = int32_t(value->w1); j < length(value->w2); j++) wanted.push_back(char_at(value->w2, j));
    if (t == type_tag) wanted.push_back('>');
    if (int64_t(n) - i < int64_t(wanted.size())) return false;
    for (size_t k = 0; k < wanted.size(); k++)
        if (!same(char_at(s->w2, i + int32_t(k)), wanted[k])) return false;
    return true;
}

void copy_units(uint32_t target, int32_t to, uint32_t source, int32_t from, int32_t count) {
    SeriesBuffer* t = nodes::buffer(target);
    SeriesBuffer* s = nodes::buffer(source);
    uint32_t tu = t->unit(), su = s->unit();
    if (tu == su) {
        std::memmove(t->head_ptr() + size_t(to) * tu, s->head_ptr() + size_t(from) * su, size_t(count) * tu);
        return;
    }
    // Converting copies never share a buffer: units differ.
    for (int32_t i = 0; i < count; i++)
        unicode::put_unit(t->head_ptr(), tu, uint32_t(to + i), unicode::get_unit(s->head_ptr(), su, uint32_t(from + i)));
}

void concat(const Cell* target, const Cell* source, int32_t limit, int32_t offset, ConcatKind kind) {
    uint32_t tn = target->w2;
    uint32_t sn = source->w2;
    gc::ProtectNode keep_t(&tn);
    gc::ProtectNode keep_s(&sn);
    int32_t from = std::min<int32_t>(int32_t(source->w1), length(sn));
    int32_t count = length(sn) - from;
    if (limit >= 0 && limit < count) count = limit;
    if (count <= 0) return;
    // A text spliced into its own buffer is copied out first: the move
    // that opens the gap would shift it.
    if (tn == sn) {
        sn = series::copy_part(sn, from, count);
        from = 0;
    }
    widen_to_unit(tn, unit_of(sn));
    int32_t n = length(tn);
    int32_t at = kind == concat_append ? n : std::clamp(offset, 0, n);
    int64_t end = kind == concat_insert ? int64_t(n) + count : std::max<int64_t>(n, int64_t(at) + count);
    SeriesBuffer* b = reserve(tn, end);
    uint32_t unit = b->unit();
    if (kind == concat_insert)
        std::memmove(b->head_ptr() + size_t(at + count) * unit, b->head_ptr() + size_t(at) * unit, size_t(n - at) * unit);
    copy_units(tn, at, sn, from, count);
    b = nodes::buffer(tn);
    b->tail = b->head + uint32_t(end) * unit;
}

void splice(uint32_t tn, int32_t at, int32_t replace, uint32_t sn, int32_t from, int32_t count, uint32_t cp,
            int64_t times) {
    gc::ProtectNode keep_t(&tn);
    gc::ProtectNode keep_s(&sn);
    if (count < 0) count = 0;
    if (times < 0) times = 0;
    int64_t n = length(tn);
    at = int32_t(std::clamp<int64_t>(at, 0, n));
    replace = int32_t(std::clamp<int64_t>(replace, 0, n - at));
    int64_t added = int64_t(count) * times;
    uint32_t need = sn ? unit_of(sn) : append_unit(cp);
    int64_t new_length = n - replace + added;
    if (new_length * std::max(need, unit_of(tn)) > max_bytes) no_memory();
    if (added == 0 && replace == 0) return;
    if (sn && sn == tn && added > 0) {
        sn = series::copy_part(sn, from, count);
        from = 0;
    }
    widen_to_unit(tn, need);
    SeriesBuffer* b = reserve(tn, std::max(n, new_length));
    uint32_t unit = b->unit();
    uint8_t* base = b->head_ptr();
    std::memmove(base + size_t(at + added) * unit, base + size_t(at + replace) * unit, size_t(n - at - replace) * unit);
    if (added > 0) {
        if (sn) {
            copy_units(tn, at, sn, from, count);
        } else {
            unicode::put_unit(base, unit, uint32_t(at), cp);
        }
        // Repeats by doubling the run already written.
        b = nodes::buffer(tn);
        base = b->head_ptr() + size_t(at) * unit;
        int64_t done = sn ? count : 1;
        int64_t total = sn ? added : times;
        while (done < total) {
            int64_t k = std::min(done, total - done);
            std::memcpy(base + size_t(done) * unit, base, size_t(k) * unit);
            done += k;
        }
    }
    b->tail = b->head + uint32_t(new_length) * unit;
}

void rotate_runs(uint8_t* p, int32_t a, int32_t b) {
    if (a <= 0 || b <= 0) return;
    if (!scratch) init_scratch();
    int32_t small = std::min(a, b);
    if (small > scratch_bytes) {
        scratch = static_cast<uint8_t*>(heap::realloc(scratch, small));
        scratch_bytes = small;
    }
    if (a <= b) {
        std::memcpy(scratch, p, size_t(a));
        std::memmove(p, p + a, size_t(b));
        std::memcpy(p + b, scratch, size_t(a));
    } else {
        std::memcpy(scratch, p + a, size_t(b));
        std::memmove(p + b, p, size_t(a));
        std::memcpy(p, scratch, size_t(b));
    }
    if (scratch_bytes > scratch_size) {
        scratch = static_cast<uint8_t*>(heap::realloc(scratch, scratch_size));
        scratch_bytes = scratch_size;
    }
}

void init_scratch() {
    if (scratch) return;
    scratch = static_cast<uint8_t*>(heap::alloc(scratch_size));
    scratch_bytes = scratch_size;
}

void move_chars(const Cell* a, const Cell* b, int32_t n) {
    gc::Local from(*a);
    gc::Local to(*b);
    n = std::min(n, length_from_head(&from));
    for (int32_t k = 0; k < n; k++)
        insert_char_at(to.w2, int32_t(to.w1) + k, char_at(from.w2, int32_t(from.w1) + k));
    remove_at(from.w2, int32_t(from.w1), n);
}

uint32_t fold(uint32_t cp) { return cp < 0x80 ? (cp - 'A' < 26u ? cp + 32 : cp) : case_map::map_char(cp, 0); }

int32_t compare_strings(const Cell* a, const Cell* b, int32_t op, bool match) {
    using namespace actions;
    bool equality = op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find;
    if (op == op_same) return a->w2 == b->w2 && a->w1 == b->w1 && cell::type(a) == cell::type(b) ? 0 : 1;
    if (a->w2 == b->w2 && a->w1 == b->w1 && equality) return 0;
    // Word kinds compare their names.
    auto text = [](const Cell* c, std::vector<uint32_t>& out) {
        uint8_t t = cell::type(c);
        if (t >= type_word && t <= type_refinement) {
            std::string name = symbols::text(int32_t(c->w2));
            const auto* p = reinterpret_cast<const uint8_t*>(name.data());
            const uint8_t* end = p + name.size();
            while (p < end) {
                int32_t cp;
                p = unicode::decode_utf8_char(p, end, &cp);
                out.push_back(cp < 0 ? 0xFFFD : uint32_t(cp));
            }
            return true;
        }
        return false;
    };
    std::vector<uint32_t> wa, wb;
    bool words_a = text(a, wa), words_b = text(b, wb);
    auto len = [](const Cell* c, bool word, const std::vector<uint32_t>& w) {
        return word ? int32_t(w.size()) : length_from_head(c);
    };
    auto at = [](const Cell* c, bool word, const std::vector<uint32_t>& w, int32_t i) {
        return word ? w[size_t(i)] : char_at(c->w2, int32_t(c->w1) + i);
    };
    int32_t la = len(a, words_a, wa), lb = len(b, words_b, wb);
    if (match) {
        if (lb == 0) return op == op_find ? 1 : 0;
        if (la < lb) return -1;
        la = lb;
    } else if (equality && la != lb) {
        return la < lb ? -1 : 1;
    }
    bool folded = op != op_strict_equal && op != op_case_sort;
    int32_t n = std::min(la, lb);
    for (int32_t i = 0; i < n; i++) {
        uint32_t x = at(a, words_a, wa, i), y = at(b, words_b, wb, i);
        if (folded) {
            x = fold(x);
            y = fold(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return la == lb ? 0 : la < lb ? -1 : 1;
}

Cell* push_copy(const Cell* s) {
    gc::Local source(*s);
    int32_t from = std::min<int32_t>(int32_t(source.w1), length(source.w2));
    uint32_t node = series::copy_part(source.w2, from, length(source.w2) - from);
    Cell* c = stack::push_cell();
    return cell::make_series(c, cell::type(&source), node, 0);
}

// ---- Whitespace ----

bool is_horizontal_space(uint32_t cp) {
    switch (cp) {
        case 9: case 32: case 133: case 160: case 5760: case 6158: case 8232: case 8233: case 8239: case 8287:
        case 12288:
            return true;
        default:
            return cp >= 8192 && cp <= 8202;
    }
}

bool is_space(uint32_t cp) { return (cp >= 1 && cp <= 32) || is_horizontal_space(cp); }

}  // namespace vum::string
