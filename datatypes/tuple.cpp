#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "datatypes/actions.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::tuple_type {

namespace {

using namespace actions;

[[noreturn]] void raise_invalid_type(const Cell* value) {
    Cell type = cell::make_datatype(cell::type(value));
    errors::raise(err::script::invalid_type, &type);
}

bool is_text_type(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

uint8_t clamp_byte(int64_t n) { return uint8_t(n < 0 ? 0 : n > 255 ? 255 : n); }

// Truncated toward zero, then clamped; NaN has no value and counts as 0.
uint8_t clamp_byte(double x) {
    if (std::isnan(x)) return 0;
    x = std::trunc(x);
    return uint8_t(x < 0.0 ? 0 : x > 255.0 ? 255 : int32_t(x));
}

// ---- make and to

// Integers, characters and floats (truncated), each 0-255, at most 12.
void from_block(const Cell* spec, Cell* result) {
    int32_t n = series::length_from_head(spec);
    if (n > max_length) errors::raise_bad_to(type_tuple, spec);
    uint8_t bytes[max_length] = {};
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    for (int32_t i = 0; i < n; i++) {
        const Cell* item = items + i;
        double v;
        switch (cell::type(item)) {
            case type_integer: v = double(cell::get_integer(item)); break;
            case type_char: v = double(item->w2); break;
            case type_float: v = std::trunc(cell::get_double(item)); break;
            default: errors::raise_bad_to(type_tuple, spec);
        }
        if (!(v >= 0.0 && v <= 255.0)) errors::raise_bad_to(type_tuple, spec);
        bytes[i] = uint8_t(v);
    }
    make_at(result, bytes, n);
}

void tuple_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    uint8_t t = cell::type(spec);
    switch (t) {
        case type_block: case type_paren: case type_hash:
            from_block(spec, result);
            return;
        case type_issue:
            from_issue(result, spec);
            return;
        case type_binary:
            from_binary(result, spec);
            return;
        case type_tuple:
            *result = *spec;
            cell::clear_new_line(result);
            return;
        default:
            break;
    }
    if (is_text_type(t)) {
        std::string text = string::to_utf8(spec);
        Cell loaded = {type_none, 0, 0, 0};
        if (services::current.load_first_value(text.data(), int32_t(text.size()), &loaded) &&
            cell::type(&loaded) == type_tuple) {
            *result = loaded;
            return;
        }
    }
    errors::raise_bad_to(type_tuple, spec);
}

// ---- text

std::string text_of(const Cell* value) {
    uint8_t bytes[max_length];
    get_bytes(value, bytes);
    std::string text;
    for (int32_t i = 0, n = length(value); i < n; i++) {
        if (i) text += '.';
        text += integer_type::to_text(bytes[i]);
    }
    return text;
}

int32_t tuple_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value).c_str(), arg, limit);
}

int32_t tuple_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return tuple_form(value, buffer, arg, limit);
}

// ---- paths and pick

// The 1-based index an element names, checked against the length.
int32_t checked_index(const Cell* value, const Cell* element) {
    if (cell::type(element) != type_integer) raise_invalid_type(element);
    int32_t index = cell::get_integer(element);
    if (index < 1 || index > length(value)) errors::raise(err::script::out_of_range, element);
    return index;
}

void tuple_path(const PathStep& step, Cell* result) {
    int32_t index = checked_index(step.parent, step.element);
    uint8_t bytes[max_length];
    get_bytes(step.parent, bytes);
    if (!step.value) {
        cell::make_integer(result, bytes[index - 1]);
        return;
    }
    Cell v = *step.value;
    int32_t n = length(step.parent);
    switch (cell::type(&v)) {
        case type_integer:
            bytes[index - 1] = clamp_byte(int64_t(cell::get_integer(&v)));
            break;
        case type_none:
            // Cut before the index, keeping the three bytes a tuple has at
            // least.
            std::memset(bytes + index - 1, 0, size_t(max_length - index + 1));
            n = index - 1;
            break;
        default:
            raise_invalid_type(&v);
    }
    // A tuple is held in its cell, not in a series: the new tuple goes to
    // the parent cell, which the path evaluator stores back in its
    // container.
    Cell* parent = const_cast<Cell*>(step.parent);
    uint32_t flags = parent->header & cell::flag_new_line;
    make_at(parent, bytes, n);
    parent->header |= flags;
    *result = v;
    actions::field_set(step, &v);
}

void tuple_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    int32_t i = checked_index(value, index);
    uint8_t bytes[max_length];
    get_bytes(value, bytes);
    cell::make_integer(result, bytes[i - 1]);
}

