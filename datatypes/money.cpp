#include "datatypes/money.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/float-text.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/money-currencies.h"
#include "datatypes/money-math.h"
#include "datatypes/number-scanners.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::money_type {


namespace {

using namespace actions;

constexpr int32_t currency_byte = 4;
constexpr int32_t first_digit_byte = 5;
constexpr double largest_float = 1e17;
constexpr double smallest_float = 1e-5;

[[noreturn]] void raise_bad_make(const Cell* value) {
    Cell type = cell::make_datatype(type_money);
    errors::raise(err::script::bad_make_arg, &type, value);
}

bool is_text_type(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

bool is_plain_word(uint8_t t) { return t >= type_word && t <= type_get_word; }

// The decimal text of a whole number below 10^22 (at least "0").
std::string whole_text(Units n) {
    char digits[digit_count + 1];
    int32_t i = digit_count;
    digits[i] = 0;
    do {
        digits[--i] = char('0' + int32_t(n % 10));
        n /= 10;
    } while (n != 0);
    return digits + i;
}

// ---- floats

// The float's magnitude in hundred-thousandths, read from its shortest
// decimal text (the digits that read back to it, as mold writes it), so
// 0.1 is exactly $0.1. *rest is set when non-zero digits lie past the
// fifth fraction digit. The magnitude must be below 1e17.
Units float_units(double d, bool* rest) {
    int32_t exponent = 0, negative = 0, count = 0;
    const char* text = floats::to_digits(d, 0, &exponent, &negative, &count, 0);
    *rest = false;
    if (exponent == floats::zero_exponent) return 0;
    if (negative) text++;
    // d = 0.d1d2... x 10^exponent: digit i (from 0) stands for
    // 10^(exponent - 1 - i), which is 10^(exponent + 4 - i) units.
    Units units = 0;
    for (int32_t i = 0; i < count; i++) {
        int32_t place = exponent + 4 - i;
        int32_t digit = text[i] - '0';
        if (place < 0) {
            if (digit != 0) *rest = true;
            continue;
        }
        Units weight = 1;
        for (int32_t k = 0; k < place; k++) weight *= 10;
        units += Units(digit) * weight;
    }
    return units;
}

// ---- comparison

int32_t order(Units x, Units y) { return (x > y) - (x < y); }

// The signed order of two amounts.
int32_t order(const Amount& a, const Amount& b) {
    int32_t sa = a.units == 0 ? 0 : a.negative ? -1 : 1;
    int32_t sb = b.units == 0 ? 0 : b.negative ? -1 : 1;
    if (sa != sb) return sa < sb ? -1 : 1;
    int32_t magnitude = order(a.units, b.units);
    return sa < 0 ? -magnitude : magnitude;
}

// The order of an amount against a double, exact against the double's
// shortest decimal text. Doubles beyond the money range order by their own
// sign: a huge positive one is above every amount, a huge negative one
// below, and a tiny one is above or below zero on its side.
int32_t order_with_float(const Amount& a, double d) {
    int32_t sa = a.units == 0 ? 0 : a.negative ? -1 : 1;
    int32_t sd = d > 0 ? 1 : d < 0 ? -1 : 0;
    if (float_too_large(d)) return -sd;
    if (float_too_small(d)) return sa != 0 ? sa : -sd;
    bool rest = false;
    Amount b;
    b.units = float_units(d, &rest);
    b.negative = d < 0;
    int32_t c = order(a, b);
    if (c != 0) return c;
    // The same to five places: the digits past them put d further from
    // zero than a.
    return rest ? -sd : 0;
}

// An ordering operator's answer when the other value is a NaN: every
// comparison is false; sorting puts the NaN after.
int32_t against_nan(int32_t op, bool nan_first) {
    switch (op) {
        case op_lesser: case op_lesser_equal: return 1;
        case op_greater: case op_greater_equal: return -1;
        case op_sort: case op_case_sort: return nan_first ? 1 : -1;
        default: return 1;
    }
}

bool is_ordering(int32_t op) { return op >= op_lesser && op <= op_greater_equal; }

// Two money values.
int32_t compare_money(const Cell* a, const Cell* b, int32_t op) {
    Amount x = amount_of(a), y = amount_of(b);
    bool same_currency = x.currency == y.currency;
    bool compatible = same_currency || x.currency == 0 || y.currency == 0;
    switch (op) {
        case op_strict_equal: case op_same: case op_find:
            return same_currency && order(x, y) == 0 ? 0 : 1;
        case op_sort: case op_case_sort:
            if (!same_currency) {
                if (x.currency == 0) return -1;
                if (y.currency == 0) return 1;
                int32_t c = std::strcmp(currencies::code(x.currency), currencies::code(y.currency));
                if (c != 0) return c < 0 ? -1 : 1;
                return order(int32_t(x.currency), int32_t(y.currency));
            }
            return order(x, y);
        default:
            if (is_ordering(op)) {
                if (!compatible) {
                    // Copies: a sort hands over cells of a block's buffer.
                    Cell first = *a, second = *b;
                    errors::raise(err::script::wrong_denom, &first, &second);
                }
                return order(x, y);
            }
            return compatible && order(x, y) == 0 ? 0 : 1;
    }
}

// Money against an integer!, float! or percent! (the number second).
int32_t compare_with_number(const Amount& x, const Cell* number, int32_t op) {
    switch (cell::type(number)) {
        case type_integer: {
            Amount y;
            int64_t n = cell::get_integer(number);
            y.negative = n < 0;
            y.units = Units(n < 0 ? -n : n) * units_per_whole;
            return order(x, y);
        }
        case type_float: case type_percent: {
            double d = cell::get_double(number);
            if (std::isnan(d)) return against_nan(op, false);
            return order_with_float(x, d);
        }
        default:
            return not_comparable;
    }
}

// ---- make and to

// [currency amount fraction], currency and fraction optional.
void from_block(const Cell* spec, Cell* result) {
    int32_t n = series::length_from_head(spec);
    if (n < 1 || n > 3) raise_bad_make(spec);
    Cell items[3];
    const Cell* head = series::cells_head(spec->w2) + spec->w1;
    for (int32_t i = 0; i < n; i++) items[i] = head[i];
    int32_t i = 0;
    uint8_t currency = 0;
    if (is_plain_word(cell::type(&items[0]))) {
        int32_t index = currencies::find_word(&items[0]);
        if (index < 0) raise_bad_make(spec);
        currency = uint8_t(index);
        i = 1;
    }
    if (i >= n) raise_bad_make(spec);
    Cell amount = items[i];
    Cell out;
    switch (cell::type(&amount)) {
        case type_integer:
            from_integer(&out, cell::get_integer(&amount));
            break;
        case type_float:
            from_float(&out, cell::get_double(&amount), true);
            break;
        default:
            raise_bad_make(spec);
    }
    i++;
    if (i < n) {
        // Hundred-thousandths after a whole amount, on its side of zero.
        if (cell::type(&amount) != type_integer || cell::type(&items[i]) != type_integer || i + 1 < n)
            raise_bad_make(spec);
        int32_t fraction = cell::get_integer(&items[i]);
        if (fraction < 0 || fraction > 99999) raise_bad_make(spec);
        Amount a = amount_of(&out);
        a.units += Units(fraction);
        a.negative = cell::get_integer(&amount) < 0;
        make_at(&out, a);
    }
    Amount a = amount_of(&out);
    a.currency = currency;
    make_at(result, a);
}

void money_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    uint8_t t = cell::type(spec);
    switch (t) {
        case type_money:
            *result = *spec;
            cell::clear_new_line(result);
            return;
        case type_integer:
            from_integer(result, cell::get_integer(spec));
            return;
        case type_float:
            from_float(result, cell::get_double(spec), true);
            return;
        default:
            break;
    }
    if (!is_text_type(t)) errors::raise_bad_to(type_money, spec);
    std::string text = string::to_utf8(spec);
    int32_t code = 0;
    Cell out;
    scan::scan_money(reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()), 1, &code, &out);
    if (code != 0) errors::raise_bad_to(type_money, spec);
    *result = out;
}

