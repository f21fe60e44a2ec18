#include "datatypes/money-math.h"

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "memory/raise-error.h"
#include "memory/value-stack.h"

namespace vum::money_type {

namespace {

using integer_type::math_add;
using integer_type::math_divide;
using integer_type::math_multiply;
using integer_type::math_remainder;
using integer_type::math_subtract;

__extension__ typedef __int128 Signed;

// Products of amounts with more significant digits than this between them
// reach 10^22 whatever the digits are.
constexpr int32_t product_digit_limit = 28;

[[noreturn]] void raise_type_limit() {
    Cell type = cell::make_datatype(type_money);
    errors::raise(err::script::type_limit, &type);
}

[[noreturn]] void raise_invalid_type(uint8_t t) {
    Cell type = cell::make_datatype(t);
    errors::raise(err::script::invalid_type, &type);
}

Amount checked(Units units, bool negative) {
    if (units >= units_limit) raise_type_limit();
    Amount r;
    r.units = units;
    r.negative = negative && units != 0;
    return r;
}

Signed signed_of(const Amount& a) { return a.negative ? -Signed(a.units) : Signed(a.units); }

// An operand of the arithmetic as an amount.
Amount operand(const Cell* c) {
    switch (cell::type(c)) {
        case type_money:
            return amount_of(c);
        case type_integer: {
            Cell m;
            return amount_of(from_integer(&m, cell::get_integer(c)));
        }
        case type_float: case type_percent: {
            Cell m;
            return amount_of(from_float(&m, cell::get_double(c), false));
        }
        default:
            raise_invalid_type(cell::type(c));
    }
}

}  // namespace

int32_t significant_digits(Units units) {
    int32_t n = 1;
    while (units >= 10) {
        units /= 10;
        n++;
    }
    return n;
}

Amount add(const Amount& a, const Amount& b) {
    Signed sum = signed_of(a) + signed_of(b);
    return checked(Units(sum < 0 ? -sum : sum), sum < 0);
}

Amount subtract(const Amount& a, const Amount& b) {
    Amount negated = b;
    negated.negative = !b.negative;
    return add(a, negated);
}

Amount multiply(const Amount& a, const Amount& b) {
    if (a.units == 0 || b.units == 0) return Amount{};
    // Checked first so that the product fits the 128-bit work value.
    if (significant_digits(a.units) + significant_digits(b.units) > product_digit_limit) raise_type_limit();
    return checked(a.units * b.units / units_per_whole, a.negative != b.negative);
}

Amount divide(const Amount& a, const Amount& b, bool remainder) {
    if (b.units == 0) errors::raise(err::math::zero_divide);
    if (remainder) return checked(a.units % b.units, a.negative);
    // a is below 10^22, so the scaled dividend stays below 10^27.
    return checked(a.units * units_per_whole / b.units, a.negative != b.negative);
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    uint8_t tl = cell::type(left), tr = cell::type(right);
    if (op < math_add || op > math_remainder) raise_invalid_type(type_money);
    if (op == math_multiply && tl == type_money && tr == type_money) raise_invalid_type(tl);
    if ((op == math_divide || op == math_remainder) && tl != type_money && tr == type_money)
        raise_invalid_type(tl);
    Amount a = operand(left), b = operand(right);
    if (a.currency != b.currency && a.currency != 0 && b.currency != 0)
        errors::raise(err::script::wrong_denom, left, right);
    Amount r;
    switch (op) {
        case math_add: r = add(a, b); break;
        case math_subtract: r = subtract(a, b); break;
        case math_multiply: r = multiply(a, b); break;
        default: r = divide(a, b, op == math_remainder); break;
    }
    if (op == math_divide && tl == type_money && tr == type_money) {
        Cell quotient;
        make_at(&quotient, r);
        cell::make_float(left, to_float(&quotient));
        return;
    }
    r.currency = b.currency ? b.currency : a.currency;
    make_at(left, r);
}

void round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling, Cell* result) {
    Amount v = amount_of(value);
    Units step = units_per_whole;
    if (scale) {
        switch (cell::type(scale)) {
            case type_money: case type_integer: case type_float:
                step = operand(scale).units;
                break;
            default: {
                Cell name = actions::word(actions::slot_round), type = cell::make_datatype(cell::type(scale));
                errors::raise(err::script::not_related, &name, &type);
            }
        }
    }
    if (v.units == 0 || step == 0) {
        *result = *value;
        return;
    }
    // The magnitude lies between two multiples of the step, q and q + step;
    // the remainder says how far above q, and twice it against the step
    // says which is nearer (equal: a tie).
    Units rest = v.units % step, below = v.units - rest;
    Units twice = rest * 2;
    bool tie = twice == step, over_half = twice > step;
    bool up;
    if (down) up = false;
    else if (floor) up = v.negative && rest != 0;
    else if (ceiling) up = !v.negative && rest != 0;
    else if (even) up = over_half || (tie && (below / step) % 2 == 1);
    else if (half_down) up = over_half;
    else if (half_ceiling) up = over_half || (tie && !v.negative);
    else up = over_half || tie;
    Amount r = checked(up ? below + step : below, v.negative);
    r.currency = v.currency;
    make_at(result, r);
}

}  // namespace vum::money_type
