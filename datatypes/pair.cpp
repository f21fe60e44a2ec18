#include "datatypes/pair.h"

#include <climits>
#include <cmath>
#include <string>

#include "datatypes/actions.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::pair_type {

namespace {

using namespace actions;
using integer_type::math_add;
using integer_type::math_divide;
using integer_type::math_multiply;
using integer_type::math_remainder;
using integer_type::math_subtract;

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

[[noreturn]] void raise_invalid_type(uint8_t t) {
    Cell type = cell::make_datatype(t);
    errors::raise(err::script::invalid_type, &type);
}

[[noreturn]] void raise_not_related(int32_t slot, uint8_t t) {
    Cell name = actions::word(slot), type = cell::make_datatype(t);
    errors::raise(err::script::not_related, &name, &type);
}

// A coordinate from an integer! or a float!.
int32_t coordinate_of(const Cell* c) {
    if (cell::type(c) == type_integer) return cell::get_integer(c);
    return truncate_coordinate(cell::get_double(c), c);
}

void from_block(const Cell* spec, int32_t* x, int32_t* y) {
    if (series::length_from_head(spec) < 2) errors::raise(err::syntax::malconstruct, spec);
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    Cell a = items[0], b = items[1];
    for (const Cell* c : {&a, &b}) {
        uint8_t t = cell::type(c);
        if (t != type_integer && t != type_float) errors::raise(err::syntax::malconstruct, spec);
    }
    *x = coordinate_of(&a);
    *y = coordinate_of(&b);
}

void pair_make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    int32_t x = 0, y = 0;
    switch (cell::type(spec)) {
        case type_pair:
            x = x_of(spec);
            y = y_of(spec);
            break;
        case type_integer:
            x = y = cell::get_integer(spec);
            break;
        case type_float:
            x = y = truncate_coordinate(cell::get_double(spec), spec);
            break;
        case type_point2d:
            x = truncate_coordinate(double(point_type::component(spec, 0)), spec);
            y = truncate_coordinate(double(point_type::component(spec, 1)), spec);
            break;
        case type_block: case type_paren: case type_hash:
            from_block(spec, &x, &y);
            break;
        case type_string: {
            // The loader reads the text and makes the pair itself.
            std::string text = string::to_utf8(spec);
            gc::Local loaded({type_none, 0, 0, 0});
            if (!services::current.load_first_value(text.data(), int32_t(text.size()), &loaded) ||
                cell::type(&loaded) != type_pair)
                errors::raise_bad_to(type_pair, spec);
            x = x_of(&loaded);
            y = y_of(&loaded);
            break;
        }
        default:
            errors::raise_bad_to(type_pair, spec);
    }
    make_at(result, x, y);
}

void pair_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        integer_type::random_seed(value->w2 ^ value->w3);
        cell::make_unset(result);
        return;
    }
    int32_t x = integer_type::random_in_range(x_of(value), secure);
    int32_t y = integer_type::random_in_range(y_of(value), secure);
    make_at(result, x, y);
}

std::string text_of(const Cell* value) {
    std::string text = integer_type::to_text(x_of(value));
    text += 'x';
    return text + integer_type::to_text(y_of(value));
}

int32_t pair_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value).c_str(), arg, limit);
}

int32_t pair_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return pair_form(value, buffer, arg, limit);
}

// 0 for x (element 1 or the word x), 1 for y, else -1.
int32_t field_of(const Cell* element) {
    uint8_t t = cell::type(element);
    if (t == type_integer) {
        int32_t k = cell::get_integer(element);
        return k == 1 || k == 2 ? k - 1 : -1;
    }
    if (!is_word_kind(t)) return -1;
    using runtime_symbols::id;
    int32_t symbol = symbols::resolve(int32_t(element->w2));
    if (symbol == symbols::resolve(id(runtime_symbols::sym_x))) return 0;
    if (symbol == symbols::resolve(id(runtime_symbols::sym_y))) return 1;
    return -1;
}