void money_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (is_plain_word(t)) {
        int32_t index = currencies::find_word(spec);
        if (index < 0) raise_bad_make(spec);
        Amount a;
        a.currency = uint8_t(index);
        make_at(result, a);
        return;
    }
    if (t == type_block || t == type_paren) {
        from_block(spec, result);
        return;
    }
    money_to(prototype, spec, type, result);
}

// ---- text

// - [CCC] $ digits [. fraction]: the integer digits grouped by threes with
// "'" when grouped, the fraction cut (not rounded) to `shown` digits.
std::string text_of(const Cell* value, bool grouped, int32_t shown) {
    Amount a = amount_of(value);
    std::string text;
    if (a.negative && a.units != 0) text += '-';
    if (a.currency) text += currencies::code(a.currency);
    text += '$';
    std::string whole = whole_text(a.units / units_per_whole);
    if (grouped) {
        int32_t n = int32_t(whole.size());
        for (int32_t i = 0; i < n; i++) {
            if (i > 0 && (n - i) % 3 == 0) text += '\'';
            text += whole[size_t(i)];
        }
    } else {
        text += whole;
    }
    if (shown >= 1) {
        std::string fraction = whole_text(a.units % units_per_whole);
        fraction.insert(0, size_t(fraction_digits) - fraction.size(), '0');
        text += '.';
        text += fraction.substr(0, size_t(shown));
    }
    return text;
}

