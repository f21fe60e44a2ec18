#include "datatypes/binary.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/base-codecs.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string-type.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::binary {

namespace {

using namespace actions;
using ownership::Action;
using refinement_args::bad_refinement;
using refinement_args::integer_refinement;
using refinement_args::part_of;

// Bytes a buffer may hold at most, with room for the header and padding.
constexpr int64_t max_bytes = cell::max_series_bytes;

constexpr char hex_digits[] = "0123456789ABCDEF";

// Molds of more than this many bytes break into lines of 32 bytes.
constexpr int32_t one_line_bytes = 30;
constexpr int32_t bytes_per_line = 32;

const Cell none = {type_none, 0, 0, 0};

[[noreturn]] void no_memory() { errors::raise(err::internal::no_memory); }
[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }
[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

[[noreturn]] void bad_to(const Cell* value) {
    Cell target = cell::make_datatype(type_binary);
    Cell v = *value;
    errors::raise(err::script::bad_to_arg, &target, &v);
}

bool is_any_block(uint8_t t) { return t == type_block || t == type_paren || t == type_hash; }

int32_t buffer_length(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

// The position, moved back to the tail when it lies past it.
int32_t clip_head(Cell* s) {
    int32_t n = buffer_length(s->w2);
    if (int32_t(s->w1) > n) s->w1 = uint32_t(n);
    return int32_t(s->w1);
}

Cell at_index(const Cell* s, int64_t index) {
    Cell r = *s;
    r.w1 = uint32_t(index);
    return r;
}

// The change reports: the second only when the first found an owner.
bool report(const Cell* series, Action action, const Cell* value, int64_t index, int64_t count) {
    return ownership::check(series, ownership::action_word(action), value, int32_t(index), int32_t(count));
}
void reported(const Cell* series, Action action, bool owned, int64_t index, int64_t count) {
    if (owned) ownership::check(series, ownership::past_word(action), nullptr, int32_t(index), int32_t(count));
}

int64_t dup_count(const Cell* dup) { return dup ? std::max<int64_t>(0, integer_refinement("dup", dup)) : 1; }

// Replaces `replace` bytes at `at` by `times` copies of the run. The sizes
// are checked before anything changes.
void splice(uint32_t node, int64_t at, int64_t replace, const std::string& run, int64_t times) {
    gc::ProtectNode keep(&node);
    int64_t n = buffer_length(node);
    at = std::clamp<int64_t>(at, 0, n);
    replace = std::clamp<int64_t>(replace, 0, n - at);
    int64_t added = int64_t(run.size()) * times;  // both below 2^31: no overflow
    int64_t new_length = n - replace + added;
    if (added > max_bytes || new_length > max_bytes) no_memory();
    if (added == 0 && replace == 0) return;
    SeriesBuffer* b = nodes::buffer(node);
    if (int64_t(b->head) + new_length > int64_t(b->size)) {
        int64_t grown = std::max<int64_t>(new_length, 2 * int64_t(b->size));
        if (grown > max_bytes) grown = new_length;
        b = memory::expand_copy(node, int32_t(grown));
    }
    uint8_t* base = b->head_ptr();
    std::memmove(base + at + added, base + at + replace, size_t(n - at - replace));
    if (added > 0) {
        std::memcpy(base + at, run.data(), run.size());
        // Repeats by doubling the run already written.
        int64_t done = int64_t(run.size());
        while (done < added) {
            int64_t k = std::min(done, added - done);
            std::memcpy(base + at + done, base + at, size_t(k));
            done += k;
        }
    }
    b->tail = b->head + uint32_t(new_length);
}

// ---- Bytes of a value ----

struct ByteSink {
    std::string& out;
    int64_t left;  // below 0: no limit
    bool formed;
    bool full() const { return left == 0; }
    void add(const void* p, size_t n) {
        if (left >= 0) {
            n = size_t(std::min<int64_t>(int64_t(n), left));
            left -= int64_t(n);
        }
        out.append(static_cast<const char*>(p), n);
    }
};

void add_text(ByteSink& sink, const Cell* text) {
    std::string utf8 = string::to_utf8(text);
    sink.add(utf8.data(), utf8.size());
}

void add_bytes_of(ByteSink& sink, const Cell* value);

// Each element in turn from the position; a block met again inside itself
// adds nothing.
void add_elements(ByteSink& sink, const Cell* block) {
    gc::Local b(*block);
    if (cycles::find(b.w2)) return;
    cycles::Visit visit(b.w2);
    gc::Local element(none);
    for (int32_t i = int32_t(b.w1); i < buffer_length(b.w2) && !sink.full(); i++) {
        element = series::cells_head(b.w2)[i];
        add_bytes_of(sink, &element);
    }
}

void add_bytes_of(ByteSink& sink, const Cell* value) {
    uint8_t t = cell::type(value);
    if (t == type_integer) {
        int32_t n = cell::get_integer(value);
        if (n < -128 || n > 255) invalid_arg(value);
        uint8_t byte = uint8_t(n);
        sink.add(&byte, 1);
    } else if (t == type_char) {
        char utf8[4];
        sink.add(utf8, size_t(unicode::encode_utf8_char(value->w2, utf8)));
    } else if (t == type_binary) {
        sink.add(position_pointer(value), size_t(length_from_index(value)));
    } else if (t == type_tuple) {
        int32_t n = int32_t((value->header & cell::tuple_length_mask) >> cell::tuple_length_shift);
        sink.add(reinterpret_cast<const uint8_t*>(value) + 4, size_t(std::clamp(n, 0, 12)));
    } else if (is_any_block(t)) {
        add_elements(sink, value);
    } else if (string::is_text_kind(t)) {
        add_text(sink, value);
    } else if (sink.formed) {
        gc::Local text(string::make_cell(16));
        call_form(value, text.w2, false, -1);
        add_text(sink, &text);
    } else {
        bad_to(value);
    }
}

Cell from_bytes(const std::string& bytes) {
    gc::Local out(make_cell(int32_t(bytes.size())));
    append_bytes_raw(out.w2, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
    return out;
}

// The big-endian bytes of an unsigned number.
void put_big_endian(std::string& out, uint64_t bits, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out += char(bits >> (8 * i));
}

// ---- Bitwise ----

enum BitOp { bit_and, bit_or, bit_xor };

template <BitOp Op>
void bitwise() {
    const Cell* other = stack::arg(1);
    if (cell::type(other) != type_binary) invalid_arg(other);
    int32_t la = length_from_index(stack::arg(0)), lb = length_from_index(stack::arg(1));
    int32_t n = std::max(la, lb), shorter = std::min(la, lb);
    Cell out = make_cell(n);
    // The allocation may have moved both operands' buffers.
    const uint8_t* a = position_pointer(stack::arg(0));
    const uint8_t* b = position_pointer(stack::arg(1));
    SeriesBuffer* ob = nodes::buffer(out.w2);
    uint8_t* r = ob->head_ptr();
    for (int32_t i = 0; i < shorter; i++)
        r[i] = Op == bit_and ? a[i] & b[i] : Op == bit_or ? a[i] | b[i] : a[i] ^ b[i];
    const uint8_t* longer = la > lb ? a : b;
    for (int32_t i = shorter; i < n; i++) r[i] = Op == bit_and ? 0 : longer[i];
    ob->tail = ob->head + uint32_t(n);
    *stack::arg(0) = out;
}

}  // namespace

// ---- Makers ----

uint32_t make(int32_t capacity) { return memory::alloc_units(capacity < 0 ? 0 : capacity, 1); }

Cell make_cell(int32_t capacity) { return {type_binary, 0, make(capacity), 0}; }

Cell* load_bytes(const uint8_t* bytes, int32_t n, const Cell* block) {
    std::string copy(reinterpret_cast<const char*>(bytes), size_t(std::max(n, 0)));
    gc::Local out(from_bytes(copy));
    Cell* slot = block ? series::alloc_tail(block) : stack::push_cell();
    *slot = out;
    return slot;
}

Cell* push_bytes(const uint8_t* bytes, int32_t n) { return load_bytes(bytes, n, nullptr); }

Cell* push(const Cell* value) { return stack::push_copy(value); }

// ---- Reading ----

int32_t length_from_index(const Cell* value) {
    return std::max(buffer_length(value->w2) - int32_t(value->w1), 0);
}

uint8_t* position_pointer(const Cell* value) {
    SeriesBuffer* b = nodes::buffer(value->w2);
    return b->head_ptr() + std::min<uint32_t>(value->w1, b->count());
}

uint8_t byte_at(const Cell* value, int32_t offset) { return nodes::buffer(value->w2)->head_ptr()[offset]; }

std::string to_bytes(const Cell* value) {
    return std::string(reinterpret_cast<const char*>(position_pointer(value)), size_t(length_from_index(value)));
}

// ---- Writing ----

uint8_t* append_bytes_raw(uint32_t node, const uint8_t* bytes, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    if (n <= 0) return b->tail_ptr();
    // With room at the tail nothing allocates, so bytes that lie in a
    // series stay where they are and are copied once; a growth may move
    // them, so that path copies them aside first.
    if (int64_t(b->tail) + n <= int64_t(b->size) && int64_t(buffer_length(node)) + n <= max_bytes) {
        uint8_t* at = b->tail_ptr();
        std::memcpy(at, bytes, size_t(n));
        b->tail += uint32_t(n);
        return at;
    }
    std::string run(reinterpret_cast<const char*>(bytes), size_t(n));
    int32_t at = buffer_length(node);
    splice(node, at, 0, run, 1);
    return nodes::buffer(node)->head_ptr() + at;
}

uint8_t* insert_bytes(const Cell* value, int32_t offset, const uint8_t* bytes, int32_t n) {
    gc::Local v(*value);
    int64_t at = std::clamp<int64_t>(int64_t(v.w1) + offset, 0, buffer_length(v.w2));
    if (n > 0) splice(v.w2, at, 0, std::string(reinterpret_cast<const char*>(bytes), size_t(n)), 1);
    return nodes::buffer(v.w2)->head_ptr() + at;
}

uint8_t value_to_byte(const Cell* value) {
    uint8_t t = cell::type(value);
    if (t != type_integer && t != type_char) invalid_arg(value);
    return uint8_t(value->w2);
}

void bytes_of(const Cell* value, int64_t limit, bool formed, std::string& out) {
    gc::Local v(*value);
    ByteSink sink{out, limit < 0 ? -1 : limit, formed};
    add_bytes_of(sink, &v);
}

// ---- Comparing ----

int32_t compare_bytes(const Cell* a, const Cell* b, int32_t op, bool prefix) {
    uint8_t tb = cell::type(b);
    if (!string::is_string_kind(tb)) return not_comparable;
    bool equality = op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find;
    if (cell::type(a) == tb && a->w2 == b->w2 && a->w1 == b->w1 && (op == op_same || equality)) return 0;
    if (op == op_same) return -1;
    // A text is compared by its UTF-8.
    std::string text;
    if (tb != type_binary) text = string::to_utf8(b);
    const uint8_t* pb = tb == type_binary ? position_pointer(b) : reinterpret_cast<const uint8_t*>(text.data());
    int32_t lb = tb == type_binary ? length_from_index(b) : int32_t(text.size());
    const uint8_t* pa = position_pointer(a);
    int32_t la = length_from_index(a);
    int32_t n;
    if (prefix) {
        if (lb == 0) return op == op_equal || op == op_strict_equal || op == op_find ? 0 : 1;
        // Too short to hold the prefix.
        if (la < lb) return -1;
        n = lb;
    } else {
        if (la != lb && equality) return 1;
        n = std::min(la, lb);
    }
    for (int32_t i = 0; i < n; i++)
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
    if (prefix) return 0;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

bool byte_in_bitset(const Cell* value, const Cell* bitset) {
    if (length_from_index(value) == 0) return false;
    uint8_t byte = *position_pointer(value);
    SeriesBuffer* b = nodes::buffer(bitset->w2);
    uint32_t bytes = b->tail - b->head;
    if (uint32_t(byte) >= bytes * 8) return (b->flags & series_flags::complemented) != 0;
    return (b->head_ptr()[byte >> 3] & (0x80u >> (byte & 7))) != 0;
}

bool match_at(const Cell* value, const Cell* pattern) {
    uint8_t t = cell::type(pattern);
    if (t == type_char) return length_from_index(value) > 0 && *position_pointer(value) == pattern->w2;
    if (!string::is_string_kind(t)) return false;
    return compare_bytes(value, pattern, op_equal, true) == 0;
}

// ---- Handlers ----

void make_handler(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    // Sizes, and the refusal of money!, are string!'s.
    if (t == type_integer || t == type_float || t == type_money) {
        string::make(prototype, spec, type, result);
        return;
    }
    to(prototype, spec, type, result);
}

void to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    gc::Local s(*spec);
    uint8_t t = cell::type(&s);
    std::string bytes;
    switch (t) {
        case type_binary:
            *result = {type_binary, 0, series::copy_part(s.w2, int32_t(s.w1), length_from_index(&s)), 0};
            return;
        case type_integer:
            put_big_endian(bytes, uint32_t(cell::get_integer(&s)), 4);
            break;
        case type_float: case type_percent: {
            double d = cell::get_double(&s);
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            put_big_endian(bytes, bits, 8);
            break;
        }
        case type_issue: {
            int32_t length = 0;
            const char* name = symbols::text(int32_t(s.w2), &length);
            if (!decode_base16(reinterpret_cast<const uint8_t*>(name), length, 1, bytes))
                errors::raise(err::script::invalid_data, &s);
            break;
        }
        case type_bitset: {
            SeriesBuffer* b = nodes::buffer(s.w2);
            bytes.assign(reinterpret_cast<const char*>(b->head_ptr()), b->tail - b->head);
            break;
        }
        case type_image:
            // Its pixels come with image!.
            not_done();
        default:
            if (!(t == type_char || t == type_tuple || is_any_block(t) || string::is_text_kind(t))) bad_to(&s);
            bytes_of(&s, -1, false, bytes);
            break;
    }
    *result = from_bytes(bytes);
}

int32_t mold(const Cell* value, uint32_t buffer, bool only, bool, bool flat, const Cell* arg, int32_t limit,
             int32_t indent) {
    int32_t n = length_from_index(value);
    bool lines = !flat && n > one_line_bytes;
    std::string text;
    auto put = [&](const char* s, size_t k) {
        text.append(s, k);
        limit -= int32_t(k);
    };
    auto line_break = [&](int32_t level) {
        put("\n", 1);
        for (int32_t k = 0; k < level; k++) put("    ", 4);
    };
    if (!only) put("#{", 2);
    if (lines) line_break(indent + 1);
    const uint8_t* bytes = position_pointer(value);  // nothing allocates until the text is appended
    int32_t i = 0;
    for (; i < n && !string::limit_used(arg, limit); i++) {
        char pair[2] = {hex_digits[bytes[i] >> 4], hex_digits[bytes[i] & 15]};
        put(pair, 2);
        // The line after the last byte closes at the outer level instead.
        if (lines && (i + 1) % bytes_per_line == 0 && i + 1 < n) line_break(indent + 1);
    }
    if (!string::limit_used(arg, limit)) {
        if (lines) line_break(indent);
        if (!only) put("}", 1);
    }
    string::append_utf8(buffer, text.data(), int32_t(text.size()));
    return limit;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return mold(value, buffer, false, false, false, arg, limit, 0);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_binary) return not_comparable;
    return compare_bytes(a, b, op, false);
}

void insert(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, bool append, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int64_t limit = part ? std::max<int64_t>(0, part_of(&v, part)) : -1;
    int64_t times = dup_count(dup);
    std::string run;
    bytes_of(&v, limit, false, run);
    clip_head(&s);
    int32_t n = buffer_length(s.w2);
    int64_t at = append ? n : int64_t(s.w1);
    int64_t added = int64_t(run.size()) * times;
    if (added > max_bytes || n + added > max_bytes) no_memory();
    Action action = append ? ownership::action_append : ownership::action_insert;
    bool owned = report(&s, action, &v, at, added);
    // The owner's handler may have changed the series.
    at = std::min<int64_t>(at, buffer_length(s.w2));
    if (append) at = buffer_length(s.w2);
    splice(s.w2, at, 0, run, times);
    reported(&s, action, owned, at, added);
    *result = at_index(&s, append ? 0 : at + added);
}

void change(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int64_t head = clip_head(&s);
    int64_t times = dup_count(dup);
    // Taken before anything moves, also when the value is this series.
    std::string run;
    bytes_of(&v, -1, true, run);
    int64_t written = int64_t(run.size()) * times;
    int64_t n = buffer_length(s.w2);
    int64_t replaced = std::clamp<int64_t>(part ? part_of(&s, part) : written, 0, n - head);
    if (written > max_bytes || n - replaced + written > max_bytes) no_memory();
    bool owned = report(&s, ownership::action_change, &v, head, replaced);
    splice(s.w2, head, replaced, run, times);
    reported(&s, ownership::action_change, owned, head, written);
    *result = at_index(&s, std::min<int64_t>(head + written, buffer_length(s.w2)));
}

void trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with, Cell* result) {
    gc::Local s(*series);
    if (automatic || lines) not_done();
    std::vector<uint32_t> set;
    if (with) {
        uint8_t t = cell::type(with);
        if (string::is_string_kind(t)) {
            for (int32_t i = int32_t(with->w1); i < string::length(with->w2); i++)
                set.push_back(string::char_at(with->w2, i));
        } else if (t == type_char || t == type_integer) {
            set.push_back(with->w2);
        } else {
            bad_refinement("with", with);
        }
    }
    int32_t from = clip_head(&s);
    std::string bytes = to_bytes(&s);
    std::string kept;
    if (with || all) {
        if (!with) set.push_back(0);
        for (char c : bytes)
            if (std::find(set.begin(), set.end(), uint8_t(c)) == set.end()) kept += c;
    } else {
        bool neither = !head && !tail;
        size_t first = 0, last = bytes.size();
        if (head || neither)
            while (first < last && bytes[first] == 0) first++;
        if (tail || neither)
            while (last > first && bytes[last - 1] == 0) last--;
        kept = bytes.substr(first, last - first);
    }
    *result = s;
    if (kept.size() == bytes.size()) return;
    bool owned = report(&s, ownership::action_trim, nullptr, from, int64_t(bytes.size()));
    SeriesBuffer* b = nodes::buffer(s.w2);
    // The owner's handler may have shortened the series.
    from = std::min<int32_t>(from, int32_t(b->count()));
    size_t k = std::min<size_t>(kept.size(), b->size - b->head - uint32_t(from));
    std::memcpy(b->head_ptr() + from, kept.data(), k);
    b->tail = b->head + uint32_t(from) + uint32_t(k);
    reported(&s, ownership::action_trim, owned, from, int64_t(kept.size()));
}

// Bytes order by their values: letter case means nothing in a byte series.
void sort(Cell* series, bool, const Cell* skip, const Cell* comparator, const Cell* part, bool all, bool reverse,
          bool stable, Cell* result) {
    string::sort(series, true, skip, comparator, part, all, reverse, stable, result);
}

void complement(Cell* value, Cell* result) {
    uint8_t* p = position_pointer(value);
    int32_t n = length_from_index(value);
    for (int32_t i = 0; i < n; i++) p[i] = uint8_t(~p[i]);
    *result = *value;
}

}  // namespace vum::binary

namespace vum::binary_type {

void init() {
    using namespace actions;
    Row r(type_binary, "binary!", type_string);
    r.inherit(series_slots).inherit<slot_eval_path, slot_find, slot_select, slot_swap>();
    r.set<slot_make>(binary::make_handler)
        .set<slot_to>(binary::to)
        .set<slot_form>(binary::form)
        .set<slot_mold>(binary::mold)
        .set<slot_compare>(binary::compare)
        .set<slot_and>(binary::bitwise<binary::bit_and>)
        .set<slot_complement>(binary::complement)
        .set<slot_or>(binary::bitwise<binary::bit_or>)
        .set<slot_xor>(binary::bitwise<binary::bit_xor>)
        .set<slot_append>(binary::insert)
        .set<slot_insert>(binary::insert)
        .set<slot_change>(binary::change)
        .set<slot_sort>(binary::sort)
        .set<slot_trim>(binary::trim);
    datatype::register_type(r);
}

}  // namespace vum::binary_type
