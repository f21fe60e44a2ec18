// The math and conversion natives: sign and zero tests, max and min, bit
// shifts, hexadecimal digits, trigonometry, logarithms, case conversion,
// percent escapes, local file names and the series retyping of `as`.
//
// Every handler leaves its result in stack::arg(0). Arguments a result is
// computed from are read before that cell is written.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "datatypes/actions.h"
#include "datatypes/base-codecs.h"
#include "datatypes/file-url.h"
#include "datatypes/integer.h"
#include "datatypes/money-currencies.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "engine/natives.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

using stack::arg;

// The constants are written out rather than taken from <cmath> so that the
// results do not depend on how the library rounds its own.
constexpr double pi = 3.141592653589793;
constexpr double ln_2 = 0.6931471805599453;
constexpr double e_constant = 2.718281828459045;
constexpr double snap_limit = 2.220446049250313e-16;  // DBL_EPSILON

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

// script expect-arg: the native's word, the value's datatype, the
// parameter's word.
[[noreturn]] void expect_arg(const Cell* value, const char* parameter) {
    Cell name = stack::frame_name_for_error();
    Cell type = {type_datatype, cell::type(value), 0, 0};
    Cell parameter_word = context::load_word(parameter);
    errors::raise(err::script::expect_arg, &name, &type, &parameter_word);
}

// The kinds whose cells keep a double in words 2 and 3.
bool holds_double(uint8_t t) { return t == type_float || t == type_percent || t == type_time; }

bool is_point(uint8_t t) { return t == type_point2d || t == type_point3d; }
bool is_coordinate(uint8_t t) { return t == type_pair || is_point(t); }

// ---- Sign and zero tests ----

// Every coordinate of a point equal to 0.0 (a NaN is not zero).
bool coordinates_zero(const Cell* point) {
    for (int32_t i = 0, n = point_type::dimensions(cell::type(point)); i < n; i++)
        if (point_type::component(point, i) != 0.0f) return false;
    return true;
}

// -1, 0 or 1 for the number in arg(0); NaN counts as 0.
int32_t sign_of_number() {
    const Cell* value = arg(0);
    uint8_t t = cell::type(value);
    if (t == type_integer) {
        int32_t n = cell::get_integer(value);
        return (n > 0) - (n < 0);
    }
    if (holds_double(t)) {
        double d = cell::get_double(value);
        return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
    }
    if (t == type_money) return money_type::sign_of(value);
    expect_arg(value, "number");
}

void negative_q(const int32_t*) { cell::make_logic(arg(0), sign_of_number() < 0); }

void positive_q(const int32_t*) { cell::make_logic(arg(0), sign_of_number() > 0); }

void sign_q(const int32_t*) { cell::make_integer(arg(0), sign_of_number()); }

void zero_q(const int32_t*) {
    Cell* value = arg(0);
    uint8_t t = cell::type(value);
    bool zero = false;
    if (t == type_integer || t == type_char)
        zero = value->w2 == 0;
    else if (holds_double(t))
        zero = cell::get_double(value) == 0.0;  // false for NaN
    else if (t == type_tuple)
        zero = tuple_type::is_zero(value);
    else if (t == type_pair)
        zero = value->w2 == 0 && value->w3 == 0;
    else if (t == type_point2d || t == type_point3d)
        zero = coordinates_zero(value);
    else if (t == type_money)
        zero = money_type::is_zero(value);
    cell::make_logic(value, zero);
}

bool is_nan_number(const Cell* c) {
    uint8_t t = cell::type(c);
    return (t == type_float || t == type_percent) && std::isnan(cell::get_double(c));
}

// An integer is never a NaN, whatever bits its cell's payload holds.
void nan_q(const int32_t*) { cell::make_logic(arg(0), is_nan_number(arg(0))); }

// ---- max and min ----

bool is_number(uint8_t t) { return t == type_integer || t == type_float || t == type_percent; }