void pair_path(const PathStep& step, Cell* result) {
    Cell* parent = const_cast<Cell*>(step.parent);
    int32_t field = field_of(step.element);
    if (field < 0) {
        const Cell* where = step.path ? step.path : step.parent;
        errors::raise(err::script::invalid_path, where, step.element);
    }
    if (!step.value) {
        cell::make_integer(result, field == 0 ? x_of(parent) : y_of(parent));
        return;
    }
    Cell v = *step.value;
    if (cell::type(&v) != type_integer) raise_invalid_type(cell::type(&v));
    // The pair is held in its cell: the path evaluator stores the changed
    // parent back where it came from.
    (field == 0 ? parent->w2 : parent->w3) = v.w2;
    *result = v;
    actions::field_set(step, &v);
}

void pair_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    int32_t field = field_of(index);
    if (field < 0) errors::raise(err::script::out_of_range, index);
    cell::make_integer(result, field == 0 ? x_of(value) : y_of(value));
}

void pair_absolute() {
    Cell* v = stack::arg(0);
    make_at(v, integer_type::abs_checked(x_of(v)), integer_type::abs_checked(y_of(v)));
}

void pair_negate() {
    Cell* v = stack::arg(0);
    int32_t x = x_of(v), y = y_of(v);
    if (x == INT_MIN || y == INT_MIN) errors::raise(err::math::overflow);
    make_at(v, -x, -y);
}

template <int32_t Op>
void pair_math() {
    do_math(Op);
}

void pair_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                bool half_ceiling, Cell* result) {
    Cell components[2] = {{type_integer, 0, value->w2, 0}, {type_integer, 0, value->w3, 0}};
    Cell scales[2] = {{type_integer, 0, 1, 0}, {type_integer, 0, 1, 0}};
    if (scale) {
        switch (cell::type(scale)) {
            case type_money:
                raise_not_related(slot_round, type_money);
            case type_integer:
                scales[0].w2 = scales[1].w2 = scale->w2;
                break;
            case type_pair:
                scales[0].w2 = scale->w2;
                scales[1].w2 = scale->w3;
                break;
            case type_float: case type_percent:
                // As in the arithmetic, a float is taken as its whole part.
                scales[0].w2 = scales[1].w2 = uint32_t(truncate_coordinate(cell::get_double(scale), scale));
                break;
            default:
                errors::raise(err::script::invalid_arg, scale);
        }
    }
    RoundFn round_integer = actions::handler<slot_round>(type_integer);
    for (int32_t i = 0; i < 2; i++)
        round_integer(&components[i], scale ? &scales[i] : nullptr, even, down, half_down, floor, ceiling,
                      half_ceiling, &components[i]);
    make_at(result, cell::get_integer(&components[0]), cell::get_integer(&components[1]));
}

void pair_reverse(Cell* value, const Cell*, const Cell*, Cell* result) {
    make_at(result, y_of(value), x_of(value));
}

// Whether a op b leaves the 32-bit integers.
bool overflows(int32_t op, int32_t a, int32_t b) {
    int32_t r;
    switch (op) {
        case math_add: return __builtin_add_overflow(a, b, &r);
        case math_subtract: return __builtin_sub_overflow(a, b, &r);
        case math_multiply: return __builtin_mul_overflow(a, b, &r);
        case math_divide: return a == INT_MIN && b == -1;
        default: return false;
    }
}

}  // namespace

Cell* make_at(Cell* c, int32_t x, int32_t y) {
    *c = {type_pair, 0, uint32_t(x), uint32_t(y)};
    return c;
}

Cell* push(int32_t x, int32_t y) { return make_at(stack::push_cell(), x, y); }

void push_new(uint32_t block, int32_t x, int32_t y) { make_at(series::alloc_tail_cell(block), x, y); }

Cell* to_point_at(Cell* c, const Cell* pair) {
    int32_t x = x_of(pair), y = y_of(pair);
    return point_type::make_2d_at(c, x, y);
}

