// money!: an exact decimal amount with an optional currency, written $12.34,
// -$0.5 or EUR$1'000.00. Sums of money never suffer binary rounding.
//
// Cell layout: the sign in header bit 14 (set for a negative amount, never
// for zero); byte 4 (the low byte of word 1) the currency, 0 for none, else
// its 1-based position in the currency list (money-currencies.h); bytes 5
// to 15 hold 22 packed decimal digits, two a byte, high nibble first, the
// most significant first: 17 before the decimal point and 5 after it.
//
// The arithmetic works on the magnitude as a whole number of hundred-
// thousandths (an Amount); a magnitude is always below 10^22.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::money_type {

constexpr int32_t digit_count = 22;
constexpr int32_t integer_digits = 17;
constexpr int32_t fraction_digits = 5;
constexpr int32_t packed_bytes = 11;

__extension__ typedef unsigned __int128 Units;
constexpr Units units_per_whole = 100000;                           // 10^5
constexpr Units units_limit = Units(10000000000ULL) * 1000000000000ULL;  // 10^22

// A money value taken apart: the magnitude in hundred-thousandths, the sign
// and the currency.
struct Amount {
    Units units = 0;
    bool negative = false;
    uint8_t currency = 0;
};

Amount amount_of(const Cell* money);
// Writes the value (units below units_limit; a zero amount is never
// negative). Returns c.
Cell* make_at(Cell* c, const Amount& amount);
// From a sign, a currency position and the 11 packed digit bytes (the
// serialised form). False, leaving c alone, when a nibble is not a digit.
bool make_at(Cell* c, bool negative, uint8_t currency, const uint8_t* packed);
// The 11 packed digit bytes of a value.
void packed_digits(const Cell* money, uint8_t* out);

// From a sign, a currency code (null or "" for none) and the digit text of
// the integer part and of the fraction (fraction digits past the fifth are
// dropped). False for an unknown currency or more than 17 integer digits
// (leading zeros aside).
bool make_from_digits(bool negative, const char* currency, const char* integer_part, int32_t integer_count,
                      const char* fraction, int32_t fraction_count, Cell* result);

Cell* from_integer(Cell* c, int32_t n);
Cell* push_from_integer(int32_t n);
// A float becomes money through its shortest decimal text. A NaN or an
// infinity, a magnitude of 1e17 or more, or one below 1e-5 but not zero,
// raise script bad-make-arg; so does, when strict (make and to), a float
// with more than five digits after the point. Otherwise those further
// digits are dropped.
Cell* from_float(Cell* c, double d, bool strict);
Cell* push_from_float(double d, bool strict);
bool float_too_large(double d);  // magnitude 1e17 or more (or not finite)
bool float_too_small(double d);  // not zero, magnitude below 1e-5

// The integer part with its sign; script type-limit (integer!) beyond 32
// bits.
int32_t to_integer(const Cell* money);
// The nearest double to the amount.
double to_float(const Cell* money);

int32_t sign_of(const Cell* money);  // -1, 0 or 1
inline bool is_negative(const Cell* money) { return sign_of(money) < 0; }
inline bool is_zero(const Cell* money) { return sign_of(money) == 0; }
inline bool is_positive(const Cell* money) { return sign_of(money) > 0; }

// The compare handler: a is money; b money, an integer, a float or a
// percent (another type answers not_comparable). Ordering two amounts of
// different currencies raises script wrong-denom.
int32_t compare(const Cell* a, const Cell* b, int32_t op);
// The same answers with the number first, for the compare handlers of
// integer! and float! (and percent! and time!, which share float!'s).
int32_t compare_number_first(const Cell* number, const Cell* money, int32_t op);

// The number of fraction digits form and mold show: the money-digits
// option, read through the money-digits service (when it gives an
// integer), else 2; never more than 5. A value below 1 shows no point.
int32_t digits_shown();

// The maker of money literals and conversions from text, from the parts
// scan::money_shape found (datatypes/number-scanners.h).
bool make_from_lexer(bool negative, const char* currency, const char* digits, int32_t count, int32_t integral,
                     Cell* result);

void init();

}  // namespace vum::money_type