// ---- comparison

// Missing bytes of the shorter tuple count as zero, so 1.2.3 = 1.2.3.0.
int32_t tuple_compare(const Cell* a, const Cell* b, int32_t) {
    if (cell::type(b) != type_tuple) return not_comparable;
    uint8_t x[max_length], y[max_length];
    get_bytes(a, x);
    get_bytes(b, y);
    int32_t n = std::max(length(a), length(b));
    for (int32_t i = 0; i < n; i++)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

// ---- arithmetic

// The integer operation on a byte, computed wide so that no sum or product
// wraps before the clamp.
int64_t byte_op(int32_t op, int64_t a, int32_t b) {
    switch (op) {
        case integer_type::math_add: return a + b;
        case integer_type::math_subtract: return a - b;
        case integer_type::math_multiply: return a * b;
        case integer_type::math_divide:
            if (b == 0) errors::raise(err::math::zero_divide);
            return a / b;
        case integer_type::math_remainder:
            if (b == 0) errors::raise(err::math::zero_divide);
            return a % b;
        case integer_type::math_or: return int32_t(a) | b;
        case integer_type::math_and: return int32_t(a) & b;
        default: return int32_t(a) ^ b;
    }
}

template <int32_t Op>
void tuple_math() {
    do_math(Op);
}

void tuple_complement(Cell* value, Cell* result) {
    uint8_t bytes[max_length];
    get_bytes(value, bytes);
    int32_t n = length(value);
    for (int32_t i = 0; i < n; i++) bytes[i] = uint8_t(~bytes[i]);
    make_at(result, bytes, n);
}

int32_t tuple_length(Cell* value) { return length(value); }

// /part n limits the reversal to the first n bytes; /skip k reverses
// records of k bytes, and must divide what is reversed.
void tuple_reverse(Cell* value, const Cell* part, const Cell* skip, Cell* result) {
    uint8_t bytes[max_length];
    get_bytes(value, bytes);
    int32_t n = length(value);
    int32_t span = n;
    if (part) {
        if (cell::type(part) != type_integer) errors::raise_refine_arg("part", part);
        int32_t count = cell::get_integer(part);
        if (count < 0) errors::raise(err::script::out_of_range, part);
        span = std::min(count, n);
    }
    int32_t record = 1;
    if (skip) {
        if (cell::type(skip) != type_integer) errors::raise_refine_arg("skip", skip);
        record = cell::get_integer(skip);
        if (record < 1 || span % record != 0) errors::raise(err::script::out_of_range, skip);
    }
    for (int32_t i = 0, j = span - record; i < j; i += record, j -= record)
        for (int32_t k = 0; k < record; k++) std::swap(bytes[i + k], bytes[j + k]);
    make_at(value, bytes, n);
    *result = *value;
}

void tuple_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        integer_type::random_seed(value->w1 ^ value->w2 ^ value->w3);
        cell::make_unset(result);
        return;
    }
    uint8_t bytes[max_length];
    get_bytes(value, bytes);
    int32_t n = length(value);
    for (int32_t i = 0; i < n; i++) bytes[i] = uint8_t(integer_type::random_in_range(bytes[i] + 1, secure) - 1);
    make_at(result, bytes, n);
}

}  // namespace

void get_bytes(const Cell* c, uint8_t* out) { std::memcpy(out, &c->w1, max_length); }

Cell* make_at(Cell* c, const uint8_t* bytes, int32_t n) {
    if (n > max_length) n = max_length;
    if (n < 0) n = 0;
    uint8_t padded[max_length] = {};
    if (n > 0) std::memcpy(padded, bytes, size_t(n));
    if (n < min_length) n = min_length;
    c->header = uint32_t(type_tuple) | uint32_t(n) << cell::tuple_length_shift;
    std::memcpy(&c->w1, padded, max_length);
    return c;
}

Cell* push(int32_t n, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell words = {0, w1, w2, w3};
    uint8_t bytes[max_length];
    get_bytes(&words, bytes);
    return make_at(stack::push_cell(), bytes, n);
}

Cell* from_integers(Cell* c, const int32_t* values, int32_t n) {
    uint8_t bytes[max_length] = {};
    if (n > max_length) n = max_length;
    for (int32_t i = 0; i < n; i++) bytes[i] = uint8_t(values[i]);
    return make_at(c, bytes, n);
}

