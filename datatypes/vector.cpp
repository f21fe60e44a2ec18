#include "datatypes/vector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <strings.h>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/series-ranges.h"
#include "datatypes/series.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"
#include "memory/runtime-helpers.h"
#include "memory/series.h"
#include "memory/sort.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::vector_type {

namespace {

using namespace actions;
using integer_type::MathOp;
using ownership::Action;
using refinement_args::bad_refinement;
using refinement_args::integer_refinement;
using refinement_args::part_of;

const Cell none = {type_none, 0, 0, 0};

// The series! handlers that vector! wraps, taken from the registry.
RandomFn series_random = nullptr;
MoveFn series_move = nullptr;

[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }
[[noreturn]] void no_memory() { errors::raise(err::internal::no_memory); }
[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

[[noreturn]] void invalid_type_of(const Cell* value) {
    Cell type = cell::make_datatype(cell::type(value));
    errors::raise(err::script::invalid_type, &type);
}

[[noreturn]] void bad_make(const Cell* spec) {
    Cell type = cell::make_datatype(type_vector);
    errors::raise(err::script::bad_make_arg, &type, spec);
}

bool is_float_kind(uint8_t element_type) { return element_type == type_float || element_type == type_percent; }
bool is_number(uint8_t t) { return t == type_integer || t == type_char || t == type_float || t == type_percent; }
bool is_block_kind(uint8_t t) { return t == type_block || t == type_paren || t == type_hash; }
bool is_path_kind(uint8_t t) { return t >= type_path && t <= type_get_path; }

uint8_t element_type_of(const Cell* v) { return uint8_t(v->w3); }

// The buffer as it stands now: valid until the next allocation.
struct View {
    SeriesBuffer* buffer;
    uint32_t width;
    int32_t length;  // elements from the buffer's start
    uint8_t* at(int64_t i) const { return buffer->head_ptr() + i * width; }
    void set_length(int64_t n) const { buffer->tail = buffer->head + uint32_t(n) * width; }
};

View view(const Cell* v) {
    SeriesBuffer* b = nodes::buffer(v->w2);
    uint32_t width = b->unit() ? b->unit() : 1;
    return {b, width, int32_t((b->tail - b->head) / width)};
}

int32_t buffer_length(const Cell* v) { return view(v).length; }

// ---- Element encoding ----

int32_t read_int(const uint8_t* at, uint32_t width, bool unsigned_units) {
    switch (width) {
        case 1: return unsigned_units ? int32_t(*at) : int32_t(int8_t(*at));
        case 2: {
            uint16_t h;
            std::memcpy(&h, at, 2);
            return unsigned_units ? int32_t(h) : int32_t(int16_t(h));
        }
        default: {
            int32_t n;
            std::memcpy(&n, at, 4);
            return n;
        }
    }
}

void write_int(uint8_t* at, uint32_t width, int32_t n) {
    switch (width) {
        case 1: *at = uint8_t(n); return;
        case 2: {
            uint16_t h = uint16_t(n);
            std::memcpy(at, &h, 2);
            return;
        }
        default: std::memcpy(at, &n, 4); return;
    }
}

double read_double(const uint8_t* at, uint32_t width) {
    if (width == 4) {
        float f;
        std::memcpy(&f, at, 4);
        return f;
    }
    double d;
    std::memcpy(&d, at, 8);
    return d;
}

void write_double(uint8_t* at, uint32_t width, double d) {
    if (width == 4) {
        float f = float(d);
        std::memcpy(at, &f, 4);
    } else {
        std::memcpy(at, &d, 8);
    }
}

// A value that append, insert and change may store: a number of the
// vector's kind. Integers widen into float and percent vectors; a float
// is not cut to fit an integer vector, nor a character made a float.
void check_storable(uint8_t element_type, const Cell* value) {
    uint8_t t = cell::type(value);
    if (!is_number(t)) invalid_type_of(value);
    bool fits = is_float_kind(element_type) ? t != type_char : t == type_integer || t == type_char;
    if (!fits) invalid_arg(value);
}

// ---- Positions and reports ----

bool report(const Cell* series, Action action, const Cell* value, int64_t index, int64_t count) {
    return ownership::check(series, ownership::action_word(action), value, int32_t(index), int32_t(count));
}
void reported(const Cell* series, Action action, bool owned, int64_t index, int64_t count) {
    if (owned) ownership::check(series, ownership::past_word(action), nullptr, int32_t(index), int32_t(count));
}

Cell result_at(const Cell* series, int64_t head) {
    Cell r = *series;
    r.w1 = uint32_t(head);
    return r;
}

// Bytes for count elements of the width, within the 32-bit sizes of series.
int32_t checked_bytes(int64_t count, uint32_t width) {
    if (count < 0 || count > int64_t(INT_MAX) || count * width > int64_t(INT_MAX) - 64) no_memory();
    return int32_t(count * width);
}

// ---- make ----

const char* type_name(uint8_t element_type) {
    switch (element_type) {
        case type_char: return "char!";
        case type_integer: return "integer!";
        case type_float: return "float!";
        default: return "percent!";
    }
}

// The element type a word of a spec names, or 0.
uint8_t named_element_type(const Cell* word) {
    const char* name = symbols::text(int32_t(word->w2));
    for (uint8_t t : {type_char, type_integer, type_float, type_percent})
        if (strcasecmp(name, type_name(t)) == 0) return t;
    return 0;
}

// The width in bytes a width in bits gives for the element type, or 0.
uint32_t width_from_bits(uint8_t element_type, int32_t bits) {
    if (element_type == type_percent) return 8;
    if (is_float_kind(element_type)) return bits == 32 ? 4 : bits == 64 ? 8 : 0;
    return bits == 8 ? 1 : bits == 16 ? 2 : bits == 32 ? 4 : 0;
}

// Appends the values of a block from its position, each of the element type.
void append_values(const Cell* vector, const Cell* values) {
    for (int32_t i = int32_t(values->w1); i < block_actions::buffer_length(values->w2); i++) {
        Cell value = *block_actions::cell_at(values->w2, i);
        append_value(vector, &value);
    }
}

void vector_make(const Cell*, const Cell* spec_in, int32_t, Cell* result) {
    gc::Local spec(*spec_in);
    gc::Local out(none);
    uint8_t t = cell::type(&spec);
    if (t == type_integer || t == type_float) {
        int64_t n = std::max(integer::from_number(&spec), 0);
        checked_bytes(n, 4);
        make_at(&out, int32_t(n), type_integer, 4);
        std::memset(series::alloc_tail_bytes(out.w2, int32_t(n * 4)), 0, size_t(n * 4));
        *result = out;
        return;
    }
    if (t != type_block) not_done();
    int32_t count = series::length_from_head(&spec);
    if (count <= 0) {
        make_at(&out, 0, type_integer, 4);
        *result = out;
        return;
    }
    auto item = [&](int32_t k) { return *block_actions::cell_at(spec.w2, int32_t(spec.w1) + k); };
    Cell first = item(0);
    if (cell::type(&first) != type_word) {
        uint8_t element_type = cell::type(&first);
        if (!is_element_type(element_type)) invalid_type_of(&first);
        make_at(&out, count, element_type, default_width(element_type));
        append_values(&out, &spec);
        *result = out;
        return;
    }
    if (count < 2) bad_make(&spec);
    uint8_t element_type = named_element_type(&first);
    if (!element_type) bad_make(&spec);
    int32_t k = 1;
    Cell next = item(k);
    uint32_t width = 8;
    if (cell::type(&next) == type_integer) {
        width = width_from_bits(element_type, cell::get_integer(&next));
        if (!width) bad_make(&spec);
        k++;
    } else if (element_type != type_percent || cell::type(&next) != type_block) {
        bad_make(&spec);
    }
    // Then a size, a block of values, or a size and a block.
    int64_t size = -1;
    gc::Local values(none);
    if (k < count && cell::type(&(next = item(k))) == type_integer) {
        // A size below 1 asks for no zeros.
        size = std::max(cell::get_integer(&next), 0);
        k++;
    }
    if (k < count && cell::type(&(next = item(k))) == type_block) {
        values = next;
        k++;
    }
    if ((size < 0 && cell::type(&values) == type_none) || k < count)
        errors::raise(err::script::invalid_spec_field, &spec);
    int32_t given = cell::type(&values) == type_block ? std::max(series::length_from_head(&values), 0) : 0;
    checked_bytes(std::max<int64_t>(size, given), width);
    make_at(&out, int32_t(std::max<int64_t>(size, given)), element_type, width);
    if (given) append_values(&out, &values);
    int64_t filled = buffer_length(&out);
    if (size > filled) {
        int32_t bytes = checked_bytes(size - filled, width);
        std::memset(series::alloc_tail_bytes(out.w2, bytes), 0, size_t(bytes));
    }
    *result = out;
}

// ---- form and mold ----

void put_element(uint32_t buffer, const Cell* e, uint32_t width, bool mold, bool all) {
    switch (cell::type(e)) {
        case type_char: {
            uint32_t cp = e->w2;
            bool valid = cp <= 0x10FFFF;
            if (!mold) {
                string::append_char(buffer, valid ? cp : 0xFFFD);
                return;
            }
            string::append_ascii(buffer, "#\"");
            if (valid) {
                string::append_escaped(buffer, cp, all);
            } else {
                // A 32-bit element beyond Unicode: its bits, where text would lie.
                string::append_ascii(buffer, "^(");
                string::append_ascii(buffer, string::to_hex_text(int32_t(cp), true));
                string::append_char(buffer, ')');
            }
            string::append_char(buffer, '"');
            return;
        }
        case type_integer:
            string::append_ascii(buffer, integer_type::to_text(cell::get_integer(e)));
            return;
        case type_float:
            string::append_ascii(buffer, float_type::to_text(cell::get_double(e), width == 4 ? float_type::kind_float32
                                                                                         : float_type::kind_double));
            return;
        default:
            string::append_ascii(buffer,
                                 float_type::to_text(cell::get_double(e) * 100.0,
                                                     width == 4 ? float_type::kind_float32_percent
                                                                : float_type::kind_percent));
            return;
    }
}

// The elements from the position, one space apart; stops once a part
// limit in force is used up.
void put_elements(const Cell* v, uint32_t buffer, bool mold, bool all, const Cell* arg, int32_t limit, int32_t start) {
    uint8_t element_type = element_type_of(v);
    for (int32_t i = int32_t(v->w1); i < buffer_length(v); i++) {
        if (arg && string::length(buffer) - start >= limit) return;
        if (i > int32_t(v->w1)) string::append_char(buffer, ' ');
        View w = view(v);
        Cell e = element(w.at(i), w.width, element_type);
        put_element(buffer, &e, w.width, mold, all);
    }
}

int32_t vector_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    gc::Local v(*value);
    int32_t start = string::length(buffer);
    put_elements(&v, buffer, false, false, arg, limit, start);
    return limit - (string::length(buffer) - start);
}

int32_t vector_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool, const Cell* arg, int32_t limit,
                    int32_t) {
    gc::Local v(*value);
    int32_t start = string::length(buffer);
    uint8_t element_type = element_type_of(&v);
    uint32_t width = view(&v).width;
    if (!only) string::append_ascii(buffer, "make vector! [");
    // The short form only where the elements alone tell the type and width.
    bool short_form = length(&v) > 0 && width == default_width(element_type);
    if (!short_form) {
        string::append_ascii(buffer, type_name(element_type));
        string::append_char(buffer, ' ');
        string::append_ascii(buffer, integer_type::to_text(int32_t(width * 8)));
        string::append_ascii(buffer, " [");
    }
    put_elements(&v, buffer, true, all, arg, limit, start);
    if (!short_form) string::append_char(buffer, ']');
    if (!only) string::append_char(buffer, ']');
    return limit - (string::length(buffer) - start);
}

