#include "datatypes/point.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/actions.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/collector.h"
#include "memory/hash-table.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::point_type {

namespace {

using namespace actions;

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

uint32_t& word_of(Cell* c, int32_t i) { return i == 0 ? c->w1 : i == 1 ? c->w2 : c->w3; }
uint32_t word_of(const Cell* c, int32_t i) { return i == 0 ? c->w1 : i == 1 ? c->w2 : c->w3; }

[[noreturn]] void raise_invalid_type(uint8_t t) {
    Cell type = cell::make_datatype(t);
    errors::raise(err::script::invalid_type, &type);
}

// The coordinates of a block spec: the first two or three values from its
// position, each an integer! or a float!.
void from_block(const Cell* spec, int32_t n, double* v) {
    if (series::length_from_head(spec) < n) errors::raise(err::syntax::malconstruct, spec);
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    for (int32_t i = 0; i < n; i++) {
        uint8_t t = cell::type(items + i);
        if (t != type_integer && t != type_float) errors::raise(err::syntax::malconstruct, spec);
        v[i] = float_type::number_of(items + i);
    }
}

// A text spec is read by the loader, which makes the point itself.
void from_text(const Cell* spec, uint8_t target, Cell* result) {
    std::string text = string::to_utf8(spec);
    gc::Local loaded({type_none, 0, 0, 0});
    if (!services::current.load_first_value(text.data(), int32_t(text.size()), &loaded) ||
        cell::type(&loaded) != target)
        errors::raise_bad_to(target, spec);
    cell::clear_new_line(&loaded);
    *result = loaded;
}

void point_make(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    uint8_t target = type == type_point3d ? uint8_t(type_point3d) : uint8_t(type_point2d);
    int32_t n = dimensions(target);
    double v[3] = {0, 0, 0};
    uint8_t t = cell::type(spec);
    switch (t) {
        case type_block: case type_paren: case type_hash:
            from_block(spec, n, v);
            break;
        case type_string:
            from_text(spec, target, result);
            return;
        case type_integer: case type_float:
            v[0] = v[1] = v[2] = float_type::number_of(spec);
            break;
        case type_pair:
            v[0] = pair_type::x_of(spec);
            v[1] = pair_type::y_of(spec);
            break;
        case type_point2d: case type_point3d:
            if (t == type_point3d && target == type_point2d) errors::raise_bad_to(target, spec);
            // Copied word for word: a value made from itself keeps its bits.
            *result = {target, spec->w1, spec->w2, t == type_point3d ? spec->w3 : 0};
            return;
        default:
            errors::raise_bad_to(target, spec);
    }
    if (n == 2) make_2d_at(result, v[0], v[1]);
    else make_3d_at(result, v[0], v[1], v[2]);
}

void point_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    int32_t n = dimensions(cell::type(value));
    if (seed) {
        uint32_t words[3] = {value->w1, value->w2, value->w3};
        integer_type::random_seed(hashtable::murmur3(words, 4 * n));
        cell::make_unset(result);
        return;
    }
    Cell out = *value;
    for (int32_t i = 0; i < n; i++) {
        float f = component(value, i);
        if (f != 0) set_component(&out, i, float_type::random_up_to(double(f), secure));
    }
    *result = out;
}

std::string text_of(const Cell* value) {
    std::string text = "(";
    for (int32_t i = 0, n = dimensions(cell::type(value)); i < n; i++) {
        if (i) text += ", ";
        text += float_type::to_text(double(component(value, i)), float_type::kind_point);
    }
    return text + ")";
}

int32_t point_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value).c_str(), arg, limit);
}

int32_t point_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return point_form(value, buffer, arg, limit);
}

// 0, 1 or 2 for a word spelled x, y or z (z for point3D! only), else -1.
int32_t field_of_word(const Cell* word, int32_t n) {
    using runtime_symbols::id;
    int32_t symbol = symbols::resolve(int32_t(word->w2));
    if (symbol == symbols::resolve(id(runtime_symbols::sym_x))) return 0;
    if (symbol == symbols::resolve(id(runtime_symbols::sym_y))) return 1;
    if (n == 3 && symbol == symbols::resolve(id(runtime_symbols::sym_z))) return 2;
    return -1;
}

// The 0-based component an index names, or -1.
int32_t field_of_index(const Cell* index, int32_t n) {
    int32_t k = cell::get_integer(index);
    return k >= 1 && k <= n ? k - 1 : -1;
}

