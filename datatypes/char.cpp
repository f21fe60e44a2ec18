#include "datatypes/char.h"

#include <cmath>

#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::char_type {

namespace {

using namespace actions;

[[noreturn]] void bad_to(const Cell* spec) {
    Cell target = cell::make_datatype(type_char), s = *spec;
    errors::raise(err::script::bad_to_arg, &target, &s);
}

[[noreturn]] void overflow() { errors::raise(err::math::overflow); }

template <MathOp Op>
void math_action() {
    math(Op);
}

}  // namespace

Cell* push(uint32_t cp) {
    Cell* c = stack::push_cell();
    *c = make(cp);
    return c;
}

void load_into_block(const Cell* block, uint32_t cp) { *series::alloc_tail(block) = make(cp); }

void math(MathOp op) {
    Cell* a = stack::arg(0);
    const Cell* b = stack::arg(1);
    int64_t y;
    switch (cell::type(b)) {
        case type_char: case type_integer:
            y = cell::get_integer(b);
            if (cell::type(b) == type_char) y = int64_t(b->w2);
            break;
        case type_float: {
            double d = std::trunc(cell::get_double(b));
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) overflow();
            y = int64_t(d);
            break;
        }
        case type_vector:
            vector_type::math_with_number_first(op);
            return;
        default: {
            Cell type = cell::make_datatype(cell::type(b));
            errors::raise(err::script::invalid_type, &type);
        }
    }
    int64_t x = int64_t(a->w2);
    int64_t r = 0;
    switch (op) {
        case op_add: r = x + y; break;
        case op_subtract: r = x - y; break;
        case op_multiply: r = x * y; break;
        case op_divide:
            if (y == 0) errors::raise(err::math::zero_divide);
            r = x / y;
            break;
        case op_remainder:
            if (y == 0) errors::raise(err::math::zero_divide);
            r = x % y;
            break;
        case op_or: r = int64_t(uint32_t(x) | uint32_t(y)); break;
        case op_and: r = int64_t(uint32_t(x) & uint32_t(y)); break;
        case op_xor: r = int64_t(uint32_t(x) ^ uint32_t(y)); break;
    }
    if (r < 0 || r > int64_t(max_code_point)) overflow();
    *a = make(uint32_t(r));
}

void make_value(const Cell*, const Cell* spec, int32_t, Cell* result) {
    uint8_t t = cell::type(spec);
    int64_t cp;
    switch (t) {
        case type_char: cp = int64_t(spec->w2); break;
        case type_integer: cp = cell::get_integer(spec); break;
        case type_float: case type_percent: {
            double d = std::trunc(cell::get_double(spec));
            cp = d >= 0 && d <= double(max_code_point) ? int64_t(d) : -1;
            break;
        }
        case type_binary: {
            SeriesBuffer* b = nodes::buffer(spec->w2);
            int32_t available = int32_t(b->tail - b->head) - int32_t(spec->w1);
            if (available <= 0) bad_to(spec);  // no byte to read
            int32_t count = available;
            int32_t decoded = unicode::decode_utf8_checked(b->head_ptr() + spec->w1, &count);
            if (decoded < 0) bad_to(spec);  // the bytes end inside a sequence
            cp = decoded;
            break;
        }
        default:
            if (!string::is_text_kind(t) || string::at_tail(spec)) bad_to(spec);
            cp = string::char_at(spec->w2, int32_t(spec->w1));
    }
    if (cp < 0 || cp > int64_t(max_code_point)) {
        Cell s = *spec;
        errors::raise(err::script::out_of_range, &s);
    }
    *result = make(uint32_t(cp));
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (arg && limit <= 0) return limit;
    string::append_char(buffer, value->w2);
    return limit - 1;
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    uint32_t cp = value->w2;
    string::append_ascii(buffer, "#\"");
    string::append_escaped(buffer, cp, all);
    string::append_char(buffer, '"');
    return limit - 4;
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t t = cell::type(b);
    if ((op == op_strict_equal || op == op_find) && t != type_char) return 1;
    if (t != type_char && t != type_integer) return not_comparable;
    int64_t x = int64_t(a->w2);
    int64_t y = t == type_char ? int64_t(b->w2) : int64_t(cell::get_integer(b));
    return x < y ? -1 : x > y ? 1 : 0;
}

void init() {
    Row r(type_char, "char!", type_integer);
    r.inherit<slot_random, slot_absolute, slot_even_q, slot_odd_q>()
        .set<slot_make>(make_value)
        .set<slot_to>(make_value)
        .set<slot_form>(form)
        .set<slot_mold>(mold)
        .set<slot_compare>(compare)
        .set<slot_add>(math_action<op_add>)
        .set<slot_subtract>(math_action<op_subtract>)
        .set<slot_multiply>(math_action<op_multiply>)
        .set<slot_divide>(math_action<op_divide>)
        .set<slot_remainder>(math_action<op_remainder>)
        .set<slot_and>(math_action<op_and>)
        .set<slot_or>(math_action<op_or>)
        .set<slot_xor>(math_action<op_xor>);
    datatype::register_type(r);
}

}  // namespace vum::char_type
