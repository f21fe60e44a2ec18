#include "datatypes/bitset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::bitset {

namespace {

// The highest bit number a bitset holds: its bytes then fit a series.
constexpr int64_t max_bit = 0x7FFFFFFF;

[[noreturn]] void past_end() { errors::raise(err::script::past_end); }
[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }
[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }

[[noreturn]] void bad_value(const Cell* value, Caller caller) {
    Cell type = cell::make_datatype(type_bitset);
    switch (caller) {
        case caller_make: errors::raise(err::script::bad_make_arg, &type, value);
        case caller_to: errors::raise(err::script::bad_to_arg, &type, value);
        default: invalid_arg(value);
    }
}

bool is_word(const Cell* c, runtime_symbols::Symbol s) {
    return cell::type(c) == type_word &&
           symbols::resolve(int32_t(c->w2)) == symbols::resolve(runtime_symbols::id(s));
}

uint8_t mask(uint32_t n) { return uint8_t(0x80u >> (n & 7)); }

// Sets or clears bits from..to of a byte array that holds them all.
void fill_bits(uint8_t* p, uint32_t from, uint32_t to, bool on) {
    uint32_t first = from >> 3, last = to >> 3;
    uint8_t head = uint8_t(0xFFu >> (from & 7));
    uint8_t tail = uint8_t(0xFFu << (7 - (to & 7)));
    if (first == last) {
        uint8_t m = head & tail;
        p[first] = on ? uint8_t(p[first] | m) : uint8_t(p[first] & ~m);
        return;
    }
    p[first] = on ? uint8_t(p[first] | head) : uint8_t(p[first] & ~head);
    if (last > first + 1) std::memset(p + first + 1, on ? 0xFF : 0, last - first - 1);
    p[last] = on ? uint8_t(p[last] | tail) : uint8_t(p[last] & ~tail);
}

// Every bit of from..to set, in a byte array that holds them all.
bool all_set(const uint8_t* p, uint32_t from, uint32_t to) {
    uint32_t first = from >> 3, last = to >> 3;
    uint8_t head = uint8_t(0xFFu >> (from & 7));
    uint8_t tail = uint8_t(0xFFu << (7 - (to & 7)));
    if (first == last) return (p[first] & (head & tail)) == (head & tail);
    if ((p[first] & head) != head || (p[last] & tail) != tail) return false;
    for (uint32_t i = first + 1; i < last; i++)
        if (p[i] != 0xFF) return false;
    return true;
}

int64_t stored_bits(uint32_t node) { return int64_t(byte_count(node)) * 8; }

// ------------------------------------------------------------ spec walk

struct Walk {
    uint32_t node;
    int32_t op;
    Caller caller;
    int64_t max = -1;
    bool all = true;
};

// The bit number a char!, integer! or float! stands for; -1 for a value
// below 0 (a NaN too), and one past max_bit for a value above the range.
int64_t number_of(const Cell* v) {
    switch (cell::type(v)) {
        case type_char: return std::min<int64_t>(v->w2, max_bit + 1);
        case type_integer: return std::max<int64_t>(cell::get_integer(v), -1);
        default: {
            double x = std::trunc(cell::get_double(v));
            if (!(x >= 0)) return -1;
            return x > double(max_bit) ? max_bit + 1 : int64_t(x);
        }
    }
}

// A bit number that sets, clears or bounds must lie in the range; a test
// answers for one outside it instead.
bool checked(Walk& w, const Cell* v, int64_t n) {
    if (n >= 0 && n <= max_bit) return true;
    if (w.op != spec_test) errors::raise_out_of_range(v);
    // Past the range: a member only of a complemented bitset.
    if (n < 0 || !is_complemented(w.node)) w.all = false;
    return false;
}

void apply_range(Walk& w, int64_t from, int64_t to) {
    switch (w.op) {
        case spec_max: w.max = std::max(w.max, to); break;
        case spec_test:
            if (w.all && !process_range(w.node, uint32_t(from), uint32_t(to), spec_test)) w.all = false;
            break;
        default: process_range(w.node, uint32_t(from), uint32_t(to), w.op); break;
    }
}

void apply_value(Walk& w, const Cell* v) {
    int64_t n = number_of(v);
    if (checked(w, v, n)) apply_range(w, n, n);
}

void walk_string(Walk& w, const Cell* s) {
    uint32_t node = s->w2;
    for (int32_t i = int32_t(s->w1); i < string::length(node); i++) {
        Cell c = {type_char, 0, string::char_at(node, i), 0};
        apply_value(w, &c);
    }
}

bool is_range_end(uint8_t t) { return t == type_char || t == type_integer; }

// The block's cells are read afresh at each step: setting bits may
// allocate, and the collector may move the block's buffer.
void walk_block(Walk& w, const Cell* block) {
    uint32_t node = block->w2;
    auto at = [node](int32_t i) { return series::cells_head(node)[i]; };
    auto count = [node]() { return int32_t(nodes::buffer(node)->count()); };
    for (int32_t i = int32_t(block->w1); i < count();) {
        Cell v = at(i);
        uint8_t t = cell::type(&v);
        switch (t) {
            case type_char: case type_integer: {
                Cell dash = i + 1 < count() ? at(i + 1) : core_types::none_cell;
                if (!is_word(&dash, runtime_symbols::sym_minus)) {
                    apply_value(w, &v);
                    i++;
                    break;
                }
                if (i + 2 >= count()) past_end();
                Cell end = at(i + 2);
                if (!is_range_end(cell::type(&end))) past_end();
                if (cell::type(&end) != t) invalid_arg(&end);
                int64_t from = number_of(&v), to = number_of(&end);
                if (to < from) past_end();
                if (checked(w, &v, from) && checked(w, &end, to)) apply_range(w, from, to);
                i += 3;
                break;
            }
            case type_float: apply_value(w, &v); i++; break;
            case type_string: walk_string(w, &v); i++; break;
            case type_binary: not_done();
            default: bad_value(&v, w.caller);
        }
    }
}

}  // namespace