// ---- compare ----

// -1, 0 or 1 for two elements: numbers in order, a NaN after every number
// and equal to another NaN, so that equality and sorting agree.
int32_t order_numbers(const uint8_t* a, uint32_t wa, const uint8_t* b, uint32_t wb, uint8_t element_type) {
    if (is_float_kind(element_type)) {
        double x = read_double(a, wa), y = read_double(b, wb);
        bool nx = std::isnan(x), ny = std::isnan(y);
        if (nx || ny) return nx == ny ? 0 : nx ? 1 : -1;
        return (x > y) - (x < y);
    }
    bool is_char = element_type == type_char;
    int64_t x = read_int(a, wa, is_char), y = read_int(b, wb, is_char);
    if (is_char) {
        x = int64_t(uint32_t(x));
        y = int64_t(uint32_t(y));
    }
    return (x > y) - (x < y);
}

int32_t vector_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_vector) return not_comparable;
    if (a->w3 != b->w3) errors::raise(err::script::not_same_type);
    if (a->w2 == b->w2 && a->w1 == b->w1) return 0;
    if (op == op_same) return -1;
    int32_t la = length(a), lb = length(b);
    if ((op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find) && la != lb)
        return la < lb ? -1 : 1;
    View va = view(a), vb = view(b);
    int32_t n = std::min(la, lb);
    for (int32_t i = 0; i < n; i++) {
        int32_t r = order_numbers(va.at(int64_t(a->w1) + i), va.width, vb.at(int64_t(b->w1) + i), vb.width,
                                  element_type_of(a));
        if (r) return r;
    }
    return (la > lb) - (la < lb);
}