Cell* from_binary(Cell* c, const Cell* binary) {
    SeriesBuffer* b = nodes::buffer(binary->w2);
    int32_t available = int32_t(b->tail - b->head) - int32_t(binary->w1);
    int32_t n = available < 0 ? 0 : available > max_length ? max_length : available;
    uint8_t bytes[max_length] = {};
    if (n > 0) std::memcpy(bytes, b->head_ptr() + binary->w1, size_t(n));
    return make_at(c, bytes, n);
}

Cell* from_issue(Cell* c, const Cell* issue) {
    Cell kept = *issue;
    int32_t n = 0;
    const char* text = symbols::text(int32_t(kept.w2), &n);
    uint8_t digits[8];
    // Only ASCII hexadecimal digits count: a wider character is refused, not
    // folded onto a digit by its low bits.
    bool ok = n == 3 || n == 6 || n == 8;
    for (int32_t i = 0; ok && i < n; i++) {
        uint8_t ch = uint8_t(text[i]);
        if (ch >= '0' && ch <= '9') digits[i] = uint8_t(ch - '0');
        else if (ch >= 'a' && ch <= 'f') digits[i] = uint8_t(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') digits[i] = uint8_t(ch - 'A' + 10);
        else ok = false;
    }
    if (!ok) errors::raise(err::script::invalid_data, &kept);
    uint8_t bytes[4];
    if (n == 3) {
        for (int32_t i = 0; i < 3; i++) bytes[i] = uint8_t(digits[i] * 17);
        return make_at(c, bytes, 3);
    }
    for (int32_t i = 0; i < n / 2; i++) bytes[i] = uint8_t(digits[2 * i] << 4 | digits[2 * i + 1]);
    return make_at(c, bytes, n / 2);
}

bool is_zero(const Cell* c) {
    uint8_t bytes[max_length];
    get_bytes(c, bytes);
    for (int32_t i = 0, n = length(c); i < n; i++)
        if (bytes[i]) return false;
    return true;
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    Cell* right = stack::arg(1);
    if (cell::type(left) != type_tuple) {
        // Only the operations whose operands may trade places take a number
        // on the left.
        if (op == integer_type::math_subtract || op == integer_type::math_divide ||
            op == integer_type::math_remainder) {
            Cell name = actions::word(integer_type::action_slot(op)), type = cell::make_datatype(cell::type(left));
            errors::raise(err::script::not_related, &name, &type);
        }
        std::swap(*left, *right);
    }
    uint8_t a[max_length], out[max_length] = {};
    get_bytes(left, a);
    int32_t n = length(left);
    switch (cell::type(right)) {
        case type_float: case type_percent: {
            double f = cell::get_double(right);
            for (int32_t i = 0; i < n; i++) out[i] = clamp_byte(float_type::apply_op(double(a[i]), f, op));
            break;
        }
        case type_integer: {
            int32_t b = cell::get_integer(right);
            for (int32_t i = 0; i < n; i++) out[i] = clamp_byte(byte_op(op, a[i], b));
            break;
        }
        case type_tuple: {
            uint8_t b[max_length];
            get_bytes(right, b);
            n = std::max(n, length(right));
            for (int32_t i = 0; i < n; i++) out[i] = clamp_byte(byte_op(op, a[i], b[i]));
            break;
        }
        default:
            raise_invalid_type(right);
    }
    make_at(left, out, n);
}

void init() {
    Row r(type_tuple, "tuple!");
    r.set<slot_make>(tuple_to)
        .set<slot_random>(tuple_random)
        .set<slot_to>(tuple_to)
        .set<slot_form>(tuple_form)
        .set<slot_mold>(tuple_mold)
        .set<slot_eval_path>(tuple_path)
        .set<slot_compare>(tuple_compare)
        .set<slot_add>(tuple_math<integer_type::math_add>)
        .set<slot_subtract>(tuple_math<integer_type::math_subtract>)
        .set<slot_multiply>(tuple_math<integer_type::math_multiply>)
        .set<slot_divide>(tuple_math<integer_type::math_divide>)
        .set<slot_remainder>(tuple_math<integer_type::math_remainder>)
        .set<slot_and>(tuple_math<integer_type::math_and>)
        .set<slot_or>(tuple_math<integer_type::math_or>)
        .set<slot_xor>(tuple_math<integer_type::math_xor>)
        .set<slot_complement>(tuple_complement)
        .set<slot_length_q>(tuple_length)
        .set<slot_pick>(tuple_pick)
        .set<slot_reverse>(tuple_reverse);
    datatype::register_type(r);
}

}  // namespace vum::tuple_type