uint8_t* bits_pointer(uint32_t node) { return nodes::buffer(node)->head_ptr(); }

int32_t byte_count(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    return int32_t(b->tail - b->head);
}

bool is_complemented(uint32_t node) { return (nodes::buffer(node)->flags & series_flags::complemented) != 0; }

void set_complemented(uint32_t node, bool on) {
    SeriesBuffer* b = nodes::buffer(node);
    if (on)
        b->flags |= series_flags::complemented;
    else
        b->flags &= ~series_flags::complemented;
}

uint32_t make_bytes(int32_t n, uint8_t fill) {
    uint32_t node = memory::alloc_bytes(n);
    SeriesBuffer* b = nodes::buffer(node);
    std::memset(b->head_ptr(), fill, size_t(n));
    b->tail = b->head + uint32_t(n);
    return node;
}

bool test_bit(uint32_t node, uint32_t n) {
    if (int64_t(n) >= stored_bits(node)) return is_complemented(node);
    return (bits_pointer(node)[n >> 3] & mask(n)) != 0;
}

void ensure_bit(uint32_t node, uint32_t n) {
    int64_t need = int64_t(n >> 3) + 1;
    SeriesBuffer* b = nodes::buffer(node);
    int64_t have = b->tail - b->head;
    if (have >= need) return;
    uint8_t fill = (b->flags & series_flags::complemented) ? 0xFF : 0;
    if (int64_t(b->head) + need > int64_t(b->size)) {
        // Doubling keeps a run of appends with rising bits linear.
        int64_t room = std::max(need, std::min<int64_t>(have * 2, max_bit >> 2));
        b = memory::expand_copy(node, int32_t(room));
    }
    std::memset(b->head_ptr() + have, fill, size_t(need - have));
    b->tail = b->head + uint32_t(need);
}

void invert_bytes(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    for (uint8_t* p = b->head_ptr(); p < b->tail_ptr(); p++) *p = uint8_t(~*p);
}

int32_t emit_hex(uint32_t node, uint32_t buffer, const Cell* arg, int32_t limit, bool invert) {
    static const char digits[] = "0123456789ABCDEF";
    for (int32_t i = 0; i < byte_count(node); i++) {
        if (string::limit_used(arg, limit)) break;
        // Appending may move the bits: read the byte afresh each time.
        uint8_t byte = bits_pointer(node)[i];
        if (invert) byte = uint8_t(~byte);
        string::append_char(buffer, uint8_t(digits[byte >> 4]));
        string::append_char(buffer, uint8_t(digits[byte & 15]));
        limit -= 2;
    }
    return limit;
}

