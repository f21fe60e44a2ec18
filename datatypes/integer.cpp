#include "datatypes/integer.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/actions.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/money-math.h"
#include "datatypes/pair.h"
#include "datatypes/random.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::integer_type {

namespace {

using namespace actions;

[[noreturn]] void raise_math(err::Math id) { errors::raise(id); }

bool is_text_type(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

// Decimal text with an optional sign; apostrophes between digits group them.
// False on anything else, and on a value outside the 32-bit range.
bool scan_decimal(const std::string& text, int32_t* out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    int64_t magnitude = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        if (c == '\'') continue;
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > 2147483648LL) return false;
    }
    if (!negative && magnitude > INT_MAX) return false;
    *out = int32_t(negative ? -magnitude : magnitude);
    return true;
}

// The bytes of a binary! from its head index to its tail.
void binary_bytes(const Cell* value, const uint8_t** bytes, int32_t* length) {
    SeriesBuffer* b = nodes::buffer(value->w2);
    int32_t n = int32_t(b->tail - b->head) - int32_t(value->w1);
    *bytes = b->head_ptr() + value->w1;
    *length = n > 0 ? n : 0;
}

int32_t hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return int32_t(c - '0');
    if (c >= 'a' && c <= 'f') return int32_t(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int32_t(c - 'A' + 10);
    return -1;
}

// An issue's spelling as 1 to 8 hexadecimal digits. Only ASCII digits count:
// a wider character is refused, not folded onto a digit by its low bits.
int32_t issue_to_integer(const Cell* value) {
    int32_t length = 0;
    const char* text = symbols::text(int32_t(value->w2), &length);
    if (length < 1 || length > 8) errors::raise(err::script::invalid_data, value);
    uint32_t n = 0;
    for (int32_t i = 0; i < length; i++) {
        int32_t d = hex_digit(uint8_t(text[i]));
        if (d < 0) errors::raise(err::script::invalid_data, value);
        n = n << 4 | uint32_t(d);
    }
    return int32_t(n);
}

// A double truncated toward zero, or script type-limit when it does not
// fit (NaN fails both comparisons).
int32_t checked_truncate(double d) {
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
        Cell target = cell::make_datatype(type_integer);
        errors::raise(err::script::type_limit, &target);
    }
    return int32_t(d);
}

void integer_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    int32_t n = 0;
    uint8_t t = cell::type(spec);
    switch (t) {
        case type_integer:
            n = cell::get_integer(spec);
            break;
        case type_char:
            n = int32_t(spec->w2);
            break;
        case type_float: case type_percent:
            // The range is checked before the fraction is dropped.
            n = checked_truncate(cell::get_double(spec));
            break;
        case type_time:
            // The nearest whole second, ties away from zero for positive
            // times only: the seconds plus a half, truncated.
            n = checked_truncate(std::trunc(cell::get_double(spec) + 0.5));
            break;
        case type_date:
            n = checked_truncate(date_type::epoch_seconds(spec));
            break;
        case type_issue:
            n = issue_to_integer(spec);
            break;
        case type_money:
            n = money_type::to_integer(spec);
            break;
        case type_binary: {
            const uint8_t* bytes;
            int32_t length;
            binary_bytes(spec, &bytes, &length);
            uint32_t u = 0;
            for (int32_t i = 0; i < length && i < 4; i++) u = u << 8 | bytes[i];
            n = int32_t(u);
            break;
        }
        default:
            if (!is_text_type(t) || !scan_decimal(string::to_utf8(spec), &n)) errors::raise_bad_to(type_integer, spec);
    }
    make_at(result, n);
}

void integer_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    if (cell::type(spec) == type_logic) {
        make_at(result, int32_t(spec->w1 & 1));
        return;
    }
    integer_to(prototype, spec, type, result);
}

