#include "datatypes/series.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/block-search.h"
#include "datatypes/logic.h"
#include "datatypes/random.h"
#include "datatypes/registry.h"
#include "datatypes/series-ranges.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/sort.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::series_actions {

namespace {

using namespace actions;
using ownership::Action;
using refinement_args::bad_refinement;
using refinement_args::part_of;

// How an element of each kind is read and written.
enum class Kind { cells, vector, binary, text, other };

Kind kind_of(uint8_t t) {
    switch (t) {
        case type_block: case type_paren: case type_path: case type_lit_path: case type_set_path:
        case type_get_path: case type_hash: case type_map:
            return Kind::cells;
        case type_vector: return Kind::vector;
        case type_binary: return Kind::binary;
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
            return Kind::text;
        default:
            return Kind::other;
    }
}

bool is_series_kind(uint8_t t) { return kind_of(t) != Kind::other || t == type_image; }

// The buffer as it stands now, to read: valid until the next allocation.
struct View {
    SeriesBuffer* buffer;
    uint32_t unit;
    int32_t length;
    const uint8_t* at(int64_t i) const { return buffer->head_ptr() + i * unit; }
};
// The same to write. Making one is the write barrier (memory/series.h): a
// block that a compiled form runs bumps the code epoch.
struct EditView : View {
    uint8_t* at(int64_t i) const { return buffer->head_ptr() + i * unit; }
    void set_length(int64_t n) const { buffer->tail = buffer->head + uint32_t(n) * unit; }
};

View view(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t unit = b->unit() ? b->unit() : 1;
    return {b, unit, int32_t((b->tail - b->head) / unit)};
}
EditView edit(uint32_t node) {
    series::note_change(nodes::buffer(node));
    return {view(node)};
}

int32_t head_of(const Cell* s) { return int32_t(s->w1); }

Cell integer(int64_t n) {
    Cell c{};
    cell::make_integer(&c, int32_t(n));
    return c;
}

[[noreturn]] void out_of_range(int64_t n) {
    Cell c = integer(n);
    errors::raise(err::script::out_of_range, &c);
}

[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

bool same_buffer(const Cell* a, const Cell* b) { return cell::type(a) == cell::type(b) && a->w2 == b->w2; }

// The change reports: the second only when the first found an owner.
bool report(const Cell* series, Action action, const Cell* value, int64_t index, int64_t count) {
    return ownership::check(series, ownership::action_word(action), value, int32_t(index), int32_t(count));
}
void reported(const Cell* series, Action action, bool owned, int64_t index, int64_t count) {
    if (owned) ownership::check(series, ownership::past_word(action), nullptr, int32_t(index), int32_t(count));
}

uint32_t hash_table_of(const Cell* s) { return cell::type(s) == type_hash ? s->w3 : 0; }

// After count cells were taken out at `from`: the later keys move down.
void hash_removed(const Cell* s, int64_t from, int64_t count, int64_t old_length) {
    uint32_t table = hash_table_of(s);
    if (!table || count <= 0) return;
    int64_t rest = old_length - from - count;
    if (hashtable::shift_indexes(table, -int32_t(count), int32_t(from + count), int32_t(std::max<int64_t>(rest, 0)), true) == 1)
        hashtable::rebuild(table, view(s->w2).length);
}

// Every cell of [from, from + count) indexed afresh.
void hash_reenter(const Cell* s, int64_t from, int64_t count) {
    uint32_t table = hash_table_of(s);
    if (!table) return;
    hashtable::ProtectTable keep(table);
    // All old entries go first: a chain must never be joined through a cell
    // whose entry still stands for the value it held before.
    hashtable::remove_key_range(table, int32_t(from), int32_t(count));
    for (int64_t j = from; j < from + count && j < view(s->w2).length; j++)
        hashtable::put_key(table, reinterpret_cast<const Cell*>(view(s->w2).at(j)));
}

// An element of a non-cell kind, as a value.
Cell read_element(const Cell* s, const View& v, int64_t p) {
    const uint8_t* at = v.at(p);
    switch (kind_of(cell::type(s))) {
        case Kind::binary: return integer(*at);
        case Kind::text: {
            Cell c = integer(unicode::get_unit(at, v.unit, 0));
            c.header = type_char;
            return c;
        }
        case Kind::vector: {
            uint8_t element = uint8_t(s->w3);
            Cell c{};
            if (element == type_float || element == type_percent) {
                double d;
                if (v.unit == 4) {
                    float f;
                    std::memcpy(&f, at, 4);
                    d = f;
                } else {
                    std::memcpy(&d, at, 8);
                }
                cell::make_float(&c, d);
                c.header = element;
                return c;
            }
            int32_t n = v.unit == 1 ? int32_t(int8_t(*at)) : v.unit == 2 ? int32_t(*reinterpret_cast<const int16_t*>(at))
                                                                  : *reinterpret_cast<const int32_t*>(at);
            c = integer(n);
            if (element == type_char) c.header = type_char;
            return c;
        }
        default:
            return integer(unicode::get_unit(at, std::min<uint32_t>(v.unit, 4), 0));
    }
}

// The value a non-cell kind stores, checked before anything changes.
void check_storable(const Cell* s, const Cell* value) {
    uint8_t t = cell::type(value);
    switch (kind_of(cell::type(s))) {
        case Kind::vector:
            if (t != uint8_t(s->w3)) invalid_arg(value);
            return;
        case Kind::binary:
            if (t != type_integer && t != type_char) invalid_arg(value);
            // A byte holds 0 to 255: anything else would be cut silently.
            if (cell::get_integer(value) < 0 || cell::get_integer(value) > 255) out_of_range(cell::get_integer(value));
            return;
        case Kind::text:
            if (t != type_char) invalid_arg(value);
            if (value->w2 > 0x10FFFF) out_of_range(cell::get_integer(value));
            return;
        case Kind::cells: return;
        default: invalid_arg(value);
    }
}

void store_element(const Cell* s, int64_t p, const Cell* value) {
    uint32_t node = s->w2;
    switch (kind_of(cell::type(s))) {
        case Kind::cells: {
            uint32_t table = hash_table_of(s);
            if (table) hashtable::remove_key(table, reinterpret_cast<const Cell*>(view(node).at(p)));
            std::memcpy(edit(node).at(p), value, sizeof(Cell));
            hash_reenter(s, p, 1);
            return;
        }
        case Kind::binary: *edit(node).at(p) = uint8_t(value->w2); return;
        case Kind::text: {
            uint32_t cp = value->w2;
            uint32_t need = cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4;
            if (need > view(node).unit) unicode::widen_to(node, need);
            EditView v = edit(node);
            unicode::put_unit(v.buffer->head_ptr(), v.unit, uint32_t(p), cp);
            return;
        }
        case Kind::vector: {
            EditView v = edit(node);
            uint8_t* at = v.at(p);
            if (cell::type(value) == type_float || cell::type(value) == type_percent) {
                double d = cell::get_double(value);
                if (v.unit == 4) {
                    float f = float(d);
                    std::memcpy(at, &f, 4);
                } else {
                    std::memcpy(at, &d, 8);
                }
                return;
            }
            int32_t n = cell::get_integer(value);
            if (v.unit == 1) *at = uint8_t(n);
            else if (v.unit == 2) { int16_t h = int16_t(n); std::memcpy(at, &h, 2); }
            else std::memcpy(at, &n, 4);
            return;
        }
        default: return;
    }
}

// The element position that pick and poke address: -1 for none.
int64_t pick_position(const Cell* s, int32_t n) {
    int64_t i = head_of(s);
    if (n == 0) return -1;
    int64_t p = n > 0 ? i + n - 1 : i + n;
    if (p < 0 || p >= buffer_length(s)) return -1;
    return p;
}

// Frame actions: the series in arg(0), the result left there.
void at_action() { stack::arg(0)->w1 = uint32_t(offset_index(stack::arg(0), stack::arg(1), true)); }
void skip_action() { stack::arg(0)->w1 = uint32_t(offset_index(stack::arg(0), stack::arg(1), false)); }
void back_action() {
    Cell* s = stack::arg(0);
    if (head_of(s) > 0) s->w1--;
}
void next_action() { advance_head(stack::arg(0), 1); }
void head_action() { stack::arg(0)->w1 = 0; }
void tail_action() { stack::arg(0)->w1 = uint32_t(buffer_length(stack::arg(0))); }
void head_q_action() {
    bool at_head = head_of(stack::arg(0)) == 0;
    *stack::arg(0) = at_head ? core_types::true_cell : core_types::false_cell;
}
void tail_q_action() {
    bool end = at_tail(stack::arg(0));
    *stack::arg(0) = end ? core_types::true_cell : core_types::false_cell;
}
void index_q_action() {
    int64_t i = head_of(stack::arg(0));
    *stack::arg(0) = integer(i + 1);
}

int32_t length_action(Cell* series) { return length_or_zero(series, false); }

void random_action(Cell* series, bool seed, bool secure, bool only, Cell* result) {
    gc::Local s(*series);
    if (seed) {
        // The contents from the head choose the seed. The hash seed is fixed
        // rather than the process's own, so one text seeds the same sequence
        // on every run.
        View v = view(s.w2);
        int64_t from = std::min<int64_t>(head_of(&s), v.length);
        int64_t bytes = (v.length - from) * v.unit;
        random::mt_seed(hashtable::murmur3_with_seed(v.at(from), int32_t(bytes), random::start_seed));
        *result = core_types::unset_cell;
        return;
    }
    int64_t i = head_of(&s);
    int64_t c = buffer_length(&s) - i;
    if (only) {
        if (c < 1) {
            *result = core_types::none_cell;
            return;
        }
        int64_t k = random_in_range(uint32_t(c), secure);
        pick(&s, nullptr, int32_t(k), result);
        return;
    }
    if (c >= 1) {
        bool owned = report(&s, ownership::action_random, nullptr, i, c);
        // The owner's handler may have changed the series.
        for (int64_t p = i; p < buffer_length(&s); p++) {
            int64_t left = buffer_length(&s) - p;
            int64_t q = p + random_in_range(uint32_t(left), secure) - 1;
            if (q == p) continue;
            EditView v = edit(s.w2);
            std::swap_ranges(v.at(p), v.at(p) + v.unit, v.at(q));
        }
        reported(&s, ownership::action_random, owned, i, c);
    }
    *result = s;
}

void reflect_action(const Cell* value, int32_t field, Cell* result) {
    namespace rs = runtime_symbols;
    if (symbols::resolve(field) != symbols::resolve(rs::id(rs::sym_owned)))
        errors::raise(err::internal::not_done);
    *result = ownership::owner_of(value->w2);
}

void modify_action(Cell* target, const Cell* field, const Cell* value, bool, Cell* result) {
    namespace rs = runtime_symbols;
    gc::Local v(*value);
    gc::Local s(*target);
    uint8_t ft = cell::type(field);
    if (ft < type_word || ft > type_get_word || symbols::resolve(int32_t(field->w2)) != symbols::resolve(rs::id(rs::sym_owned)))
        invalid_arg(field);
    if (cell::type(&v) == type_none) {
        ownership::unbind(&s);
    } else if (cell::type(&v) == type_block && view(v.w2).length - head_of(&v) >= 2) {
        gc::Local owner(*reinterpret_cast<const Cell*>(view(v.w2).at(head_of(&v))));
        gc::Local word(*reinterpret_cast<const Cell*>(view(v.w2).at(head_of(&v) + 1)));
        ownership::bind(&s, &owner, &word);
    } else {
        invalid_arg(&v);
    }
    *result = v;
}

void clear_action(Cell* series, Cell* result) {
    gc::Local s(*series);
    int64_t i = head_of(&s);
    int64_t c = buffer_length(&s) - i;
    if (c >= 1) {
        bool owned = report(&s, ownership::action_clear, nullptr, i, c);
        int64_t length = buffer_length(&s);
        if (i < length) {
            if (uint32_t table = hash_table_of(&s)) hashtable::remove_key_range(table, int32_t(i), int32_t(length - i));
            edit(s.w2).set_length(i);
        }
        reported(&s, ownership::action_clear, owned, i, 0);
    }
    *result = s;
}

void reverse_action(Cell* series, const Cell* part, const Cell* skip, Cell* result) {
    gc::Local s(*series);
    *result = s;
    int64_t i = head_of(&s);
    int64_t rest = buffer_length(&s) - i;
    if (rest < 1) return;
    int64_t e = part ? std::min(part_of(&s, part), rest) : rest;
    if (e < 1) return;
    int64_t r = 1;
    if (skip) {
        if (cell::type(skip) != type_integer) bad_refinement("skip", skip);
        r = cell::get_integer(skip);
        if (r == e) return;
        if (r < 1) out_of_range(r);
        if (e < r || e % r) bad_refinement("skip", skip);
    }
    bool owned = report(&s, ownership::action_reverse, nullptr, i, e);
    // Clipped again: the owner's handler may have shortened the series.
    e = std::min(e, int64_t(buffer_length(&s)) - i);
    e -= e > 0 ? e % r : e;
    EditView v = edit(s.w2);
    for (int64_t a = 0, b = e / r - 1; a < b; a++, b--)
        std::swap_ranges(v.at(i + a * r), v.at(i + (a + 1) * r), v.at(i + b * r));
    hash_reenter(&s, i, e);
    reported(&s, ownership::action_reverse, owned, i, e);
}

void move_action(Cell* origin, Cell* target, const Cell* part, Cell* result) {
    gc::Local o(*origin);
    gc::Local t(*target);
    // An image's buffer is its record, not its pixels: nothing moves into one.
    if (!is_series_kind(cell::type(&t)) || cell::type(&t) == type_image) {
        Cell name = actions::word(slot_move);
        Cell type = cell::make_datatype(cell::type(&t));
        Cell parameter = context::load_word("target");
        errors::raise(err::script::expect_arg, &name, &type, &parameter);
    }
    *result = t;
    int64_t oi = head_of(&o);
    int64_t available = buffer_length(&o) - oi;
    if (available < 1) return;
    int64_t n = 1;
    if (part) {
        if (cell::type(part) != type_integer) bad_refinement("part", part);
        n = cell::get_integer(part);
        if (n < 1) return;
    }
    n = std::min(n, available);
    int64_t ti = std::min<int64_t>(head_of(&t), buffer_length(&t));

    if (o.w2 == t.w2) {
        int64_t length = buffer_length(&o);
        if (ti == oi) return;
        bool forwards = ti > oi;
        if (forwards && ti != length && length - ti < n) {
            *result = o;
            return;
        }
        // Forwards, the run lands after the element that stood at the target.
        int64_t dest = forwards ? (ti == length ? length - n : ti + 1 - n) : ti;
        if (dest == oi || (forwards && dest < oi)) return;  // onto itself, or into its own run
        bool owned = report(&t, ownership::action_move, &o, oi, n);
        EditView v = edit(o.w2);
        if (oi + n > v.length || dest + n > v.length) errors::raise(err::script::invalid_arg, &o);
        if (forwards)
            std::rotate(v.at(oi), v.at(oi + n), v.at(dest + n));
        else
            std::rotate(v.at(dest), v.at(oi), v.at(oi + n));
        if (uint32_t table = hash_table_of(&o))
            hashtable::move_indexes(table, int32_t(forwards ? (ti == length ? length : ti + 1) : ti), int32_t(oi), int32_t(n));
        reported(&t, ownership::action_move, owned, ti - n, n);
        return;
    }

    Kind ok = kind_of(cell::type(&o)), tk = kind_of(cell::type(&t));
    uint32_t ou = view(o.w2).unit, tu = view(t.w2).unit;
    bool texts = ok == Kind::text && tk == Kind::text;
    if ((ok == Kind::cells) != (tk == Kind::cells) || (ou != tu && !texts)) {
        Cell a = cell::make_datatype(cell::type(&o)), b = cell::make_datatype(cell::type(&t));
        errors::raise(err::script::move_bad, &a, &b);
    }
    bool owned = report(&t, ownership::action_move, &o, oi, n);
    // Clipped again after the owner's handler.
    n = std::min<int64_t>(n, buffer_length(&o) - oi);
    ti = std::min<int64_t>(ti, buffer_length(&t));
    if (n < 1) {
        reported(&t, ownership::action_move, owned, ti, 0);
        return;
    }
    if (texts && view(o.w2).unit > view(t.w2).unit) unicode::widen_to(t.w2, view(o.w2).unit);
    tu = view(t.w2).unit;
    int64_t target_length = buffer_length(&t);
    series::alloc_tail_bytes(t.w2, int32_t(n * tu));
    EditView tv = edit(t.w2), ov = edit(o.w2);
    std::memmove(tv.at(ti + n), tv.at(ti), size_t((target_length - ti) * tu));
    if (ov.unit == tv.unit) {
        std::memcpy(tv.at(ti), ov.at(oi), size_t(n * tu));
    } else {
        for (int64_t j = 0; j < n; j++)
            unicode::put_unit(tv.buffer->head_ptr(), tu, uint32_t(ti + j), unicode::get_unit(ov.buffer->head_ptr(), ov.unit, uint32_t(oi + j)));
    }
    int64_t origin_length = ov.length;
    std::memmove(ov.at(oi), ov.at(oi + n), size_t((origin_length - oi - n) * ov.unit));
    ov.set_length(origin_length - n);
    hash_removed(&o, oi, n, origin_length);
    if (uint32_t table = hash_table_of(&t)) {
        if (hashtable::shift_indexes(table, int32_t(n), int32_t(ti), int32_t(target_length - ti), true) == 1)
            hashtable::rebuild(table, view(t.w2).length);
        else
            hash_reenter(&t, ti, n);
    }
    reported(&t, ownership::action_move, owned, ti, n);
}

}  // namespace

bool at_tail(const Cell* series) { return head_of(series) >= buffer_length(series); }

int32_t buffer_length(const Cell* series) { return view(series->w2).length; }

bool advance_head(Cell* series, int32_t n) {
    int64_t next = int64_t(head_of(series)) + n;
    int64_t length = buffer_length(series);
    if (next <= length) series->w1 = uint32_t(next);
    return next >= length;
}

int32_t length_or_zero(Cell* series, bool from_start) {
    int32_t length = buffer_length(series);
    int32_t i = from_start ? 0 : std::max(head_of(series), 0);
    if (i > length) {
        series->w1 = uint32_t(length);
        return 0;
    }
    return length - i;
}

int32_t offset_index(const Cell* series, const Cell* offset, bool at) {
    if (cell::type(offset) != type_integer) invalid_arg(offset);
    int64_t i = head_of(series);
    int64_t n = cell::get_integer(offset);
    int64_t index = at && n >= 1 ? i + n - 1 : i + n;
    return int32_t(std::clamp<int64_t>(index, 0, buffer_length(series)));
}

void pick(const Cell* series, const Cell*, int32_t n, Cell* result) {
    int64_t p = pick_position(series, n);
    if (p < 0) {
        *result = core_types::none_cell;
        return;
    }
    View v = view(series->w2);
    if (kind_of(cell::type(series)) == Kind::cells)
        std::memcpy(result, v.at(p), sizeof(Cell));
    else
        *result = read_element(series, v, p);
}

void poke(Cell* series, const Cell*, const Cell* value, int32_t n, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int64_t p = pick_position(&s, n);
    if (p < 0) out_of_range(n);
    check_storable(&s, &v);
    bool owned = report(&s, ownership::action_poke, &v, p, 1);
    if (p >= buffer_length(&s)) out_of_range(n);  // shortened by the owner's handler
    store_element(&s, p, &v);
    reported(&s, ownership::action_poke, owned, p, 1);
    *result = v;
}

void copy(const Cell* series, Cell* result, const Cell* part, bool, const Cell*) {
    gc::Local s(*series);
    series_ranges::Span span = series_ranges::copy_span(&s, buffer_length(&s), part, part_of);
    uint32_t node = series::copy_part(s.w2, int32_t(span.start), int32_t(span.count));
    uint8_t t = cell::type(&s);
    *result = {uint32_t(t) | (s.header & cell::flag_new_line), 0, node, t == type_vector ? s.w3 : 0};
}

void take(Cell* series, const Cell* part, bool, bool last, Cell* result) {
    gc::Local s(*series);
    int64_t i = head_of(&s);
    int64_t length = buffer_length(&s);
    int64_t c = length - i;
    if (c < 1) {
        *result = core_types::none_cell;
        return;
    }
    int64_t k = 1;
    if (part) {
        if (cell::type(part) == type_integer) {
            k = cell::get_integer(part);
        } else if (same_buffer(&s, part)) {
            int64_t p = head_of(part);
            k = p < i ? 0 : last ? i + c - p : p - i;
        } else {
            bad_refinement("part", part);
        }
    }
    uint8_t t = cell::type(&s);
    int64_t start, count;
    if (k > 0) {
        count = std::min(k, c);
        start = last ? length - count : i;
    } else {
        // A count of 0 or below takes from before the head.
        count = std::min<int64_t>(k == 0 ? 1 : -k, i);
        if (last || i == 0) {
            *result = {t, 0, series::copy_part(s.w2, 0, 0), t == type_vector ? s.w3 : 0};
            return;
        }
        start = i - count;
    }
    bool owned = report(&s, ownership::action_take, nullptr, start, k);
    length = buffer_length(&s);
    start = std::min(start, length);
    count = std::min(count, length - start);
    // A fresh series each time: a shared scratch buffer would change under
    // a result the caller still holds.
    gc::Local taken({t, 0, series::copy_part(s.w2, int32_t(start), int32_t(count)), t == type_vector ? s.w3 : 0});
    EditView v = edit(s.w2);
    std::memmove(v.at(start), v.at(start + count), size_t((length - start - count) * v.unit));
    v.set_length(length - count);
    hash_removed(&s, start, count, length);
    if (t == type_hash) taken.w3 = hashtable::create(int32_t(std::max<int64_t>(count, 1)), &taken, hashtable::kind_hash, 0);
    reported(&s, ownership::action_take, owned, start, count);
    *result = taken;
}

void remove(Cell* series, const Cell* part, const Cell* key, Cell* result) {
    gc::Local s(*series);
    int64_t d = part ? part_of(&s, part) : 1;
    if (d < 1) {
        *result = s;
        return;
    }
    int64_t position = head_of(&s);
    if (key) {
        FindOptions options;
        options.case_sensitive = true;
        gc::Local found(core_types::none_cell);
        gc::Local k(*key);
        actions::lookup<slot_find>(&s)(&s, &k, options, &found);
        if (cell::type(&found) == type_none) {
            *result = core_types::none_cell;
            return;
        }
        position = head_of(&found);
        d++;  // the key and its value
    }
    if (position < buffer_length(&s)) {
        bool owned = report(&s, ownership::action_remove, nullptr, position, d);
        int64_t length = buffer_length(&s);
        if (position < length) {
            d = std::min(d, length - position);
            EditView v = edit(s.w2);
            std::memmove(v.at(position), v.at(position + d), size_t((length - position - d) * v.unit));
            v.set_length(length - d);
            hash_removed(&s, position, d, length);
        }
        reported(&s, ownership::action_remove, owned, position, 0);
    }
    *result = s;
    result->w1 = uint32_t(position);
}

uint32_t random_in_range(uint32_t n, bool secure) { return uint32_t(random::integer_in_range(secure, int32_t(n))); }

void init() {
    Row r(type_series, "series!");
    r.set<slot_random>(random_action)
        .set<slot_reflect>(reflect_action)
        .set<slot_at>(at_action)
        .set<slot_back>(back_action)
        .set<slot_clear>(clear_action)
        .set<slot_copy>(copy)
        .set<slot_head>(head_action)
        .set<slot_head_q>(head_q_action)
        .set<slot_index_q>(index_q_action)
        .set<slot_length_q>(length_action)
        .set<slot_move>(move_action)
        .set<slot_next>(next_action)
        .set<slot_pick>(pick)
        .set<slot_poke>(poke)
        .set<slot_remove>(remove)
        .set<slot_reverse>(reverse_action)
        .set<slot_skip>(skip_action)
        .set<slot_tail>(tail_action)
        .set<slot_tail_q>(tail_q_action)
        .set<slot_take>(take)
        .set<slot_modify>(modify_action);
    datatype::register_type(r);
}

SortPlan sort_plan(const Cell* series, int64_t length, const Cell* skip, const Cell* comparator, const Cell* part,
                   bool all) {
    SortPlan plan{std::min<int64_t>(int64_t(series->w1), length), 0, 1, 0, 1, false, false};
    plan.count = length - plan.head;
    if (part) {
        int64_t k;
        if (cell::type(part) == type_integer)
            k = cell::get_integer(part);
        else if (cell::type(part) == cell::type(series) && part->w2 == series->w2)
            k = int64_t(part->w1) - int64_t(series->w1);
        else
            bad_refinement("part", part);
        if (k < 0) {
            // The elements before the position, and the result starts there.
            if (plan.head + k < 0) {
                plan.before_start = true;
                return plan;
            }
            plan.head += k;
            k = -k;
        }
        plan.count = std::min(k, length - plan.head);
    }
    if (skip) {
        if (cell::type(skip) != type_integer) bad_refinement("skip", skip);
        plan.size = cell::get_integer(skip);
        if (plan.size < 1 || plan.size > std::max<int64_t>(plan.count, 1) ||
            (plan.count > 0 && plan.count % plan.size != 0))
            bad_refinement("skip", skip);
    } else if (all) {
        errors::raise(err::script::bad_refines);
    }
    plan.compared = all ? int32_t(plan.size) : 1;
    if (!comparator) return plan;
    uint8_t ct = cell::type(comparator);
    if (ct == type_integer) {
        if (all || !skip) errors::raise(err::script::bad_refines);
        int64_t n = cell::get_integer(comparator);
        if (n < 1 || n > plan.size) errors::raise(err::script::out_of_range, comparator);
        plan.offset = int32_t(n - 1);
        plan.compared = 1;
    } else if (ct == type_function || ct == type_native || ct == type_action || ct == type_op) {
        plan.by_function = true;
        plan.compared = 1;
    } else {
        bad_refinement("compare", comparator);
    }
    return plan;
}

namespace {

struct FunctionSort {
    Cell like;  // the sorted series: its kind, unit and element type
    const Cell* function;
    int32_t size;
    bool whole_records;
    bool reverse;
};

// A new series of the sorted kind holding one record.
Cell record_series(const FunctionSort& f, const Cell* elements) {
    bool vector = kind_of(cell::type(&f.like)) == Kind::vector;
    uint32_t unit = vector ? view(f.like.w2).unit : 1;
    uint32_t node = memory::alloc_units(f.size, int32_t(unit));
    gc::ProtectNode keep(&node);
    series::alloc_tail_bytes(node, f.size * int32_t(unit));
    Cell record = {uint32_t(cell::type(&f.like)), 0, node, vector ? f.like.w3 : 0};
    for (int32_t i = 0; i < f.size; i++) store_element(&record, i, elements + i);
    return record;
}

// The order the function's answer gives to its arguments, as sort's
// comparisons count it: called with (second, first), true puts the first
// after the second.
int32_t answered_order(const Cell* answer) {
    switch (cell::type(answer)) {
        case type_logic: return (answer->w1 & 1) ? 1 : -1;
        case type_integer: {
            int32_t r = cell::get_integer(answer);
            return r > 0 ? -1 : r < 0 ? 1 : 0;
        }
        case type_float: {
            double d = cell::get_double(answer);
            return d > 0.0 ? -1 : d < 0.0 ? 1 : 0;
        }
        case type_none: return -1;
        default: return 1;
    }
}

int32_t compare_by_function(const void* x, const void* y, intptr_t arg, intptr_t) {
    const auto& f = *reinterpret_cast<const FunctionSort*>(arg);
    const auto* a = static_cast<const Cell*>(x);
    const auto* b = static_cast<const Cell*>(y);
    gc::Local first(core_types::none_cell), second(core_types::none_cell), answer(core_types::none_cell);
    if (f.whole_records) {
        first = record_series(f, a);
        second = record_series(f, b);
    } else {
        first = *a;
        second = *b;
    }
    if (f.reverse) block_search::call_comparator(f.function, &first, &second, &answer);
    else block_search::call_comparator(f.function, &second, &first, &answer);
    return answered_order(&answer);
}

}  // namespace

void sort_by_function(const Cell* series, const SortPlan& plan, const Cell* function, bool whole_records,
                      bool reverse, bool stable) {
    FunctionSort f{*series, nullptr, int32_t(plan.size), whole_records, reverse};
    gc::Protect keep_series(&f.like);
    gc::Local fn(*function);
    f.function = &fn;
    int32_t records = int32_t(plan.count / plan.size), n = records * f.size;
    // The elements are sorted as values, in a copy that never moves: the
    // function may allocate, and may even change the series; they go back
    // only when the sort is done, as far as the series still reaches.
    std::vector<Cell> elements;
    elements.reserve(size_t(n));
    View v = view(f.like.w2);
    for (int32_t i = 0; i < n && plan.head + i < v.length; i++) elements.push_back(read_element(&f.like, v, plan.head + i));
    if (int32_t(elements.size()) != n) return;
    int32_t width = f.size * int32_t(sizeof(Cell));
    intptr_t arg = reinterpret_cast<intptr_t>(&f);
    if (stable) sort::merge(elements.data(), records, width, arg, 0, compare_by_function);
    else sort::quick(elements.data(), records, width, arg, 0, compare_by_function);
    for (int32_t i = 0; i < n && plan.head + i < view(f.like.w2).length; i++)
        store_element(&f.like, plan.head + i, &elements[size_t(i)]);
}

}  // namespace vum::series_actions