bool process_range(uint32_t node, uint32_t from, uint32_t to, int32_t op) {
    int64_t bits = stored_bits(node);
    bool complemented = is_complemented(node);
    switch (op) {
        case spec_test:
            // The bits past the stored ones are members only when complemented.
            if (int64_t(to) >= bits && !complemented) return false;
            if (int64_t(from) >= bits) return true;
            return all_set(bits_pointer(node), from, uint32_t(std::min<int64_t>(to, bits - 1)));
        case spec_set: case spec_clear: {
            bool on = op == spec_set;
            // Setting the members past the stored bits of a complemented
            // bitset, or clearing the non-members past those of a plain
            // one, changes nothing: only the other way round needs room.
            if (on != complemented) {
                ensure_bit(node, to);
            } else {
                if (int64_t(from) >= bits) return true;
                to = uint32_t(std::min<int64_t>(to, bits - 1));
            }
            fill_bits(bits_pointer(node), from, to, on);
            return true;
        }
        default:
            return true;
    }
}

int64_t process_spec(const Cell* spec, uint32_t node, int32_t op, Caller caller) {
    Walk w{node, op, caller};
    gc::ProtectNode keep(&w.node);
    switch (cell::type(spec)) {
        case type_char: case type_integer: case type_float: apply_value(w, spec); break;
        case type_string: walk_string(w, spec); break;
        case type_block: walk_block(w, spec); break;
        case type_binary: not_done();
        default: bad_value(spec, caller);
    }
    if (op == spec_max) return w.max;
    if (op == spec_test) return w.all ? 1 : 0;
    return 0;
}

void do_math(int32_t op) {
    if (cell::type(stack::arg(1)) != type_bitset) {
        Cell type = cell::make_datatype(cell::type(stack::arg(1)));
        errors::raise(err::script::invalid_type, &type);
    }
    enum { set_union, set_intersect, set_difference, set_exclude } kind;
    switch (op) {
        case 5: case 9: kind = set_union; break;
        case 6: case 10: kind = set_intersect; break;
        case 7: case 12: kind = set_difference; break;
        case 11: kind = set_exclude; break;
        default: {
            Cell n;
            cell::make_integer(&n, op);
            invalid_arg(&n);
        }
    }
    // Both operands sit in the frame, which the collector marks.
    uint32_t a = stack::arg(0)->w2, b = stack::arg(1)->w2;
    int32_t la = byte_count(a), lb = byte_count(b);
    bool ca = is_complemented(a), cb = is_complemented(b);
    auto apply = [kind](uint32_t x, uint32_t y) -> uint32_t {
        switch (kind) {
            case set_union: return x | y;
            case set_intersect: return x & y;
            case set_difference: return x ^ y;
            default: return x & ~y;
        }
    };
    // Each operand reads as its stored bytes followed by endless fill bytes
    // (255 when complemented), and so does the result.
    bool complemented = apply(ca, cb) & 1;
    int32_t length = std::max(la, lb);
    // and~ stops at the shorter operand when that one is plain: whatever
    // lies past it can only intersect to nothing.
    if (op == 6 && !(la <= lb ? ca : cb)) length = std::min(la, lb);
    uint32_t r = make_bytes(length, 0);
    const uint8_t* pa = bits_pointer(a);
    const uint8_t* pb = bits_pointer(b);
    uint8_t* pr = bits_pointer(r);
    uint32_t fa = ca ? 0xFF : 0, fb = cb ? 0xFF : 0;
    for (int32_t i = 0; i < length; i++)
        pr[i] = uint8_t(apply(i < la ? pa[i] : fa, i < lb ? pb[i] : fb));
    set_complemented(r, complemented);
    *stack::arg(0) = make_cell(r);
}

}  // namespace vum::bitset