int32_t money_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value, true, digits_shown()).c_str(), arg, limit);
}

int32_t money_mold(const Cell* value, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit,
                   int32_t) {
    int32_t shown = all ? fraction_digits : digits_shown();
    return integer_type::append_limited(buffer, text_of(value, false, shown).c_str(), arg, limit);
}

// ---- paths and pick

enum Field { field_none = 0, field_code = 1, field_amount = 2 };

bool spelled(const Cell* word, const char* name) {
    int32_t length = 0;
    const char* text = symbols::text(int32_t(word->w2), &length);
    return text && size_t(length) == std::strlen(name) && strncasecmp(text, name, size_t(length)) == 0;
}

Field field_of(const Cell* element) {
    uint8_t t = cell::type(element);
    if (t == type_integer) {
        int32_t n = cell::get_integer(element);
        return n == 1 ? field_code : n == 2 ? field_amount : field_none;
    }
    if (is_plain_word(t)) {
        if (spelled(element, "code")) return field_code;
        if (spelled(element, "amount")) return field_amount;
    }
    return field_none;
}

void get_field(const Cell* value, Field field, Cell* result) {
    Amount a = amount_of(value);
    if (field == field_code) {
        if (a.currency == 0) *result = {type_none, 0, 0, 0};
        else *result = currencies::word(a.currency);
        return;
    }
    a.currency = 0;
    make_at(result, a);
}

void money_path(const PathStep& step, Cell* result) {
    const Cell* where = step.path ? step.path : step.parent;
    if (step.value) errors::raise(err::script::bad_path_set, where, step.element);
    Field field = field_of(step.element);
    if (field == field_none) errors::raise(err::script::invalid_path, where, step.element);
    get_field(step.parent, field, result);
}

void money_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    Field field = field_of(index);
    if (field == field_none) errors::raise(err::script::out_of_range, index);
    Cell v = *value;
    get_field(&v, field, result);
}

// ---- the other actions

void money_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        integer_type::random_seed(value->w1 ^ value->w2 ^ value->w3 ^ (value->header & cell::flag_money_negative));
        cell::make_unset(result);
        return;
    }
    uint8_t limit[packed_bytes], drawn[packed_bytes] = {};
    packed_digits(value, limit);
    // Digit by digit from the most significant: while the draws match the
    // value's digits the next may not exceed the value's; after a smaller
    // one any digit will do.
    bool bounded = true;
    for (int32_t k = 0; k < digit_count; k++) {
        int32_t shift = k % 2 == 0 ? 4 : 0;
        int32_t top = bounded ? (limit[k / 2] >> shift) & 0xF : 9;
        int32_t digit = integer_type::random_in_range(top + 1, secure) - 1;
        if (digit < top) bounded = false;
        drawn[k / 2] = uint8_t(drawn[k / 2] | digit << shift);
    }
    Amount a = amount_of(value);
    Cell out;
    make_at(&out, false, a.currency, drawn);
    Amount r = amount_of(&out);
    r.negative = a.negative;
    make_at(result, r);
}