// A tuple against a number (clamped to 0-255) or against a tuple of its
// length, byte by byte; false for any other pair, which compares whole.
bool tuple_max_min(bool max) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    // The number goes second.
    bool swapped = cell::type(a) != type_tuple;
    if (swapped) std::swap(*a, *b);
    uint8_t x[tuple_type::max_length], y[tuple_type::max_length];
    tuple_type::get_bytes(a, x);
    int32_t n = tuple_type::length(a);
    switch (cell::type(b)) {
        case type_integer: {
            int32_t v = cell::get_integer(b);
            std::memset(y, v < 0 ? 0 : v > 255 ? 255 : v, sizeof y);
            break;
        }
        case type_float: case type_percent: {
            double d = cell::get_double(b);
            std::memset(y, std::isnan(d) || d < 0.0 ? 0 : d > 255.0 ? 255 : int32_t(d), sizeof y);
            break;
        }
        case type_tuple:
            if (tuple_type::length(b) != n) return false;
            tuple_type::get_bytes(b, y);
            break;
        default:
            // Put back in the order given for the whole comparison.
            if (swapped) std::swap(*a, *b);
            return false;
    }
    for (int32_t i = 0; i < n; i++) x[i] = max ? std::max(x[i], y[i]) : std::min(x[i], y[i]);
    tuple_type::make_at(a, x, n);
    return true;
}

// pair! and the point types against a number or one another, coordinate by
// coordinate; false for any other pair of values, which compares whole.
bool coordinate_max_min(bool max) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    // The number goes second.
    if (is_number(cell::type(a)) && is_coordinate(cell::type(b))) std::swap(*a, *b);
    uint8_t ta = cell::type(a), tb = cell::type(b);
    if (ta == type_pair && (tb == type_integer || tb == type_float || tb == type_percent)) {
        int32_t n = 0;
        if (tb == type_integer) {
            n = cell::get_integer(b);
        } else {
            // A float beyond the integers makes the pair a point.
            double d = std::trunc(cell::get_double(b));
            if (d >= -2147483648.0 && d <= 2147483647.0) n = int32_t(d);
            else ta = type_point2d;
        }
        if (ta == type_pair) {
            int32_t x = pair_type::x_of(a), y = pair_type::y_of(a);
            pair_type::make_at(a, max ? std::max(x, n) : std::min(x, n), max ? std::max(y, n) : std::min(y, n));
            return true;
        }
        pair_type::to_point_at(a, a);
    } else if (ta == type_pair && tb == type_pair) {
        int32_t x = pair_type::x_of(a), y = pair_type::y_of(a), bx = pair_type::x_of(b), by = pair_type::y_of(b);
        pair_type::make_at(a, max ? std::max(x, bx) : std::min(x, bx), max ? std::max(y, by) : std::min(y, by));
        return true;
    } else if (ta == type_pair && is_point(tb)) {
        pair_type::to_point_at(a, a);
    } else if (tb == type_pair && ta == type_point2d) {
        pair_type::to_point_at(b, b);
    }
    ta = cell::type(a);
    tb = cell::type(b);
    if (!is_point(ta)) return false;
    int32_t n = point_type::dimensions(ta);
    float other[3];
    if (is_number(tb)) {
        other[0] = other[1] = other[2] = point_type::to_float32(cell::type(b) == type_integer
                                                                    ? double(cell::get_integer(b))
                                                                    : cell::get_double(b));
    } else if (tb == ta) {
        for (int32_t i = 0; i < n; i++) other[i] = point_type::component(b, i);
    } else {
        return false;
    }
    // A NaN of the second value replaces the first's coordinate.
    for (int32_t i = 0; i < n; i++) {
        float x = point_type::component(a, i), y = other[i];
        float r = std::isnan(y) ? y : max ? (y > x ? y : x) : (y < x ? y : x);
        point_type::set_component(a, i, double(r));
    }
    return true;
}

