#include "datatypes/float.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/float-text.h"
#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "datatypes/money-math.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "datatypes/tuple.h"
#include "datatypes/random.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::float_type {

bool pretty = false;
bool full = false;

namespace {

using namespace actions;

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

bool is_number_type(uint8_t t) {
    return t == type_integer || t == type_char || t == type_float || t == type_percent || t == type_time;
}

bool is_text_type(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

// Doubles mapped to integers that order like them: negative values by
// two's-complement negation, the others with the top bit set. -0.0 and 0.0
// meet at the same point.
uint64_t ordered(double x) {
    uint64_t b = bits_of(x);
    return b >> 63 ? 0 - b : b | 1ULL << 63;
}

uint32_t ordered32(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b >> 31 ? 0 - b : b | 1u << 31;
}

// A float text read the way number literals are: a comma is a decimal point
// and apostrophes group digits. False when the text is not wholly a number.
bool scan_float(const std::string& text, double* out) {
    std::string cleaned;
    bool digit = false;
    for (char c : text) {
        if (c == '\'') continue;
        if (c >= '0' && c <= '9') digit = true;
        cleaned += c == ',' ? '.' : c;
    }
    if (!digit) return false;
    int unconsumed = 0;
    double d = floats::parse_text(cleaned.data(), cleaned.data() + cleaned.size(), 0, &unconsumed);
    if (unconsumed != 0) return false;
    *out = d;
    return true;
}

// [mantissa exponent] of integers or floats.
double from_block(uint8_t target, const Cell* spec) {
    if (series::length_from_head(spec) != 2) errors::raise_bad_to(target, spec);
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    for (int i = 0; i < 2; i++) {
        uint8_t t = cell::type(items + i);
        if (t != type_integer && t != type_float) errors::raise_bad_to(target, spec);
    }
    double mantissa = number_of(items), exponent = std::trunc(number_of(items + 1));
    return mantissa * std::pow(10.0, exponent);
}

double from_binary(const Cell* spec) {
    SeriesBuffer* b = nodes::buffer(spec->w2);
    int32_t length = int32_t(b->tail - b->head) - int32_t(spec->w1);
    const uint8_t* bytes = b->head_ptr() + spec->w1;
    uint64_t pattern = 0;
    for (int32_t i = 0; i < length && i < 8; i++) pattern = pattern << 8 | bytes[i];
    return from_bits(pattern);
}

void float_to(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    uint8_t target = type == type_percent ? type_percent : type_float;
    uint8_t t = cell::type(spec);
    double x = 0;
    switch (t) {
        case type_block: case type_paren: case type_hash:
            x = from_block(target, spec);
            break;
        case type_char:
            x = double(spec->w2);
            break;
        case type_integer:
            x = double(cell::get_integer(spec));
            break;
        case type_float: case type_percent: case type_time:
            x = cell::get_double(spec);
            break;
        case type_binary:
            x = from_binary(spec);
            break;
        case type_money:
            x = money_type::to_float(spec);
            break;
        default:
            // percent! reads its text through the loader, which knows "%".
            if (!is_text_type(t) || target == type_percent || !scan_float(string::to_utf8(spec), &x))
                errors::raise_bad_to(target, spec);
    }
    cell::make_header(result, target);
    cell::set_double(result, x);
}

void float_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        integer_type::random_seed(value->w2 ^ value->w3);
        cell::make_unset(result);
        return;
    }
    Cell out = *value;
    cell::set_double(&out, random_up_to(cell::get_double(value), secure));
    *result = out;
}

int32_t float_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, to_text(cell::get_double(value), kind_double), arg, limit);
}

int32_t float_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return integer_type::append_limited(buffer, floats::form_text(cell::get_double(value), 0, 1), arg, limit);
}

void float_absolute() {
    Cell* v = stack::arg(0);
    cell::set_double(v, from_bits(bits_of(cell::get_double(v)) & ~(1ULL << 63)));
}

void float_negate() {
    Cell* v = stack::arg(0);
    cell::set_double(v, 0.0 - cell::get_double(v));
}

template <int32_t Op>
void float_math() {
    do_math(Op);
}

// The parity of the whole part; infinities and NaN have none.
int32_t parity(double x) {
    if (!std::isfinite(x)) return -1;
    return std::fmod(std::trunc(x), 2.0) == 0.0 ? 0 : 1;
}
bool float_even(const Cell* value) { return parity(cell::get_double(value)) == 0; }
bool float_odd(const Cell* value) { return parity(cell::get_double(value)) == 1; }