// ---- arithmetic ----

bool is_logic_op(int32_t op) { return op == integer_type::math_or || op == integer_type::math_and || op == integer_type::math_xor; }

// Float elements have no bitwise operations: the float kernel raises its
// error for them, before any element changes.
void check_float_op(int32_t op) {
    if (is_logic_op(op)) float_type::apply_op(0.0, 0.0, op);
}

// The operand integer elements meet: a float is truncated toward zero.
int32_t integer_operand(const Cell* number) {
    switch (cell::type(number)) {
        case type_integer: case type_char: return int32_t(number->w2);
        default: {
            double d = std::trunc(cell::get_double(number));
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) errors::raise(err::math::overflow);
            return int32_t(d);
        }
    }
}

// element op number, or number op element, for every element from the
// vector's position, in place. An integer result that leaves 32 bits wraps,
// and every result is stored at the element width.
void scalar_math(const Cell* vector, const Cell* number, int32_t op, bool number_first) {
    uint8_t element_type = element_type_of(vector);
    View v = view(vector);
    int64_t from = vector->w1;
    auto neutral = [&](bool is_zero, bool is_one) {
        bool additive = op == integer_type::math_add || (!number_first && op == integer_type::math_subtract);
        bool multiplicative = op == integer_type::math_multiply || (!number_first && op == integer_type::math_divide);
        return (additive && is_zero) || (multiplicative && is_one);
    };
    if (is_float_kind(element_type)) {
        check_float_op(op);
        double x = float_type::number_of(number);
        if (neutral(x == 0.0, x == 1.0)) return;
        for (int64_t i = from; i < v.length; i++) {
            double e = read_double(v.at(i), v.width);
            write_double(v.at(i), v.width, number_first ? float_type::apply_op(x, e, op) : float_type::apply_op(e, x, op));
        }
        return;
    }
    int32_t x = integer_operand(number);
    if (neutral(x == 0, x == 1)) return;
    bool is_char = element_type == type_char;
    if (op == integer_type::math_divide || op == integer_type::math_remainder) {
        // A zero divisor, or -2147483648 by -1, stops the operation before
        // anything is changed.
        for (int64_t i = from; i < v.length; i++) {
            int32_t e = read_int(v.at(i), v.width, is_char);
            int32_t dividend = number_first ? x : e, divisor = number_first ? e : x;
            if (divisor == 0) errors::raise(err::math::zero_divide);
            if (dividend == INT_MIN && divisor == -1) errors::raise(err::math::overflow);
        }
    }
    for (int64_t i = from; i < v.length; i++) {
        int32_t e = read_int(v.at(i), v.width, is_char);
        int32_t r = number_first ? integer_type::apply_op(op, x, e, nullptr) : integer_type::apply_op(op, e, x, nullptr);
        write_int(v.at(i), v.width, r);
    }
}