int32_t money_compare(const Cell* a, const Cell* b, int32_t op) { return compare(a, b, op); }

void money_absolute() {
    Cell* v = stack::arg(0);
    v->header &= ~cell::flag_money_negative;
}

void money_negate() {
    Amount a = amount_of(stack::arg(0));
    a.negative = !a.negative;
    make_at(stack::arg(0), a);
}

template <int32_t Op>
void money_math() {
    do_math(Op);
}

bool units_digit_odd(const Cell* value) { return (amount_of(value).units / units_per_whole) % 2 == 1; }
bool money_even(const Cell* value) { return !units_digit_odd(value); }
bool money_odd(const Cell* value) { return units_digit_odd(value); }

void money_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                 bool half_ceiling, Cell* result) {
    round(value, scale, even, down, half_down, floor, ceiling, half_ceiling, result);
}

}  // namespace

// ---- cells

Amount amount_of(const Cell* money) {
    uint8_t bytes[16];
    std::memcpy(bytes, money, sizeof bytes);
    Amount a;
    a.negative = (money->header & cell::flag_money_negative) != 0;
    a.currency = bytes[currency_byte];
    for (int32_t i = 0; i < packed_bytes; i++) {
        uint8_t b = bytes[first_digit_byte + i];
        a.units = a.units * 100 + Units(b >> 4) * 10 + Units(b & 0xF);
    }
    return a;
}

void packed_digits(const Cell* money, uint8_t* out) {
    uint8_t bytes[16];
    std::memcpy(bytes, money, sizeof bytes);
    std::memcpy(out, bytes + first_digit_byte, packed_bytes);
}

Cell* make_at(Cell* c, const Amount& amount) {
    uint8_t bytes[16] = {};
    Units n = amount.units;
    for (int32_t i = packed_bytes - 1; i >= 0; i--) {
        uint8_t low = uint8_t(n % 10);
        n /= 10;
        uint8_t high = uint8_t(n % 10);
        n /= 10;
        bytes[first_digit_byte + i] = uint8_t(high << 4 | low);
    }
    bytes[currency_byte] = amount.currency;
    uint32_t header = type_money;
    if (amount.negative && amount.units != 0) header |= cell::flag_money_negative;
    std::memcpy(bytes, &header, sizeof header);
    std::memcpy(c, bytes, sizeof bytes);
    return c;
}

bool make_at(Cell* c, bool negative, uint8_t currency, const uint8_t* packed) {
    Amount a;
    for (int32_t i = 0; i < packed_bytes; i++) {
        uint8_t high = packed[i] >> 4, low = packed[i] & 0xF;
        if (high > 9 || low > 9) return false;
        a.units = a.units * 100 + high * 10 + low;
    }
    a.negative = negative;
    a.currency = currency;
    make_at(c, a);
    return true;
}

bool make_from_digits(bool negative, const char* currency, const char* integer_part, int32_t integer_count,
                      const char* fraction, int32_t fraction_count, Cell* result) {
    Amount a;
    a.negative = negative;
    if (currency && *currency) {
        int32_t index = currencies::find(currency, int32_t(std::strlen(currency)));
        if (index < 0) return false;
        a.currency = uint8_t(index);
    }
    int32_t first = 0;
    while (first < integer_count && integer_part[first] == '0') first++;
    if (integer_count - first > integer_digits) return false;
    for (int32_t i = first; i < integer_count; i++) a.units = a.units * 10 + Units(integer_part[i] - '0');
    for (int32_t i = 0; i < fraction_digits; i++)
        a.units = a.units * 10 + Units(i < fraction_count ? fraction[i] - '0' : 0);
    make_at(result, a);
    return true;
}

bool make_from_lexer(bool negative, const char* currency, const char* digits, int32_t count, int32_t integral,
                     Cell* result) {
    return make_from_digits(negative, currency, digits, integral, digits + integral, count - integral, result);
}