void float_power() {
    Cell* base = stack::arg(0);
    const Cell* exponent = stack::arg(1);
    integer_type::check_power_exponent(exponent);
    cell::set_double(base, std::pow(cell::get_double(base), number_of(exponent)));
}

void float_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
                 bool ceiling, bool half_ceiling, Cell* result) {
    round_value(cell::get_double(value), cell::type(value), scale, even, down, half_down, floor, ceiling,
                half_ceiling, result);
}

// The rounded quotient of round.
double round_quotient(double f, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    double t = std::fabs(f), low = std::floor(t), midpoint = low + 0.5;
    if (down) return std::copysign(low, f);
    if (floor) return std::floor(f);
    if (ceiling) return std::ceil(f);
    if (t > midpoint) return std::copysign(std::ceil(t), f);
    if (t < midpoint) return std::copysign(low, f);
    if (even) return std::copysign(std::fmod(t, 2.0) >= 1.0 ? std::ceil(t) : low, f);
    if (half_down) return std::copysign(low, f);
    if (half_ceiling) return std::ceil(f);
    return std::copysign(std::ceil(t), f);
}

double round_by(double x, double scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                bool half_ceiling) {
    if (scale == 0.0 || std::fabs(x) * 0x1p-53 > scale) return x;
    if (scale < 0x1p-1021) {
        // The inverse of a subnormal scale overflows: round on its mantissa
        // with the value brought up by the scale's exponent, then back down.
        int exponent = 0;
        double mantissa = std::frexp(scale, &exponent);
        double r = round_by(std::ldexp(x, -exponent), mantissa, even, down, half_down, floor, ceiling, half_ceiling);
        return std::ldexp(r, exponent);
    }
    if (scale >= 1.0) {
        double d = round_quotient(x / scale, even, down, half_down, floor, ceiling, half_ceiling);
        double r = d * scale;
        if (std::isfinite(x) && (std::fabs(r) == DBL_MAX || std::isinf(r)))
            errors::raise(err::math::overflow);
        return r;
    }
    double inverse = 1.0 / scale;
    return round_quotient(x * inverse, even, down, half_down, floor, ceiling, half_ceiling) / inverse;
}

}  // namespace

const char* to_text(double x, int32_t kind) {
    static char buffer[48];
    if (std::isnan(x)) return "1.#NaN";
    if (std::isinf(x)) return x < 0 ? "-1.#INF" : "1.#INF";
    bool percent = kind == kind_float32_percent || kind == kind_percent;
    if (pretty && std::fabs(x) < epsilon) return percent ? "0%" : kind == kind_point ? "0" : "0.0";
    auto format = [&](int32_t digits) {
        if (digits == 0)
            std::snprintf(buffer, sizeof buffer, "%s", floats::form_text(x, 6, 0));
        else
            std::snprintf(buffer, sizeof buffer, "%.*g", digits, x);
    };
    int32_t digits = kind == kind_seconds ? 0
                     : kind == kind_float32 || kind == kind_float32_percent || kind == kind_point ? 7
                     : kind == kind_percent ? 13
                                            : 16;
    format(digits);
    if (pretty) {
        // Binary noise at the end of a long text ("...0001", "...9999") is
        // formatted away once with fewer digits.
        const char* e = std::strchr(buffer, 'e');
        size_t body = e ? size_t(e - buffer) : std::strlen(buffer);
        const char* first = buffer[0] == '-' ? buffer + 1 : buffer;
        size_t longest = !e && first[0] == '0' ? 17 : 16;
        if (body > longest && body >= 2) {
            const char* tail = buffer + body - 2;
            if (!std::strncmp(tail, "01", 2) || !std::strncmp(tail, "99", 2))
                format(kind == kind_float32 || kind == kind_seconds || kind == kind_point ? 5 : 14);
        }
    }
    // The C library's exponent "e+020" or "e-07" becomes "e20" or "e-7".
    if (char* e = std::strchr(buffer, 'e')) {
        char* out = e + 1;
        const char* in = e + 1;
        if (*in == '+') in++;
        else if (*in == '-') *out++ = *in++;
        while (in[0] == '0' && in[1]) in++;
        std::memmove(out, in, std::strlen(in) + 1);
    }
    size_t length = std::strlen(buffer);
    if (percent) {
        buffer[length] = '%';
        buffer[length + 1] = 0;
    } else if (kind != kind_seconds && kind != kind_point && !std::strchr(buffer, '.')) {
        char* e = std::strchr(buffer, 'e');
        size_t at = e ? size_t(e - buffer) : length;
        std::memmove(buffer + at + 2, buffer + at, length - at + 1);
        buffer[at] = '.';
        buffer[at + 1] = '0';
    }
    return buffer;
}