namespace vum::bitset_type {

namespace {

using namespace actions;
using namespace bitset;

// A copy of the bytes and of the complemented flag, never of the owner.
uint32_t copy_of(uint32_t source) {
    int32_t n = byte_count(source);
    uint32_t node = make_bytes(n, 0);
    std::memcpy(bits_pointer(node), bits_pointer(source), size_t(n));
    set_complemented(node, is_complemented(source));
    return node;
}

// The size in bits that make takes from a number, rounded up to whole bytes.
int32_t size_in_bytes(const Cell* spec) {
    double x = cell::type(spec) == type_integer ? double(cell::get_integer(spec)) : std::trunc(cell::get_double(spec));
    if (!(x >= 0 && x <= double(max_bit))) errors::raise(err::script::out_of_range, spec);
    return int32_t((int64_t(x) + 7) / 8);
}

// The bytes of a binary! from its position, inverted for a complemented
// bitset (whose mold writes what it leaves out).
uint32_t from_binary(const Cell* bytes, bool complemented) {
    int32_t n = binary::length_from_index(bytes);
    uint32_t node = make_bytes(n, 0);
    std::memcpy(bits_pointer(node), binary::position_pointer(bytes), size_t(n));
    if (complemented) {
        invert_bytes(node);
        set_complemented(node, true);
    }
    return node;
}

void make_from(const Cell* given, Caller caller, Cell* result) {
    gc::Local spec(*given);
    switch (cell::type(&spec)) {
        case type_integer: case type_float:
            if (caller == caller_to) bad_value(&spec, caller);
            *result = make_cell(make_bytes(size_in_bytes(&spec), 0));
            return;
        case type_bitset:
            *result = make_cell(copy_of(spec.w2));
            return;
        case type_binary:
            *result = make_cell(from_binary(&spec, false));
            return;
        default:
            break;
    }
    // [not ...]: the rest of the block describes what is left out.
    bool complemented = false;
    if (cell::type(&spec) == type_block && series::length_from_head(&spec) > 0) {
        Cell first = series::cells_head(spec.w2)[spec.w1];
        if (cell::type(&first) == type_word &&
            symbols::resolve(int32_t(first.w2)) == symbols::resolve(runtime_symbols::id(runtime_symbols::sym_not))) {
            complemented = true;
            spec.w1++;
            Cell next = series::length_from_head(&spec) > 0 ? series::cells_head(spec.w2)[spec.w1] : spec;
            if (cell::type(&next) == type_binary) {
                // The bytes start it; what follows leaves out more.
                uint32_t node = from_binary(&next, true);
                gc::ProtectNode keep_node(&node);
                spec.w1++;
                process_spec(&spec, node, spec_clear, caller);
                *result = make_cell(node);
                return;
            }
        }
    }
    // One pass sizes the bytes, a second one sets the bits (clears them,
    // for a complemented bitset, whose bytes start out full).
    int64_t highest = process_spec(&spec, 0, spec_max, caller);
    int32_t bytes = int32_t((std::max<int64_t>(highest, 0) >> 3) + 1);
    uint32_t node = make_bytes(bytes, complemented ? 0xFF : 0);
    set_complemented(node, complemented);
    gc::ProtectNode keep_node(&node);
    process_spec(&spec, node, complemented ? spec_clear : spec_set, caller);
    *result = make_cell(node);
}

void bitset_make(const Cell*, const Cell* spec, int32_t, Cell* result) { make_from(spec, caller_make, result); }
void bitset_to(const Cell*, const Cell* spec, int32_t, Cell* result) { make_from(spec, caller_to, result); }

int32_t bitset_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    uint32_t node = value->w2;
    bool complemented = is_complemented(node);
    limit = string::put_limited(buffer, complemented ? "make bitset! [not #{" : "make bitset! #{", arg, limit);
    limit = emit_hex(node, buffer, arg, limit, complemented);
    return string::put_limited(buffer, complemented ? "}]" : "}", arg, limit);
}

int32_t bitset_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return bitset_mold(value, buffer, false, false, false, arg, limit, 0);
}

int32_t bitset_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_bitset) return not_comparable;
    if (op == op_same) return a->w2 == b->w2 ? 0 : 1;
    int32_t la = byte_count(a->w2), lb = byte_count(b->w2);
    if (la != lb) return la < lb ? -1 : 1;
    bool ca = is_complemented(a->w2), cb = is_complemented(b->w2);
    // A set and its complement differ even when neither stores a byte.
    if (ca != cb) return ca ? 1 : -1;
    const uint8_t* pa = bits_pointer(a->w2);
    const uint8_t* pb = bits_pointer(b->w2);
    for (int32_t i = la - 1; i >= 0; i--)
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
    return 0;
}

bool test(const Cell* value, const Cell* spec) { return process_spec(spec, value->w2, spec_test, caller_other) != 0; }

// Sets or clears the bits of a spec, telling the bitset's owner before and
// after.
void change(Cell* series, const Cell* spec, ownership::Action action, int32_t op, const Cell* reported) {
    gc::Local s(*series);
    gc::Local v(*spec);
    ownership::report_change(&s, action, reported, 0, 1, [&] { process_spec(&v, s.w2, op, caller_other); });
}

// What poke and a path set clear bits with; any other value sets them.
bool clears(const Cell* value) {
    switch (cell::type(value)) {
        case type_none: return true;
        case type_logic: return value->w1 == 0;
        case type_integer: return cell::get_integer(value) == 0;
        case type_float: return cell::get_double(value) == 0.0;
        default: return false;
    }
}