// Two vectors: a new one of the wider width and the shorter length, made
// element by element.
void vectors_math(int32_t op) {
    gc::Local a(*stack::arg(0));
    gc::Local b(*stack::arg(1));
    if (a.w3 != b.w3) errors::raise(err::script::not_same_type);
    uint8_t element_type = element_type_of(&a);
    bool floats = is_float_kind(element_type);
    if (floats) check_float_op(op);
    uint32_t width = std::max(view(&a).width, view(&b).width);
    int32_t n = std::min(length(&a), length(&b));
    gc::Local out(none);
    make_at(&out, n, element_type, width);
    series::alloc_tail_bytes(out.w2, checked_bytes(n, width));
    View va = view(&a), vb = view(&b), vo = view(&out);
    bool is_char = element_type == type_char;
    for (int32_t i = 0; i < n; i++) {
        const uint8_t* x = va.at(int64_t(a.w1) + i);
        const uint8_t* y = vb.at(int64_t(b.w1) + i);
        if (floats) {
            write_double(vo.at(i), width, float_type::apply_op(read_double(x, va.width), read_double(y, vb.width), op));
        } else {
            int32_t r = integer_type::apply_op(op, read_int(x, va.width, is_char), read_int(y, vb.width, is_char), nullptr);
            write_int(vo.at(i), width, r);
        }
    }
    *stack::arg(0) = out;
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    uint8_t t = cell::type(right);
    if (t == type_vector) {
        vectors_math(op);
        return;
    }
    if (!is_number(t)) not_done();
    scalar_math(left, right, op, false);
}