void max_min(bool max) {
    Cell* a = arg(0);
    const Cell* b = arg(1);
    uint8_t ta = cell::type(a), tb = cell::type(b);
    // A NaN is no smaller and no greater than any number: it wins, so that
    // it is not silently dropped from a computation.
    if (is_number(ta) && is_number(tb)) {
        if (is_nan_number(a)) return;
        if (is_nan_number(b)) {
            *a = *b;
            return;
        }
    }
    if (is_coordinate(ta) || is_coordinate(tb)) {
        if (coordinate_max_min(max)) return;
    }
    if (ta == type_tuple || tb == type_tuple) {
        if (tuple_max_min(max)) return;
    }
    // Ties keep the first value.
    if (actions::compare(a, b, max ? actions::op_lesser : actions::op_greater)) *a = *b;
}

void max_native(const int32_t*) { max_min(true); }

void min_native(const int32_t*) { max_min(false); }

// ---- Bits and digits ----

void shift_native(const int32_t* refinements) {
    using integer_type::Shift;
    Shift kind = used(refinements, refine::shift::left)      ? Shift::left
                 : used(refinements, refine::shift::logical) ? Shift::logical
                                                             : Shift::right;
    cell::make_integer(arg(0), integer_type::shift(cell::get_integer(arg(0)), cell::get_integer(arg(1)), kind));
}

void to_hex_native(const int32_t* refinements) {
    int32_t n = cell::get_integer(arg(0));
    int32_t keep = 8;
    if (used(refinements, refine::to_hex::size)) {
        const Cell* length = arg(refinements[refine::to_hex::size]);
        keep = cell::get_integer(length);
        if (keep < 1) errors::raise(err::script::invalid_arg, length);
        if (keep > 8) keep = 8;
    }
    char digits[9];
    std::memcpy(digits, string::to_hex_text(n, false), 9);
    int32_t symbol = symbols::make(digits + 8 - keep);
    issue::make_at(symbol, arg(0));
}

// ---- Trigonometry, logarithms, powers ----

// The argument as a double; the cell becomes a float! (the result's type).
double float_argument(Cell* c) {
    double d = cell::type(c) == type_integer ? double(cell::get_integer(c)) : cell::get_double(c);
    cell::make_float(c, d);
    return d;
}

enum AngleKind { angle_sine, angle_cosine, angle_tangent };

// Degrees to radians. The angle is first brought into -180..180 and, for
// sine and tangent, into -90..90, where the function takes the same value:
// the multiples of 90 degrees then land on angles whose results come out
// exact (or within the snap limit) instead of carrying the rounding error
// of a large argument.
double to_radians(double a, AngleKind kind) {
    a = std::fmod(a, 360.0);
    if (a > 180.0 || a < -180.0) a += a < 0.0 ? 360.0 : -360.0;
    if (a > 90.0 || a < -90.0) {
        if (kind == angle_tangent)
            a += a < 0.0 ? 180.0 : -180.0;
        else if (kind == angle_sine)
            a = a >= 0.0 ? 180.0 - a : -180.0 - a;
    }
    return a * pi / 180.0;
}

double snap(double r) { return std::fabs(r) < snap_limit ? 0.0 : r; }

void sine_native(const int32_t* refinements) {
    double a = float_argument(arg(0));
    if (!used(refinements, refine::sine::radians)) a = to_radians(a, angle_sine);
    cell::make_float(arg(0), snap(std::sin(a)));
}

void cosine_native(const int32_t* refinements) {
    double a = float_argument(arg(0));
    if (!used(refinements, refine::cosine::radians)) a = to_radians(a, angle_cosine);
    cell::make_float(arg(0), snap(std::cos(a)));
}

void tangent_native(const int32_t* refinements) {
    double a = float_argument(arg(0));
    if (!used(refinements, refine::tangent::radians)) a = to_radians(a, angle_tangent);
    double r = a == pi / 2 ? HUGE_VAL : a == -pi / 2 ? -HUGE_VAL : std::tan(a);
    cell::make_float(arg(0), r);
}

// The arc functions' /radians.
static_assert(refine::arccosine::radians == refine::arcsine::radians &&
              refine::arctangent::radians == refine::arcsine::radians &&
              refine::arctangent2::radians == refine::arcsine::radians);
double to_degrees(double r, const int32_t* refinements) {
    return used(refinements, refine::arcsine::radians) ? r : r * 180.0 / pi;
}