Cell* from_integer(Cell* c, int32_t n) {
    Amount a;
    int64_t wide = n;
    a.negative = wide < 0;
    a.units = Units(wide < 0 ? -wide : wide) * units_per_whole;
    return make_at(c, a);
}

Cell* push_from_integer(int32_t n) { return from_integer(stack::push_cell(), n); }

bool float_too_large(double d) { return !(std::fabs(d) < largest_float); }
bool float_too_small(double d) { return d != 0.0 && std::fabs(d) < smallest_float; }

Cell* from_float(Cell* c, double d, bool strict) {
    bool rest = false;
    Units units = 0;
    if (!float_too_large(d) && !float_too_small(d)) units = float_units(d, &rest);
    if (float_too_large(d) || float_too_small(d) || (strict && rest)) {
        Cell value;
        cell::make_float(&value, d);
        raise_bad_make(&value);
    }
    Amount a;
    a.units = units;
    a.negative = d < 0;
    return make_at(c, a);
}

Cell* push_from_float(double d, bool strict) {
    // Made aside first, so that an error leaves the stack as it was.
    Cell value;
    from_float(&value, d, strict);
    Cell* c = stack::push_cell();
    *c = value;
    return c;
}

int32_t to_integer(const Cell* money) {
    Amount a = amount_of(money);
    Units whole = a.units / units_per_whole;
    if (whole > Units(a.negative ? 2147483648U : 2147483647U)) {
        Cell type = cell::make_datatype(type_integer);
        errors::raise(err::script::type_limit, &type);
    }
    int64_t n = int64_t(whole);
    return int32_t(a.negative ? -n : n);
}

double to_float(const Cell* money) {
    Amount a = amount_of(money);
    std::string text = whole_text(a.units / units_per_whole);
    std::string fraction = whole_text(a.units % units_per_whole);
    text += '.';
    text.append(size_t(fraction_digits) - fraction.size(), '0');
    text += fraction;
    int32_t unconsumed = 0;
    double d = floats::parse_text(text.data(), text.data() + text.size(), 0, &unconsumed);
    return a.negative && a.units != 0 ? -d : d;
}

int32_t sign_of(const Cell* money) {
    Amount a = amount_of(money);
    return a.units == 0 ? 0 : a.negative ? -1 : 1;
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t tb = cell::type(b);
    if ((op == op_strict_equal || op == op_same || op == op_find) && tb != type_money) return 1;
    if (tb == type_money) return compare_money(a, b, op);
    return compare_with_number(amount_of(a), b, op);
}

int32_t compare_number_first(const Cell* number, const Cell* money, int32_t op) {
    uint8_t t = cell::type(number);
    if (op == op_strict_equal || op == op_same || op == op_find) return 1;
    if ((t == type_float || t == type_percent) && std::isnan(cell::get_double(number))) return against_nan(op, true);
    int32_t r = compare_with_number(amount_of(money), number, op);
    return r == not_comparable ? r : -r;
}

int32_t digits_shown() {
    const Cell* setting = services::current.money_digits();
    if (!setting || cell::type(setting) != type_integer) return 2;
    int32_t n = cell::get_integer(setting);
    return n > fraction_digits ? fraction_digits : n;
}

void init() {
    currencies::reset();
    Row r(type_money, "money!");
    r.set<slot_make>(money_make)
        .set<slot_random>(money_random)
        .set<slot_to>(money_to)
        .set<slot_form>(money_form)
        .set<slot_mold>(money_mold)
        .set<slot_eval_path>(money_path)
        .set<slot_compare>(money_compare)
        .set<slot_absolute>(money_absolute)
        .set<slot_add>(money_math<integer_type::math_add>)
        .set<slot_subtract>(money_math<integer_type::math_subtract>)
        .set<slot_multiply>(money_math<integer_type::math_multiply>)
        .set<slot_divide>(money_math<integer_type::math_divide>)
        .set<slot_remainder>(money_math<integer_type::math_remainder>)
        .set<slot_negate>(money_negate)
        .set<slot_round>(money_round)
        .set<slot_even_q>(money_even)
        .set<slot_odd_q>(money_odd)
        .set<slot_pick>(money_pick);
    datatype::register_type(r);
}

}  // namespace vum::money_type