void integer_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        random_seed(value->w2);
        cell::make_unset(result);
        return;
    }
    // char! shares this handler and keeps its type.
    Cell out = *value;
    out.w2 = uint32_t(random_in_range(int32_t(value->w2), secure));
    *result = out;
}

int32_t integer_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (!arg) return limit - string::append_decimal(buffer, cell::get_integer(value));
    return append_limited(buffer, to_text(cell::get_integer(value)), arg, limit);
}

int32_t integer_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return integer_form(value, buffer, arg, limit);
}

int32_t integer_compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t tb = cell::type(b);
    if ((op == op_strict_equal || op == op_same || op == op_find) && tb != type_integer) return 1;
    switch (tb) {
        case type_integer: case type_char: {
            int32_t x = cell::get_integer(a), y = int32_t(b->w2);
            return (x > y) - (x < y);
        }
        case type_float: case type_percent: case type_time: {
            Cell promoted;
            cell::make_float(&promoted, double(cell::get_integer(a)));
            return float_type::compare(&promoted, b, op);
        }
        case type_money:
            return money_type::compare_number_first(a, b, op);
        default:
            return not_comparable;
    }
}

void integer_absolute() {
    Cell* v = stack::arg(0);
    v->w2 = uint32_t(abs_checked(cell::get_integer(v)));  // char! inherits this
}

void integer_negate() {
    int32_t n = cell::get_integer(stack::arg(0));
    if (n == INT_MIN) raise_math(err::math::overflow);
    make_at(stack::arg(0), -n);
}

template <int32_t Op>
void integer_math() {
    do_math(Op);
}

bool integer_even(const Cell* value) { return (value->w2 & 1) == 0; }
bool integer_odd(const Cell* value) { return (value->w2 & 1) != 0; }

void integer_complement(Cell* value, Cell* result) { make_at(result, int32_t(~value->w2)); }

}  // namespace

uint8_t check_power_exponent(const Cell* exponent) {
    uint8_t te = cell::type(exponent);
    if (te != type_integer && te != type_float) {
        Cell name = word(slot_power), type = cell::make_datatype(te), argument = context::load_word("exponent");
        errors::raise(err::script::expect_arg, &name, &type, &argument);
    }
    return te;
}

namespace {

void integer_power() {
    Cell* base = stack::arg(0);
    const Cell* exponent = stack::arg(1);
    uint8_t te = check_power_exponent(exponent);
    int32_t b = cell::get_integer(base);
    if (te == type_integer && cell::get_integer(exponent) >= 0) {
        uint32_t e = uint32_t(cell::get_integer(exponent));
        int32_t result = 1;
        bool overflow = false;
        while (e != 0) {
            if ((e & 1) && __builtin_mul_overflow(result, b, &result)) {
                overflow = true;
                break;
            }
            e >>= 1;
            if (e >= 1 && __builtin_mul_overflow(b, b, &b)) {
                overflow = true;
                break;
            }
        }
        if (!overflow) {
            make_at(base, result);
            return;
        }
    }
    // A negative or fractional exponent, or a power beyond 32 bits.
    double x = double(cell::get_integer(base));
    cell::make_float(base, std::pow(x, float_type::number_of(exponent)));
}

void integer_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
                   bool ceiling, bool half_ceiling, Cell* result) {
    if (scale && cell::type(scale) == type_money) {
        Cell name = word(slot_round), type = cell::make_datatype(type_money);
        errors::raise(err::script::not_related, &name, &type);
    }
    int32_t n = cell::get_integer(value);
    if (scale && cell::type(scale) != type_integer) {
        float_type::round_value(double(n), type_float, scale, even, down, half_down, floor, ceiling, half_ceiling,
                                result);
        return;
    }
    // In 64 bits the magnitudes of -2147483648 and of the next multiple up
    // are exact; only a result outside the 32-bit range is an overflow.
    int64_t h = scale ? std::llabs(int64_t(cell::get_integer(scale))) : 1;
    int64_t v = std::llabs(int64_t(n));
    int64_t r = h ? v % h : 0;
    if (r == 0) {
        make_at(result, n);
        return;
    }
    int64_t s = n < 0 ? -1 : 1;
    int64_t w = v - r, u = v + (h - r);
    int64_t rounded;
    if (down) rounded = s * w;
    else if (floor) rounded = s < 0 ? -u : w;
    else if (ceiling) rounded = s > 0 ? u : -w;
    else if (r < h - r) rounded = s * w;
    else if (r > h - r) rounded = s * u;
    else if (even) rounded = (v / h) % 2 ? s * u : s * w;
    else if (half_down) rounded = s * w;
    else if (half_ceiling) rounded = s > 0 ? u : -w;
    else rounded = s * u;
    if (rounded > INT_MAX || rounded < INT_MIN) raise_math(err::math::overflow);
    make_at(result, int32_t(rounded));
}

}  // namespace