template <int32_t Op>
void math_action() {
    do_math(Op);
}

// ---- pick, random, move, take ----

void vector_pick(const Cell* series, const Cell*, int32_t n, Cell* result) {
    int64_t i = series->w1;
    int64_t p = n > 0 ? i + n - 1 : i + n;
    View v = view(series);
    if (n == 0 || p < 0 || p >= v.length) {
        *result = none;
        return;
    }
    *result = element(v.at(p), v.width, element_type_of(series));
}

void vector_random(Cell* value, bool seed, bool secure, bool only, Cell* result) {
    if (only && !seed) {
        Cell s = *value;
        int32_t c = length(&s);
        if (c < 1) {
            *result = none;
            return;
        }
        vector_pick(&s, nullptr, int32_t(series_actions::random_in_range(uint32_t(c), secure)), result);
        return;
    }
    series_random(value, seed, secure, only, result);
}

// Elements move between vectors of one element type and width only: the
// bits mean nothing in any other series.
void vector_move(Cell* origin, Cell* target, const Cell* part, Cell* result) {
    uint8_t tt = cell::type(target);
    if (block_actions::is_series_kind(tt) && origin->w2 != target->w2 &&
        (tt != type_vector || target->w3 != origin->w3 || view(target).width != view(origin).width)) {
        Cell a = cell::make_datatype(type_vector), b = cell::make_datatype(tt);
        errors::raise(err::script::move_bad, &a, &b);
    }
    series_move(origin, target, part, result);
}

void vector_take(Cell* series, const Cell* part, bool deep, bool last, Cell* result) {
    series_actions::take(series, part, deep, last, result);
    if (part || cell::type(result) != type_vector || length(result) != 1) return;
    View v = view(result);
    *result = element(v.at(result->w1), v.width, element_type_of(result));
}

// ---- append, insert, change ----

// The new elements of append, insert and change: the value itself, the
// values of a block kind (or, for change, of a path) from its position, or
// another vector's elements; at most limit of them (limit < 0: all). Every
// one is checked before anything changes. Numbers hold no series, so a C++
// array may keep them across allocations.
void new_elements(const Cell* value, int64_t limit, uint8_t element_type, bool paths, std::vector<Cell>& out) {
    uint8_t t = cell::type(value);
    auto room = [&] { return limit < 0 || int64_t(out.size()) < limit; };
    if (is_block_kind(t) || (paths && is_path_kind(t))) {
        for (int32_t i = int32_t(value->w1); i < block_actions::buffer_length(value->w2) && room(); i++) {
            Cell c = *block_actions::cell_at(value->w2, i);
            check_storable(element_type, &c);
            out.push_back(c);
        }
        return;
    }
    if (t == type_vector) {
        View v = view(value);
        for (int64_t i = value->w1; i < v.length && room(); i++) {
            Cell c = element(v.at(i), v.width, element_type_of(value));
            check_storable(element_type, &c);
            out.push_back(c);
        }
        return;
    }
    check_storable(element_type, value);
    if (room()) out.push_back(*value);
}

void put_values(const Cell* series, int64_t at, const std::vector<Cell>& values, int64_t count) {
    View v = view(series);
    uint8_t element_type = element_type_of(series);
    for (int64_t k = 0; k < count; k++) {
        const Cell& value = values[size_t(k % int64_t(values.size()))];
        if (is_float_kind(element_type)) write_double(v.at(at + k), v.width, float_type::number_of(&value));
        else write_int(v.at(at + k), v.width, int32_t(value.w2));
    }
}

