// float!: the language's IEEE-754 double. Also the arithmetic, comparison,
// rounding and text of every type that keeps a double in words 2-3 of its
// cell (percent!, time!), and of integer! operands that meet one of them.
// Arithmetic never traps: infinities and NaNs flow on and are written as
// "1.#INF", "-1.#INF" and "1.#NaN".
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::float_type {

// Switches of the options object: pretty? tidies float text, full? is kept
// for the options object to read back.
extern bool pretty;
extern bool full;

constexpr double epsilon = 2.220446049250313e-16;

// Text kinds of to_text.
enum TextKind : int32_t {
    kind_float32 = 0,          // a 32-bit vector element
    kind_double = 1,           // float!
    kind_float32_percent = 2,  // percentage of a 32-bit element (already x100)
    kind_percent = 3,          // percent! (already x100)
    kind_seconds = 4,          // the seconds of a time
    kind_point = 5,            // a coordinate of the point types
};

// Text of x in a static buffer overwritten by the next call.
const char* to_text(double x, int32_t kind);

bool is_nan(double x);
bool is_special(double x);  // infinite or NaN
bool almost_equal(double a, double b);
bool almost_equal32(float a, float b);

// a op b with the operator codes of integer_type::MathOp (add to remainder).
double apply_op(double a, double b, int32_t op);

// The arithmetic action on the current frame: arg(0) is an integer!,
// float!, percent! or time! and receives the result, arg(1) the other
// operand.
void do_math(int32_t op);

// Rounds x by the scale (nullptr: 1.0, or 0.01 for a percent!) and writes
// the result to result: the scale's type when one is given, else type.
void round_value(double x, uint8_t type, const Cell* scale, bool even, bool down, bool half_down, bool floor,
                 bool ceiling, bool half_ceiling, Cell* result);

// A random double between 0 and x.
double random_up_to(double x, bool secure);

// (x + 0.49999999999999994) truncated toward zero; out of range and NaN
// clamp to the 32-bit limits (NaN to 0).
int32_t truncate_to_integer(double x);

// The double of an integer!, char!, float!, percent! or time! cell.
double number_of(const Cell* c);

Cell* make_at(Cell* c, double x);
Cell* push(double x);
void push_new(uint32_t block, double x);
void set_result(double x);

// The compare handler, also used by integer! against a double.
int32_t compare(const Cell* a, const Cell* b, int32_t op);

void init();

}  // namespace vum::float_type