bool is_nan(double x) { return std::isnan(x); }
bool is_special(double x) { return !std::isfinite(x); }

bool almost_equal(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    // An infinity is not near the largest finite double, however few steps
    // lie between their bit patterns.
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < epsilon) return true;
    uint64_t x = ordered(a), y = ordered(b);
    uint64_t distance = x > y ? x - y : y - x;
    uint32_t hx = uint32_t(x >> 32), hy = uint32_t(y >> 32);
    uint32_t high_distance = hx > hy ? hx - hy : hy - hx;
    return high_distance <= 1 && distance <= 10;
}

bool almost_equal32(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    auto at_limit = [](float x) { return std::isinf(x) || std::fabs(x) == FLT_MAX; };
    if (!at_limit(a) && !at_limit(b)) {
        if (a == 0 && b == 0) return true;
        uint32_t x = ordered32(a), y = ordered32(b);
        return (x > y ? x - y : y - x) <= 10;
    }
    if (std::signbit(a) != std::signbit(b)) return false;
    uint32_t ma, mb;
    float fa = std::fabs(a), fb = std::fabs(b);
    std::memcpy(&ma, &fa, sizeof ma);
    std::memcpy(&mb, &fb, sizeof mb);
    return (ma > mb ? ma - mb : mb - ma) < 0x100000;
}

double apply_op(double a, double b, int32_t op) {
    switch (op) {
        case integer_type::math_add: return a + b;
        case integer_type::math_subtract: return a - b;
        case integer_type::math_multiply: return a * b;
        case integer_type::math_divide: return a / b;
        case integer_type::math_remainder:
            if (std::isnan(b)) return b;
            if (std::isinf(b)) return std::isfinite(a) ? a : std::nan("");
            return std::fmod(a, b);
        default: {
            int32_t slot = op == integer_type::math_or ? slot_or : op == integer_type::math_and ? slot_and : slot_xor;
            Cell name = word(slot), type = cell::make_datatype(type_float);
            errors::raise(err::script::cannot_use, &name, &type);
        }
    }
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    uint8_t tl = cell::type(left), tr = cell::type(right);
    if (tr == type_tuple) return tuple_type::do_math(op);
    if ((tr == type_pair || tr == type_point2d || tr == type_point3d) && tl != type_time)
        return pair_type::number_first_math(op);
    if (tr == type_vector && tl != type_time) return vector_type::math_with_number_first(op);
    if (tr == type_money) return money_type::do_math(op);
    if (!is_number_type(tr) || (tr == type_char && (tl == type_time || tl == type_percent))) {
        Cell type = cell::make_datatype(tr);
        errors::raise(err::script::invalid_type, &type);
    }
    double a = number_of(left), b = number_of(right);
    if (tl == type_integer) tl = type_float;
    uint8_t type = tl;
    if ((tl == type_time) != (tr == type_time)) type = type_time;
    else if (tl == type_percent && tr != type_percent) type = type_percent;
    double x = apply_op(a, b, op);
    cell::make_header(left, type);
    cell::set_double(left, x);
}

void round_value(double x, uint8_t type, const Cell* scale, bool even, bool down, bool half_down, bool floor,
                 bool ceiling, bool half_ceiling, Cell* result) {
    double s = type == type_percent ? 0.01 : 1.0;
    uint8_t result_type = type;
    if (scale) {
        uint8_t ts = cell::type(scale);
        if (ts == type_money) {
            Cell name = word(slot_round), money = cell::make_datatype(type_money);
            errors::raise(err::script::not_related, &name, &money);
        }
        if (ts != type_integer && ts != type_float && ts != type_percent && ts != type_time)
            errors::raise(err::script::invalid_arg, scale);
        s = std::fabs(number_of(scale));
        if (type == type_percent) s /= 100.0;
        result_type = ts;
        // An integer scale of 0 rounds nothing: the value keeps its type.
        if (ts == type_integer && s == 0.0) result_type = type;
    }
    double r = round_by(x, s, even, down, half_down, floor, ceiling, half_ceiling);
    if (result_type == type_integer) {
        if (!(r >= -2147483648.0 && r <= 2147483647.0)) errors::raise(err::math::overflow);
        cell::make_integer(result, int32_t(r));
        return;
    }
    cell::make_header(result, result_type);
    cell::set_double(result, r);
}