void vector_insert(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, bool append, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int64_t limit = part ? std::max<int64_t>(0, integer_refinement("part", part)) : -1;
    int64_t times = dup ? std::max<int64_t>(0, integer_refinement("dup", dup)) : 1;
    std::vector<Cell> values;
    new_elements(&v, limit, element_type_of(&s), false, values);
    int64_t count = int64_t(values.size()) * times;
    uint32_t width = view(&s).width;
    checked_bytes(count, width);
    Action action = append ? ownership::action_append : ownership::action_insert;
    int64_t at = append ? buffer_length(&s) : std::min<int64_t>(s.w1, buffer_length(&s));
    bool owned = report(&s, action, &v, at, count);
    // The owner's handler may have changed the series.
    int64_t n = buffer_length(&s);
    at = append ? n : std::min(at, n);
    checked_bytes(n + count, width);
    if (count > 0) {
        series::alloc_tail_bytes(s.w2, int32_t(count * width));
        View w = view(&s);
        std::memmove(w.at(at + count), w.at(at), size_t((n - at) * width));
        put_values(&s, at, values, count);
    }
    reported(&s, action, owned, at, count);
    *result = result_at(&s, append ? 0 : at + count);
}

void vector_change(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int64_t times = dup ? std::max<int64_t>(0, integer_refinement("dup", dup)) : 1;
    std::vector<Cell> values;
    new_elements(&v, -1, element_type_of(&s), true, values);
    int64_t written = int64_t(values.size()) * times;
    uint32_t width = view(&s).width;
    checked_bytes(written, width);
    int64_t n = buffer_length(&s);
    int64_t head = std::min<int64_t>(s.w1, n);
    int64_t replaced = part ? part_of(&s, part) : written;
    replaced = std::clamp<int64_t>(replaced, 0, n - head);
    bool owned = report(&s, ownership::action_change, &v, head, replaced);
    n = buffer_length(&s);
    head = std::min(head, n);
    replaced = std::min(replaced, n - head);
    checked_bytes(n - replaced + written, width);
    if (written > replaced) series::alloc_tail_bytes(s.w2, int32_t((written - replaced) * width));
    View w = view(&s);
    std::memmove(w.at(head + written), w.at(head + replaced), size_t((n - head - replaced) * width));
    w.set_length(n - replaced + written);
    put_values(&s, head, values, written);
    reported(&s, ownership::action_change, owned, head, written);
    *result = result_at(&s, head + written);
}

// ---- find, select ----

// The numbers searched for: one number, a vector's elements or a block of
// numbers. False when the value holds anything else, which no vector holds.
bool needle_of(const Cell* value, std::vector<Cell>& out) {
    uint8_t t = cell::type(value);
    if (is_number(t)) {
        out.push_back(*value);
        return true;
    }
    if (t == type_vector) {
        View v = view(value);
        for (int64_t i = value->w1; i < v.length; i++) out.push_back(element(v.at(i), v.width, element_type_of(value)));
        return true;
    }
    if (is_block_kind(t)) {
        for (int32_t i = int32_t(value->w1); i < block_actions::buffer_length(value->w2); i++) {
            Cell c = *block_actions::cell_at(value->w2, i);
            if (!is_number(cell::type(&c))) return false;
            out.push_back(c);
        }
        return true;
    }
    return false;
}

// Numbers compare as numbers, at the element's own precision.
bool element_equals(const uint8_t* at, uint32_t width, uint8_t element_type, const Cell& x) {
    uint8_t t = cell::type(&x);
    if (is_float_kind(element_type)) {
        double e = read_double(at, width), y = float_type::number_of(&x);
        return width == 4 ? float(e) == float(y) : e == y;
    }
    bool is_char = element_type == type_char;
    int64_t e = read_int(at, width, is_char);
    if (is_char) e = int64_t(uint32_t(e));
    if (t == type_integer) return e == cell::get_integer(&x);
    if (t == type_char) return e == int64_t(x.w2);
    return double(e) == cell::get_double(&x);
}