void point_path(const PathStep& step, Cell* result) {
    Cell* parent = const_cast<Cell*>(step.parent);
    int32_t n = dimensions(cell::type(parent));
    uint8_t te = cell::type(step.element);
    int32_t field = te == type_integer ? field_of_index(step.element, n)
                    : is_word_kind(te)  ? field_of_word(step.element, n)
                                        : -1;
    if (field < 0) {
        const Cell* where = step.path ? step.path : step.parent;
        errors::raise(err::script::invalid_path, where, step.element);
    }
    if (!step.value) {
        cell::make_float(result, double(component(parent, field)));
        return;
    }
    Cell v = *step.value;
    uint8_t tv = cell::type(&v);
    if (tv != type_integer && tv != type_float) raise_invalid_type(tv);
    // The point is held in its cell: the path evaluator stores the changed
    // parent back where it came from.
    set_component(parent, field, float_type::number_of(&v));
    *result = v;
    actions::field_set(step, &v);
}

void point_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    uint8_t t = cell::type(value);
    int32_t n = dimensions(t);
    uint8_t ti = cell::type(index);
    int32_t field = -1;
    if (ti == type_integer) {
        field = field_of_index(index, n);
    } else if (is_word_kind(ti)) {
        field = field_of_word(index, n);
        if (field < 0) {
            Cell type = cell::make_datatype(t);
            errors::raise(err::script::cannot_use, index, &type);
        }
    }
    if (field < 0) errors::raise(err::script::out_of_range, index);
    cell::make_float(result, double(component(value, field)));
}

void point_absolute() {
    Cell* v = stack::arg(0);
    for (int32_t i = 0, n = dimensions(cell::type(v)); i < n; i++) word_of(v, i) &= 0x7FFFFFFFu;
}

// 0 - x, as float! negates: a zero stays a positive zero.
void point_negate() {
    Cell* v = stack::arg(0);
    for (int32_t i = 0, n = dimensions(cell::type(v)); i < n; i++) set_component(v, i, 0.0 - double(component(v, i)));
}

template <int32_t Op>
void point_math() {
    do_math(Op);
}

void point_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                 bool half_ceiling, Cell* result) {
    Cell v = *value;
    uint8_t t = cell::type(&v);
    int32_t n = dimensions(t);
    double scales[3] = {1, 1, 1};
    if (scale) {
        uint8_t ts = cell::type(scale);
        if (ts == type_money) {
            Cell name = actions::word(slot_round), money = cell::make_datatype(type_money);
            errors::raise(err::script::not_related, &name, &money);
        }
        if (ts == type_integer || ts == type_float || ts == type_percent) {
            scales[0] = scales[1] = scales[2] = float_type::number_of(scale);
        } else if (ts == t) {
            for (int32_t i = 0; i < n; i++) scales[i] = double(component(scale, i));
        } else if (ts == type_pair && t == type_point2d) {
            scales[0] = pair_type::x_of(scale);
            scales[1] = pair_type::y_of(scale);
        } else {
            errors::raise(err::script::invalid_arg, scale);
        }
    }
    for (int32_t i = 0; i < n; i++) {
        Cell s, rounded;
        cell::make_float(&s, scales[i]);
        float_type::round_value(double(component(&v, i)), type_float, scale ? &s : nullptr, even, down, half_down,
                                floor, ceiling, half_ceiling, &rounded);
        set_component(&v, i, cell::get_double(&rounded));
    }
    *result = v;
}

// point2D! swaps x and y, point3D! x and z.
void point_reverse(Cell* value, const Cell*, const Cell*, Cell* result) {
    Cell v = *value;
    if (cell::type(&v) == type_point3d) std::swap(v.w1, v.w3);
    else std::swap(v.w1, v.w2);
    *result = v;
}

// Single-precision near-equality: the float32 twin of float!'s tolerance.
bool near(float a, float b) { return float_type::almost_equal32(a, b); }

}  // namespace

float to_float32(double d) {
    if (std::isnan(d)) return std::nanf("");
    if (d > double(FLT_MAX)) return HUGE_VALF;
    if (d < -double(FLT_MAX)) return -HUGE_VALF;
    return float(d);
}