int32_t random_in_range(int32_t n, bool secure) { return random::integer_in_range(secure, n); }

void random_seed(uint32_t seed) { random::mt_seed(seed); }

int32_t abs_checked(int32_t n) {
    if (n == INT_MIN) raise_math(err::math::overflow);
    return n < 0 ? -n : n;
}

int32_t shift(int32_t data, int32_t bits, Shift kind) {
    if (bits < 0) bits = 0;
    uint32_t u = uint32_t(data);
    switch (kind) {
        case Shift::left: return bits < 32 ? int32_t(u << bits) : 0;
        case Shift::logical: return bits < 32 ? int32_t(u >> bits) : 0;
        case Shift::right: break;
    }
    return bits < 32 ? data >> bits : data < 0 ? -1 : 0;
}

int32_t action_slot(int32_t op) {
    switch (op) {
        case math_add: return slot_add;
        case math_subtract: return slot_subtract;
        case math_multiply: return slot_multiply;
        case math_divide: return slot_divide;
        case math_remainder: return slot_remainder;
        case math_or: return slot_or;
        case math_and: return slot_and;
        default: return slot_xor;
    }
}

namespace {

// The magnitude in unsigned arithmetic covers -2147483648 too.
uint32_t magnitude(int32_t n) { return n < 0 ? 0u - uint32_t(n) : uint32_t(n); }

int32_t digit_count(uint32_t m) {
    static constexpr uint32_t powers[] = {10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u,
                                          1000000000u};
    int32_t k = 1;
    while (k < 10 && m >= powers[k - 1]) k++;
    return k;
}

}  // namespace

int32_t decimal_size(int32_t n) { return digit_count(magnitude(n)) + (n < 0 ? 1 : 0); }

int32_t write_decimal(int32_t n, char* out) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t m = magnitude(n);
    int32_t size = digit_count(m) + (n < 0 ? 1 : 0);
    if (n < 0) out[0] = '-';
    // Two digits at a time from the last.
    char* p = out + size;
    while (m >= 100) {
        uint32_t pair = m % 100 * 2;
        m /= 100;
        *--p = pairs[pair + 1];
        *--p = pairs[pair];
    }
    if (m >= 10) {
        *--p = pairs[m * 2 + 1];
        *--p = pairs[m * 2];
    } else {
        *--p = char('0' + m);
    }
    return size;
}

Decimal::Decimal(int32_t n) : size_(write_decimal(n, text_)) {}

const char* to_text(int32_t n) {
    static char buffer[12];
    Decimal text(n);
    std::memcpy(buffer, text.data(), size_t(text.size()));
    buffer[text.size()] = 0;
    return buffer;
}