// The element index of the match and its length, or -1.
int64_t search(const Cell* s, const Cell* value, const FindOptions& o, int32_t* matched) {
    int64_t length = buffer_length(s);
    series_ranges::SearchRange range;
    if (!series_ranges::search_range(s, length, o, &range)) return -1;
    std::vector<Cell> needle;
    if (!needle_of(value, needle) || needle.empty()) return -1;
    int64_t n = int64_t(needle.size());
    *matched = int32_t(n);
    uint8_t element_type = element_type_of(s);
    View v = view(s);
    auto matches_at = [&](int64_t p) {
        if (p < 0 || p + n > length) return false;
        for (int64_t k = 0; k < n; k++)
            if (!element_equals(v.at(p + k), v.width, element_type, needle[size_t(k)])) return false;
        return true;
    };
    return series_ranges::search_positions(range, length, n, o, matches_at);
}

void vector_find(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    Cell s = *series;
    int32_t matched = 0;
    int64_t p = search(&s, value, options, &matched);
    *result = p < 0 ? none : result_at(&s, options.tail ? p + matched : p);
}

void vector_select(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    Cell s = *series;
    FindOptions o = options;
    o.tail = o.match = false;
    int32_t matched = 0;
    int64_t p = search(&s, value, o, &matched);
    View v = view(&s);
    if (p < 0 || p + matched >= v.length) {
        *result = none;
        return;
    }
    *result = element(v.at(p + matched), v.width, element_type_of(&s));
}

// ---- sort ----

struct SortSpec {
    uint32_t width;
    uint8_t element_type;
    bool reverse;
    int32_t offset;    // the element compared within a record
    int32_t compared;  // elements compared from there
};

int32_t compare_records(const void* x, const void* y, intptr_t arg1, intptr_t) {
    const auto* spec = reinterpret_cast<const SortSpec*>(arg1);
    const auto* a = static_cast<const uint8_t*>(x);
    const auto* b = static_cast<const uint8_t*>(y);
    for (int32_t i = spec->offset; i < spec->offset + spec->compared; i++) {
        int32_t r = order_numbers(a + i * spec->width, spec->width, b + i * spec->width, spec->width, spec->element_type);
        if (r) return spec->reverse ? -r : r;
    }
    return 0;
}

void vector_sort(Cell* series, bool, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
                 bool reverse, bool stable, Cell* result) {
    Cell s = *series;
    series_actions::SortPlan plan = series_actions::sort_plan(&s, buffer_length(&s), skip, comparator, part, all);
    if (plan.before_start) {
        s.w1 = 0;
        *result = s;
        return;
    }
    int64_t head = plan.head, count = plan.count, size = plan.size;
    int32_t offset = plan.offset, compared = plan.compared;
    s.w1 = uint32_t(head);
    int64_t records = count / size;
    if (records > 1) {
        bool owned = report(&s, ownership::action_sort, nullptr, head, count);
        records = series_actions::records_left(plan, buffer_length(&s));
        if (plan.by_function) {
            series_actions::sort_by_function(&s, plan, comparator, all, reverse, stable);
        } else if (records > 1) {
            View v = view(&s);
            SortSpec spec{v.width, element_type_of(&s), reverse, offset, compared};
            int32_t record_width = int32_t(size * v.width);
            if (stable)
                sort::merge(v.at(head), int32_t(records), record_width, reinterpret_cast<intptr_t>(&spec), 0,
                            compare_records);
            else
                sort::quick(v.at(head), int32_t(records), record_width, reinterpret_cast<intptr_t>(&spec), 0,
                            compare_records);
        }
        reported(&s, ownership::action_sort, owned, head, count);
    }
    *result = s;
}

// ---- paths ----

void vector_path(const PathStep& step, Cell* result) {
    gc::Local s(*step.parent);
    gc::Local e(*step.element);
    gc::Local path(step.path ? *step.path : none);
    uint8_t t = cell::type(&e);
    if (t == type_word) errors::raise(err::script::invalid_path, &path, &e);
    if (!step.value) {
        if (t == type_integer) vector_pick(&s, &e, cell::get_integer(&e), result);
        else vector_select(&s, &e, FindOptions{}, result);
        return;
    }
    gc::Local v(*step.value);
    if (t == type_integer) {
        series_actions::poke(&s, &e, &v, cell::get_integer(&e), result);
        return;
    }
    // The element after the value found takes the new value.
    int32_t matched = 0;
    int64_t p = search(&s, &e, FindOptions{}, &matched);
    int64_t target = p + matched;
    if (p < 0 || target >= buffer_length(&s)) errors::raise(err::script::bad_path_set, &path, &e);
    Cell index;
    cell::make_integer(&index, int32_t(target - s.w1 + 1));
    series_actions::poke(&s, &index, &v, cell::get_integer(&index), result);
}

}  // namespace