void poke_bits(Cell* series, const Cell* index, const Cell* value) {
    int32_t op = clears(value) ? spec_clear : spec_set;
    change(series, index, ownership::action_poke, op, value);
}

void bitset_path(const PathStep& step, Cell* result) {
    uint8_t t = cell::type(step.element);
    if (t != type_integer && t != type_char) {
        Cell type = cell::make_datatype(t);
        errors::raise(err::script::invalid_type, &type);
    }
    if (!step.value) {
        bool in = test(step.parent, step.element);
        cell::make_logic(result, in);
        return;
    }
    Cell parent = *step.parent, element = *step.element;
    gc::Local value(*step.value);
    poke_bits(&parent, &element, &value);
    *result = value;
}

void bitset_negate() {
    uint32_t node = copy_of(stack::arg(0)->w2);
    invert_bytes(node);
    set_complemented(node, !is_complemented(node));
    *stack::arg(0) = make_cell(node);
}

void bitset_complement(Cell* value, Cell* result) {
    uint32_t node = copy_of(value->w2);
    invert_bytes(node);
    set_complemented(node, !is_complemented(node));
    *result = make_cell(node);
}

template <int32_t Op>
void bitset_math() {
    do_math(Op);
}

void bitset_insert(Cell* series, const Cell* value, const Cell*, bool, const Cell*, bool, Cell* result) {
    Cell s = *series;
    change(&s, value, ownership::action_insert, spec_set, value);
    *result = s;
}

void bitset_clear(Cell* value, Cell* result) {
    gc::Local s(*value);
    ownership::report_change(&s, ownership::action_clear, nullptr, 0, 1, [&] {
        std::memset(bits_pointer(s.w2), is_complemented(s.w2) ? 0xFF : 0, size_t(byte_count(s.w2)));
    });
    *result = s;
}

void bitset_copy(const Cell* series, Cell* result, const Cell*, bool, const Cell*) {
    *result = make_cell(copy_of(series->w2));
}

void bitset_find(const Cell* series, const Cell* value, const FindOptions&, Cell* result) {
    bool in = test(series, value);
    *result = in ? core_types::true_cell : core_types::none_cell;
}

int32_t bitset_length(Cell* value) {
    int64_t bits = int64_t(byte_count(value->w2)) * 8;
    if (bits > max_bit) errors::raise(err::math::overflow);
    return int32_t(bits);
}

void bitset_pick(const Cell* series, const Cell* index, int32_t, Cell* result) {
    bool in = test(series, index);
    cell::make_logic(result, in);
}

void bitset_poke(Cell* series, const Cell* index, const Cell* value, int32_t, Cell* result) {
    gc::Local v(*value);
    poke_bits(series, index, &v);
    *result = v;
}

// Removing takes the key's values out of the set, whichever kind it is:
// its membership bits are cleared.
void bitset_remove(Cell* series, const Cell*, const Cell* key, Cell* result) {
    if (!key) errors::raise(err::script::missing_arg);
    Cell s = *series;
    change(&s, key, ownership::action_remove, spec_clear, key);
    *result = s;
}

}  // namespace

void init() {
    Row r(type_bitset, "bitset!");
    r.set<slot_make>(bitset_make)
        // The owned field, answered and set as every series does.
        .share<slot_reflect>(type_series)
        .set<slot_to>(bitset_to)
        .set<slot_form>(bitset_form)
        .set<slot_mold>(bitset_mold)
        .set<slot_eval_path>(bitset_path)
        .set<slot_compare>(bitset_compare)
        .set<slot_negate>(bitset_negate)
        .set<slot_and>(bitset_math<6>)
        .set<slot_complement>(bitset_complement)
        .set<slot_or>(bitset_math<5>)
        .set<slot_xor>(bitset_math<7>)
        .set<slot_append>(bitset_insert)
        .set<slot_clear>(bitset_clear)
        .set<slot_copy>(bitset_copy)
        .set<slot_find>(bitset_find)
        .set<slot_insert>(bitset_insert)
        .set<slot_length_q>(bitset_length)
        .set<slot_pick>(bitset_pick)
        .set<slot_poke>(bitset_poke)
        .set<slot_remove>(bitset_remove)
        .share<slot_modify>(type_series);
    datatype::register_type(r);
}

}  // namespace vum::bitset_type