float component(const Cell* c, int32_t i) {
    uint32_t bits = word_of(c, i);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void set_component(Cell* c, int32_t i, double value) { word_of(c, i) = bits_of(to_float32(value)); }

Cell* make_2d_at(Cell* c, double x, double y) {
    *c = {type_point2d, bits_of(to_float32(x)), bits_of(to_float32(y)), 0};
    return c;
}

Cell* make_3d_at(Cell* c, double x, double y, double z) {
    *c = {type_point3d, bits_of(to_float32(x)), bits_of(to_float32(y)), bits_of(to_float32(z))};
    return c;
}

Cell* push_2d(double x, double y) { return make_2d_at(stack::push_cell(), x, y); }
Cell* push_3d(double x, double y, double z) { return make_3d_at(stack::push_cell(), x, y, z); }
void push_new_2d(uint32_t block, double x, double y) { make_2d_at(series::alloc_tail_cell(block), x, y); }
void push_new_3d(uint32_t block, double x, double y, double z) {
    make_3d_at(series::alloc_tail_cell(block), x, y, z);
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    uint8_t tl = cell::type(left), tr = cell::type(right);
    int32_t n = dimensions(tl);
    if (op < integer_type::math_add || op > integer_type::math_remainder) {
        Cell name = actions::word(integer_type::action_slot(op)), type = cell::make_datatype(tl);
        errors::raise(err::script::cannot_use, &name, &type);
    }
    double b[3];
    if (tr == type_integer || tr == type_float || tr == type_percent) {
        b[0] = b[1] = b[2] = float_type::number_of(right);
    } else if (tr == tl) {
        for (int32_t i = 0; i < n; i++) b[i] = double(component(right, i));
    } else if (tr == type_pair && tl == type_point2d) {
        b[0] = pair_type::x_of(right);
        b[1] = pair_type::y_of(right);
    } else {
        raise_invalid_type(tr);
    }
    cell::make_header(left, tl);
    for (int32_t i = 0; i < n; i++)
        set_component(left, i, float_type::apply_op(double(component(left, i)), b[i], op));
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t ta = cell::type(a), tb = cell::type(b);
    bool exact_type = op == op_strict_equal || op == op_same || op == op_find;
    int32_t n = dimensions(ta);
    float x[3], y[3];
    for (int32_t i = 0; i < n; i++) x[i] = component(a, i);
    if (tb == ta) {
        for (int32_t i = 0; i < n; i++) y[i] = component(b, i);
    } else if (tb == type_pair && ta == type_point2d) {
        if (exact_type) return 1;
        y[0] = float(pair_type::x_of(b));
        y[1] = float(pair_type::y_of(b));
    } else {
        return exact_type ? 1 : not_comparable;
    }
    switch (op) {
        case op_same:
            for (int32_t i = 0; i < n; i++)
                if (bits_of(x[i]) != bits_of(y[i])) return 1;
            return 0;
        case op_strict_equal: case op_find:
            for (int32_t i = 0; i < n; i++)
                if (!(x[i] == y[i])) return 1;
            return 0;
        case op_equal: case op_not_equal: case op_equal_path_10: case op_equal_path_11:
            for (int32_t i = 0; i < n; i++)
                if (!near(x[i], y[i])) return 1;
            return 0;
        default:
            break;
    }
    for (int32_t i = 0; i < n; i++) {
        if (near(x[i], y[i])) continue;
        bool nx = std::isnan(x[i]), ny = std::isnan(y[i]);
        if (nx && ny) continue;
        if (nx || ny) {
            switch (op) {
                case op_lesser: case op_lesser_equal: return 1;
                case op_greater: case op_greater_equal: return -1;
                // Sorting needs a total order: NaNs go after every number.
                default: return nx ? 1 : -1;
            }
        }
        return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

void init() {
    for (uint8_t type : {type_point2d, type_point3d}) {
        Row r(type, type == type_point2d ? "point2D!" : "point3D!");
        r.set<slot_make>(point_make)
            .set<slot_random>(point_random)
            .set<slot_to>(point_make)
            .set<slot_form>(point_form)
            .set<slot_mold>(point_mold)
            .set<slot_eval_path>(point_path)
            .set<slot_compare>(compare)
            .set<slot_absolute>(point_absolute)
            .set<slot_add>(point_math<integer_type::math_add>)
            .set<slot_divide>(point_math<integer_type::math_divide>)
            .set<slot_multiply>(point_math<integer_type::math_multiply>)
            .set<slot_negate>(point_negate)
            .set<slot_remainder>(point_math<integer_type::math_remainder>)
            .set<slot_round>(point_round)
            .set<slot_subtract>(point_math<integer_type::math_subtract>)
            .set<slot_pick>(point_pick)
            .set<slot_reverse>(point_reverse);
        datatype::register_type(r);
    }
}

}  // namespace vum::point_type