double random_up_to(double x, bool secure) {
    // Draws are never negative, so the fraction lies in [0, 1] and the
    // result between 0 and x, on x's side of zero.
    // Near the largest floats x times the draw overflows: the fraction is
    // taken first there; elsewhere the product comes first, which keeps the
    // values a given seed yields.
    if (!secure) {
        double draw = double(random::mt_next());
        double r = x * draw / 2147483647.0;
        return std::isinf(r) && !std::isinf(x) ? x * (draw / 2147483647.0) : r;
    }
    // The secure source gives 31 bits a draw; two draws fill the mantissa.
    double r1 = double(random::secure_integer());
    double r2 = double(random::secure_integer());
    double r = x * (r2 + r1 / 2147483647.0) / 2147483648.0;
    return std::isinf(r) && !std::isinf(x) ? x * ((r2 + r1 / 2147483647.0) / 2147483648.0) : r;
}

int32_t truncate_to_integer(double x) {
    double y = std::trunc(x + 0.49999999999999994);
    if (std::isnan(y)) return 0;
    if (y >= 2147483647.0) return INT_MAX;
    if (y <= -2147483648.0) return INT_MIN;
    return int32_t(y);
}

double number_of(const Cell* c) {
    switch (cell::type(c)) {
        case type_integer: return double(cell::get_integer(c));
        case type_char: return double(c->w2);
        default: return cell::get_double(c);
    }
}

Cell* make_at(Cell* c, double x) { return cell::make_float(c, x); }
Cell* push(double x) { return make_at(stack::push_cell(), x); }
void push_new(uint32_t block, double x) { make_at(series::alloc_tail_cell(block), x); }
void set_result(double x) { make_at(stack::result(), x); }

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t ta = cell::type(a), tb = cell::type(b);
    if ((op == op_strict_equal || op == op_same || op == op_find) && ta != tb) return 1;
    double x = cell::get_double(a), y;
    switch (tb) {
        case type_integer: y = double(cell::get_integer(b)); break;
        case type_float: case type_percent: case type_time: y = cell::get_double(b); break;
        case type_money: return money_type::compare_number_first(a, b, op);
        default: return not_comparable;
    }
    switch (op) {
        case op_equal: case op_not_equal: case op_equal_path_10: case op_equal_path_11:
            return almost_equal(x, y) ? 0 : 1;
        case op_strict_equal: case op_find:
            return x == y ? 0 : 1;
        case op_same:
            return bits_of(x) == bits_of(y) ? 0 : 1;
        default:
            break;
    }
    bool nx = std::isnan(x), ny = std::isnan(y);
    if (nx || ny) {
        switch (op) {
            case op_lesser: case op_lesser_equal: return 1;
            case op_greater: case op_greater_equal: return -1;
            // Sorting needs a total order: NaNs go after every number.
            default: return nx == ny ? 0 : nx ? 1 : -1;
        }
    }
    return (x > y) - (x < y);
}

void init() {
    Row r(type_float, "float!");
    r.set<slot_make>(float_to)
        .set<slot_random>(float_random)
        .set<slot_to>(float_to)
        .set<slot_form>(float_form)
        .set<slot_mold>(float_mold)
        .set<slot_compare>(compare)
        .set<slot_absolute>(float_absolute)
        .set<slot_add>(float_math<integer_type::math_add>)
        .set<slot_divide>(float_math<integer_type::math_divide>)
        .set<slot_multiply>(float_math<integer_type::math_multiply>)
        .set<slot_negate>(float_negate)
        .set<slot_power>(float_power)
        .set<slot_remainder>(float_math<integer_type::math_remainder>)
        .set<slot_round>(float_round)
        .set<slot_subtract>(float_math<integer_type::math_subtract>)
        .set<slot_even_q>(float_even)
        .set<slot_odd_q>(float_odd);
    datatype::register_type(r);
}

}  // namespace vum::float_type