void arcsine_native(const int32_t* refinements) {
    cell::make_float(arg(0), to_degrees(std::asin(float_argument(arg(0))), refinements));
}

void arccosine_native(const int32_t* refinements) {
    cell::make_float(arg(0), to_degrees(std::acos(float_argument(arg(0))), refinements));
}

void arctangent_native(const int32_t* refinements) {
    cell::make_float(arg(0), to_degrees(std::atan(float_argument(arg(0))), refinements));
}

// y x: the result goes to the result slot (y's cell), like every native's.
void arctangent2_native(const int32_t* refinements) {
    double y = float_argument(arg(0));
    double x = float_argument(arg(1));
    cell::make_float(arg(0), to_degrees(std::atan2(y, x), refinements));
}

// The library's results stand as they are: a logarithm of 0 is -infinity,
// of a negative number NaN, like the other float arithmetic.
void log_2_native(const int32_t*) { cell::make_float(arg(0), std::log(float_argument(arg(0))) / ln_2); }

void log_10_native(const int32_t*) { cell::make_float(arg(0), std::log10(float_argument(arg(0)))); }

void log_e_native(const int32_t*) { cell::make_float(arg(0), std::log(float_argument(arg(0)))); }

void exp_native(const int32_t*) { cell::make_float(arg(0), std::pow(e_constant, float_argument(arg(0)))); }

void square_root_native(const int32_t*) { cell::make_float(arg(0), std::sqrt(float_argument(arg(0)))); }

// ---- Text ----

// uppercase and lowercase: in place, from the head, at most the /part
// limit (a count, or a position in the same series).
static_assert(refine::lowercase::part == refine::uppercase::part);
void convert_case(const int32_t* refinements, int upper) {
    const Cell* part = nullptr;
    if (used(refinements, refine::uppercase::part)) {
        part = arg(refinements[refine::uppercase::part]);
        const Cell* value = arg(0);
        bool position = cell::type(part) == cell::type(value) && part->w2 == value->w2;
        if (cell::type(part) != type_integer && !position) errors::raise_refine_arg("part", part);
    }
    case_map::convert_value(arg(0), part, upper);
}

void uppercase_native(const int32_t* refinements) { convert_case(refinements, 1); }

void lowercase_native(const int32_t* refinements) { convert_case(refinements, 0); }

// A new string! built from arg(0) by `fill`, which receives the source cell
// (a stable stack cell) and the new string's node.
template <class Fill>
void new_string_from_arg(Fill fill) {
    gc::Local out(string::make_cell(string::length_from_head(arg(0)) + 1));
    fill(arg(0), out.w2);
    *arg(0) = out;
}

void dehex_native(const int32_t*) {
    new_string_from_arg([](const Cell* source, uint32_t node) { file_url::decode_string(source, node); });
}

// A string! is escaped as a URL component (with "/" and ":"); the locator
// kinds keep what a URL may hold as it is.
void enhex_native(const int32_t*) {
    int32_t mode = cell::type(arg(0)) == type_string ? file_url::mode_unreserved : file_url::mode_url;
    new_string_from_arg([mode](const Cell* source, uint32_t node) { file_url::encode_string(source, node, mode); });
}

void to_local_file_native(const int32_t* refinements) {
    bool full = used(refinements, refine::to_local_file::full);
    new_string_from_arg([full](const Cell* source, uint32_t node) { file_url::to_local_path(source, node, full); });
}

// ---- as ----

bool block_like(uint8_t t) {
    return t == type_block || t == type_paren || t == type_path || t == type_lit_path || t == type_set_path ||
           t == type_get_path;
}

