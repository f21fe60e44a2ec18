// The text forms of numbers and of the values written like them (integers,
// floats, percents, times, tuples, pairs, point coordinates, dates, money),
// shared by the lexer, which loads tokens through them, and by the
// datatypes' conversions from text. The recognisers read ASCII bytes from s
// to e and answer false for anything that is not the form; they check
// shape and range and leave making a value to the caller.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

namespace vum::scan {

constexpr bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }

// A decimal float (',' as well as '.' for the point, ' between digits);
// exponent_offset scales it by a power of ten (-2 for a percent).
bool float_text(const uint8_t* s, const uint8_t* e, double* out, int exponent_offset = 0);
// Decimal integer with single ' separators. More than 10 digits or a value
// beyond 32 bits is read again as a float (*is_float set).
bool integer_text(const uint8_t* s, const uint8_t* e, int32_t* n, double* d, bool* is_float);
// 1.#NaN and [sign]1.#INF, any case.
bool special_float(const uint8_t* s, const uint8_t* e, double* out);
// [sign]h:m[:s[.f]] or m:s.f, as seconds.
bool time_text(const uint8_t* s, const uint8_t* e, double* out);
// Tuple parts: digits separated by single dots, 0 to 255 each, 1 to 12.
bool tuple_parts(const uint8_t* s, const uint8_t* e, uint8_t* parts, int32_t* count);
Cell tuple_cell(const uint8_t* parts, int32_t count);
// A point's coordinate: a float or one of the special floats, spaces around.
bool coordinate(const uint8_t* s, const uint8_t* e, double* out);
// The bits of a coordinate as a point stores it (single precision).
uint32_t float_bits(double d);

// The fields of a checked date literal.
struct DateFields {
    int32_t year;      // -9999 to 9999
    int32_t month;     // 1 to 12
    int32_t day;       // 1 to the month's length
    bool has_time;
    double seconds;    // time of day as written, 0 <= seconds < 86400
    bool has_zone;
    int32_t zone;      // quarter hours east of UTC, -60 to 60
};
// The date forms of the token grammar; false for anything else.
bool date_text(const uint8_t* s, const uint8_t* e, DateFields* f);

// Money's shape: [sign] [ccc$ | $] digits [. digits], with ' separators
// only between digits: the sign, the three-letter currency code (upper
// case; empty for none), the amount's digits and the number of them before
// the point.
struct MoneyParts {
    bool negative = false;
    char currency[4] = {};
    std::string digits;
    int32_t integral = 0;
};
bool money_shape(const uint8_t* s, const uint8_t* e, MoneyParts* m);

// Conversions from text: characters read through the unit (1, 2 or 4
// bytes). Failure sets *code to -1 (bad shape) or -2 (integer overflow) and
// leaves it unchanged on success.
int32_t scan_integer(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code);
double scan_float(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code);
// Fills *target with a tuple! of 1 to 12 parts.
void scan_tuple(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code, Cell* target);
// Fills *target with a money! value (unknown currencies and amounts too
// long fail).
void scan_money(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code, Cell* target);
// The shape check shared by the float and percent loaders.
bool float_shape(const char* text, int32_t length);
// The n bytes equal the lower-case ASCII word, A-Z folded.
bool same_caseless(const uint8_t* p, size_t n, const char* word);

}  // namespace vum::scan