int32_t apply_op(int32_t op, int32_t a, int32_t b, Cell* result) {
    int32_t r = 0;
    switch (op) {
        case math_add:
            if (__builtin_add_overflow(a, b, &r)) {
                if (result) cell::make_float(result, double(a) + double(b));
                return r;
            }
            break;
        case math_subtract:
            if (__builtin_sub_overflow(a, b, &r)) {
                if (result) cell::make_float(result, double(a) - double(b));
                return r;
            }
            break;
        case math_multiply:
            if (__builtin_mul_overflow(a, b, &r)) {
                if (result) cell::make_float(result, double(a) * double(b));
                return r;
            }
            break;
        case math_divide:
            if (b == 0) raise_math(err::math::zero_divide);
            // Unlike the promoting add, subtract and multiply, a quotient
            // beyond 32 bits is an overflow error.
            if (a == INT_MIN && b == -1) raise_math(err::math::overflow);
            r = a / b;
            if (a % b != 0 && result) {
                cell::make_float(result, double(a) / double(b));
                return r;
            }
            break;
        case math_remainder:
            if (b == 0) raise_math(err::math::zero_divide);
            if (a == INT_MIN && b == -1) raise_math(err::math::overflow);
            r = a % b;
            break;
        case math_or: r = a | b; break;
        case math_and: r = a & b; break;
        case math_xor: r = a ^ b; break;
        default:
            errors::raise(err::internal::invalid_error);
    }
    if (result) make_at(result, r);
    return r;
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    uint8_t tr = cell::type(right);
    switch (tr) {
        case type_integer: case type_char:
            apply_op(op, cell::get_integer(left), int32_t(right->w2), left);
            return;
        case type_float: case type_percent: case type_time:
            float_type::do_math(op);
            return;
        case type_tuple:
            tuple_type::do_math(op);
            return;
        case type_pair: case type_point2d: case type_point3d:
            pair_type::number_first_math(op);
            return;
        case type_vector:
            vector_type::math_with_number_first(op);
            return;
        case type_money:
            money_type::do_math(op);
            return;
        case type_date:
            date_type::number_first_math(op);
            return;
        default: {
            Cell type = cell::make_datatype(tr);
            errors::raise(err::script::invalid_type, &type);
        }
    }
}

Cell* make_at(Cell* c, int32_t n) { return cell::make_integer(c, n); }

Cell* push(int32_t n) { return make_at(stack::push_cell(), n); }

void push_new(uint32_t block, int32_t n) { make_at(series::alloc_tail_cell(block), n); }

void set_result(int32_t n) { make_at(stack::result(), n); }

int32_t append_limited(uint32_t buffer, const char* text, const Cell* arg, int32_t limit) {
    if (!arg) {
        // Digits are ASCII: one append for the whole number.
        string::append_ascii(buffer, text);
        return limit - int32_t(std::strlen(text));
    }
    int32_t n = 0;
    for (const char* p = text; *p; p++) {
        if (arg && limit - n <= 0) break;
        string::append_char(buffer, uint8_t(*p));
        n++;
    }
    return limit - n;
}

void init() {
    Row r(type_integer, "integer!");
    r.set<slot_make>(integer_make)
        .set<slot_random>(integer_random)
        .set<slot_to>(integer_to)
        .set<slot_form>(integer_form)
        .set<slot_mold>(integer_mold)
        .set<slot_compare>(integer_compare)
        .set<slot_absolute>(integer_absolute)
        .set<slot_add>(integer_math<math_add>)
        .set<slot_divide>(integer_math<math_divide>)
        .set<slot_multiply>(integer_math<math_multiply>)
        .set<slot_negate>(integer_negate)
        .set<slot_power>(integer_power)
        .set<slot_remainder>(integer_math<math_remainder>)
        .set<slot_round>(integer_round)
        .set<slot_subtract>(integer_math<math_subtract>)
        .set<slot_even_q>(integer_even)
        .set<slot_odd_q>(integer_odd)
        .set<slot_and>(integer_math<math_and>)
        .set<slot_complement>(integer_complement)
        .set<slot_or>(integer_math<math_or>)
        .set<slot_xor>(integer_math<math_xor>);
    datatype::register_type(r);
}

}  // namespace vum::integer_type
