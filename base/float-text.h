// Correctly rounded conversion between doubles and decimal text.
//
// Everything the runtime prints or reads as a number goes through here, so
// the results must not depend on the C library or the compiler's idea of
// rounding: text written by form_text reads back to the same bits, and text
// read by parse_text is the nearest double (ties to even) for any length of
// input.
//
// The returned text lives in one static 32-byte area ("-" followed by 30
// digit places and room for the terminator) and is overwritten by the next
// call. Not for use from more than one thread.
#pragma once

namespace vum::floats {

// Exponent values that mark the special results of to_digits.
constexpr int special_exponent = 9999;   // infinity or NaN
constexpr int zero_exponent = 9998;

// Longest digit string to_digits will produce, and the largest count that
// form_text passes on so that its longest layout ("0.000000" + digits) still
// fits the area.
constexpr int max_digits = 30;
constexpr int max_form_digits = 22;

// Sets up the process state (bigint free lists). Called once by the process
// entry; conversions also work before it.
void init();

// Decimal digits of d. count <= 0: the shortest string that reads back to d
// (the closest one if several do); count > 0: that many significant digits,
// correctly rounded with ties to even (capped at max_digits). Trailing zeros
// are dropped. d = 0.d1d2... x 10^*decimal_exponent.
// The returned text includes a leading "-" for negative values (and
// *negative is set); *digit_count counts the characters after that sign.
// Infinity gives "1.#INF"/"-1.#INF", NaN "1.#NaN" (never negative), both with
// exponent special_exponent; zero gives "0"/"-0", or "0.0"/"-0.0" with
// fraction_flag, and exponent zero_exponent. Any out pointer may be null.
const char* to_digits(double d, int count, int* decimal_exponent,
                      int* negative, int* digit_count, int fraction_flag);

// Display text of d: positional for decimal exponents -6..17, otherwise
// d1.d2...e<exp>. With fraction_flag a bare integer gets ".0". Count as for
// to_digits, capped at max_form_digits.
const char* form_text(double d, int count, int fraction_flag);

// Reads a number from [start, end) (not NUL-terminated; nothing at or past
// end is read): [+-] digits [. digits] [(e|E) [+-] digits], or the special
// forms "1.#INF", "-1.#INF", "1.#NaN". exponent_offset is added to the
// decimal exponent. *unconsumed receives the number of characters left
// unread (0 when the whole range was a number). A minus sign before zero
// gives -0.0.
double parse_text(const char* start, const char* end, int exponent_offset,
                  int* unconsumed);

}  // namespace vum::floats