int32_t truncate_coordinate(double d, const Cell* culprit) {
    double t = std::trunc(d);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) errors::raise(err::script::invalid_arg, culprit);
    return int32_t(t);
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    Cell* right = stack::arg(1);
    uint8_t tr = cell::type(right);
    int32_t bx, by;
    switch (tr) {
        case type_integer:
            bx = by = cell::get_integer(right);
            break;
        case type_pair:
            bx = x_of(right);
            by = y_of(right);
            break;
        case type_float: case type_percent: {
            double f = cell::get_double(right);
            if (op == math_multiply || op == math_divide) {
                // A quotient by infinity is a plain zero; a product with
                // one has no finite coordinates.
                if (std::isnan(f) || (op == math_multiply && std::isinf(f)))
                    errors::raise(err::script::invalid_arg, right);
                double x = x_of(left), y = y_of(left);
                point_type::make_2d_at(left, float_type::apply_op(x, f, op), float_type::apply_op(y, f, op));
                return;
            }
            bx = by = truncate_coordinate(f, right);
            // Should the result leave the integers, the point arithmetic
            // below works with the whole part too.
            cell::make_integer(right, bx);
            break;
        }
        case type_point2d:
            to_point_at(left, left);
            point_type::do_math(op);
            return;
        default:
            raise_invalid_type(tr);
    }
    int32_t ax = x_of(left), ay = y_of(left);
    if ((op == math_divide || op == math_remainder) && (bx == 0 || by == 0))
        errors::raise(err::math::zero_divide);
    if (overflows(op, ax, bx) || overflows(op, ay, by)) {
        to_point_at(left, left);
        point_type::do_math(op);
        return;
    }
    // Whole components: a quotient is truncated toward zero.
    int32_t x = integer_type::apply_op(op, ax, bx, nullptr);
    int32_t y = integer_type::apply_op(op, ay, by, nullptr);
    make_at(left, x, y);
}

void number_first_math(int32_t op) {
    Cell* left = stack::arg(0);
    Cell* right = stack::arg(1);
    uint8_t tl = cell::type(left), tr = cell::type(right);
    bool integer_left = tl == type_integer;
    // Only the operations whose operands may change places: a number less
    // a pair is also a pair of that number less the pair, but a quotient
    // or remainder of a number by coordinates has no such form.
    if (op == math_divide || op == math_remainder || (op == math_subtract && !integer_left))
        raise_not_related(integer_type::action_slot(op), integer_left ? uint8_t(type_integer) : tr);
    if (op == math_subtract) {
        int32_t n = cell::get_integer(left);
        if (tr == type_pair) make_at(left, n, n);
        else if (tr == type_point2d) point_type::make_2d_at(left, n, n);
        else point_type::make_3d_at(left, n, n, n);
    } else {
        Cell number = *left;
        *left = *right;
        *right = number;
    }
    if (tr == type_pair) do_math(op);
    else point_type::do_math(op);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t tb = cell::type(b);
    bool exact_type = op == op_strict_equal || op == op_same || op == op_find;
    if (tb == type_point2d) {
        if (exact_type) return 1;
        Cell point;
        to_point_at(&point, a);
        return point_type::compare(&point, b, op);
    }
    if (tb != type_pair) return exact_type ? 1 : not_comparable;
    int32_t ax = x_of(a), ay = y_of(a), bx = x_of(b), by = y_of(b);
    if (ax != bx) return ax < bx ? -1 : 1;
    return (ay > by) - (ay < by);
}

void init() {
    Row r(type_pair, "pair!");
    r.set<slot_make>(pair_make)
        .set<slot_random>(pair_random)
        .set<slot_to>(pair_make)
        .set<slot_form>(pair_form)
        .set<slot_mold>(pair_mold)
        .set<slot_eval_path>(pair_path)
        .set<slot_compare>(compare)
        .set<slot_absolute>(pair_absolute)
        .set<slot_add>(pair_math<math_add>)
        .set<slot_divide>(pair_math<math_divide>)
        .set<slot_multiply>(pair_math<math_multiply>)
        .set<slot_negate>(pair_negate)
        .set<slot_remainder>(pair_math<math_remainder>)
        .set<slot_round>(pair_round)
        .set<slot_subtract>(pair_math<math_subtract>)
        .set<slot_and>(pair_math<integer_type::math_and>)
        .set<slot_or>(pair_math<integer_type::math_or>)
        .set<slot_xor>(pair_math<integer_type::math_xor>)
        .set<slot_pick>(pair_pick)
        .set<slot_reverse>(pair_reverse);
    datatype::register_type(r);
}

}  // namespace vum::pair_type