// ---- services ----

bool is_element_type(uint8_t type) {
    return type == type_char || type == type_integer || type == type_float || type == type_percent;
}

uint32_t default_width(uint8_t element_type) { return is_float_kind(element_type) ? 8 : 4; }

void make_at(Cell* c, int32_t count, uint8_t element_type, uint32_t width) {
    checked_bytes(std::max(count, 0), width);
    uint32_t node = memory::alloc_units(std::max(count, 0), int32_t(width));
    *c = {type_vector, 0, node, element_type};
}

Cell element(const uint8_t* at, uint32_t width, uint8_t element_type) {
    Cell c = none;
    if (is_float_kind(element_type)) {
        cell::make_float(&c, read_double(at, width));
        c.header = element_type;
        return c;
    }
    cell::make_integer(&c, read_int(at, width, element_type == type_char));
    c.header = element_type;
    return c;
}

Cell* push_element(const uint8_t* at, uint32_t width, uint8_t element_type) {
    Cell e = element(at, width, element_type);
    return stack::push_copy(&e);
}

void store_element(uint8_t* at, const Cell* value, uint32_t width) {
    switch (cell::type(value)) {
        case type_integer: case type_char: write_int(at, width, int32_t(value->w2)); return;
        case type_float: case type_percent: write_double(at, width, cell::get_double(value)); return;
        default: invalid_type_of(value);
    }
}

void append_value(const Cell* vector, const Cell* value) {
    Cell v = *value;
    if (cell::type(&v) != element_type_of(vector)) invalid_arg(&v);
    uint32_t width = view(vector).width;
    store_element(series::alloc_tail_bytes(vector->w2, int32_t(width)), &v, width);
}

void to_block(const Cell* vector, Cell* result) {
    gc::Local v(*vector);
    gc::Local out(none);
    block_actions::make_at(&out, length(&v));
    for (int64_t i = v.w1; i < buffer_length(&v); i++) {
        View w = view(&v);
        Cell e = element(w.at(i), w.width, element_type_of(&v));
        *series::alloc_tail(&out) = e;
    }
    *result = out;
}

int32_t length(const Cell* vector) { return std::max(buffer_length(vector) - int32_t(vector->w1), 0); }

void truncate_at_index(const Cell* vector) {
    View v = view(vector);
    if (int64_t(vector->w1) < v.length) v.set_length(vector->w1);
}

void math_with_number_first(int32_t op) {
    Cell number = *stack::arg(0);
    scalar_math(stack::arg(1), &number, op, true);
    *stack::arg(0) = *stack::arg(1);
}

void init() {
    Row r(type_vector, "vector!", type_string);
    r.inherit(series_slots)
        .set<slot_make>(vector_make)
        .set<slot_random>(vector_random)
        .set<slot_form>(vector_form)
        .set<slot_mold>(vector_mold)
        .set<slot_eval_path>(vector_path)
        .set<slot_compare>(vector_compare)
        .set<slot_add>(math_action<integer_type::math_add>)
        .set<slot_subtract>(math_action<integer_type::math_subtract>)
        .set<slot_multiply>(math_action<integer_type::math_multiply>)
        .set<slot_divide>(math_action<integer_type::math_divide>)
        .set<slot_remainder>(math_action<integer_type::math_remainder>)
        .set<slot_and>(math_action<integer_type::math_and>)
        .set<slot_or>(math_action<integer_type::math_or>)
        .set<slot_xor>(math_action<integer_type::math_xor>)
        .set<slot_append>(vector_insert)
        .set<slot_insert>(vector_insert)
        .set<slot_change>(vector_change)
        .set<slot_find>(vector_find)
        .set<slot_select>(vector_select)
        .set<slot_sort>(vector_sort)
        .set<slot_take>(vector_take)
        .set<slot_pick>(vector_pick)
        .set<slot_move>(vector_move);
    series_random = actions::handler<slot_random>(type_series);
    series_move = actions::handler<slot_move>(type_series);
    datatype::register_type(r);
}

}  // namespace vum::vector_type