bool string_like(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

void as_native(const int32_t*) {
    const Cell* type = arg(0);
    Cell spec = *arg(1);
    uint8_t target = cell::type(type) == type_datatype ? uint8_t(type->w1) : cell::type(type);
    uint8_t from = cell::type(&spec);
    bool same_class = (block_like(target) && block_like(from)) || (string_like(target) && string_like(from));
    if (!same_class) {
        Cell from_type = {type_datatype, from, 0, 0};
        Cell to_type = {type_datatype, target, 0, 0};
        errors::raise(err::script::not_same_class, &from_type, &to_type);
    }
    // Every block and text type is registered at start-up; should one not
    // be (a partial start-up), no cell that nothing can handle is made.
    if (!datatype::is_registered(target)) {
        Cell to_type = {type_datatype, target, 0, 0};
        errors::raise(err::script::invalid_type, &to_type);
    }
    cell::set_type(&spec, target);
    *arg(0) = spec;
}

// ---- Coordinates ----

int32_t pair_coordinate(const Cell* c) {
    if (cell::type(c) == type_integer) return cell::get_integer(c);
    return pair_type::truncate_coordinate(cell::get_double(c), c);
}

double point_coordinate(const Cell* c) {
    return cell::type(c) == type_integer ? double(cell::get_integer(c)) : cell::get_double(c);
}

void as_pair_native(const int32_t*) {
    int32_t x = pair_coordinate(arg(0));
    int32_t y = pair_coordinate(arg(1));
    pair_type::make_at(arg(0), x, y);
}

void as_point2d_native(const int32_t*) {
    point_type::make_2d_at(arg(0), point_coordinate(arg(0)), point_coordinate(arg(1)));
}

void as_point3d_native(const int32_t*) {
    point_type::make_3d_at(arg(0), point_coordinate(arg(0)), point_coordinate(arg(1)), point_coordinate(arg(2)));
}

// ---- Bases ----

void enbase_native(const int32_t* refinements) {
    binary::enbase(arg(0), used(refinements, refine::enbase::base) ? arg(refinements[refine::enbase::base]) : nullptr,
                   arg(0));
}

void debase_native(const int32_t* refinements) {
    binary::debase(arg(0), used(refinements, refine::debase::base) ? arg(refinements[refine::debase::base]) : nullptr,
                   arg(0));
}

// ---- Money ----

// A currency of the currency list and an amount; floats convert only when
// exact to five places.
void as_money_native(const int32_t*) {
    int32_t currency = money_type::currencies::find_word(arg(0));
    if (currency < 0) errors::raise(err::script::bad_denom, arg(0));
    const Cell* amount = arg(1);
    Cell money;
    if (cell::type(amount) == type_integer) money_type::from_integer(&money, cell::get_integer(amount));
    else money_type::from_float(&money, cell::get_double(amount), true);
    money_type::Amount a = money_type::amount_of(&money);
    a.currency = uint8_t(currency);
    money_type::make_at(arg(0), a);
}

}  // namespace

void register_math_natives() {
    set_native(native::dehex, dehex_native);
    set_native(native::enhex, enhex_native);
    set_native(native::negative_q, negative_q);
    set_native(native::positive_q, positive_q);
    set_native(native::max, max_native);
    set_native(native::min, min_native);
    set_native(native::shift, shift_native);
    set_native(native::to_hex, to_hex_native);
    set_native(native::sine, sine_native);
    set_native(native::cosine, cosine_native);
    set_native(native::tangent, tangent_native);
    set_native(native::arcsine, arcsine_native);
    set_native(native::arccosine, arccosine_native);
    set_native(native::arctangent, arctangent_native);
    set_native(native::arctangent2, arctangent2_native);
    set_native(native::nan_q, nan_q);
    set_native(native::log_2, log_2_native);
    set_native(native::log_10, log_10_native);
    set_native(native::log_e, log_e_native);
    set_native(native::exp, exp_native);
    set_native(native::square_root, square_root_native);
    set_native(native::uppercase, uppercase_native);
    set_native(native::lowercase, lowercase_native);
    set_native(native::as_pair, as_pair_native);
    set_native(native::as_point2d, as_point2d_native);
    set_native(native::as_point3d, as_point3d_native);
    set_native(native::as_money, as_money_native);
    set_native(native::debase, debase_native);
    set_native(native::to_local_file, to_local_file_native);
    set_native(native::enbase, enbase_native);
    set_native(native::sign_q, sign_q);
    set_native(native::as, as_native);
    set_native(native::zero_q, zero_q);
}

}  // namespace vum::natives
