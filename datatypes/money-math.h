// The arithmetic of money!: exact to the hundred-thousandth. Results that
// leave the 17 integer digits raise script type-limit (money!); digits
// past the fifth fraction digit of a product or quotient are dropped
// (truncation toward zero), never rounded.
#pragma once
#include <cstdint>

#include "datatypes/money.h"
#include "memory/cell.h"

namespace vum::money_type {

// The arithmetic action on the current frame (operator codes of
// integer_type::MathOp, add to remainder): stack::arg(0) and arg(1) are the
// operands, at least one of them money, and arg(0) receives the result. The
// integer and float kernels come here when their right operand is money.
// - integer!, float! and percent! operands convert to money (floats
//   dropping digits past the fifth fraction digit); other types raise
//   script invalid-type;
// - money times money, and a number divided by money, raise invalid-type;
// - the currencies must agree (or one be none), else script wrong-denom;
//   the result takes the second operand's currency, else the first's;
// - money divided by money gives a float!.
void do_math(int32_t op);

// The operations on amounts; the currency of the result is left to the
// caller.
Amount add(const Amount& a, const Amount& b);
Amount subtract(const Amount& a, const Amount& b);
Amount multiply(const Amount& a, const Amount& b);
// The quotient (five fraction digits, truncated) or, with remainder, what
// is left of a after taking out the whole multiples of b (with a's sign).
// math zero-divide for a zero b.
Amount divide(const Amount& a, const Amount& b, bool remainder);

// The round action: to the nearest multiple of the /to scale (money, an
// integer or a float; 1 by default; another type raises script not-related).
// Half away from zero unless a mode says otherwise.
void round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling, Cell* result);

// Number of digits from the first non-zero one to the last place (1 for
// zero), counted in hundred-thousandths.
int32_t significant_digits(Units units);

}  // namespace vum::money_type
