// integer!: the language's signed 32-bit whole number. Its arithmetic never
// wraps: a sum, difference or product that leaves the 32-bit range, and a
// quotient that is not whole, come back as a float! holding the exact (or
// correctly rounded) result.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::integer_type {

// Operator codes of the arithmetic kernels, shared with float!.
enum MathOp : int32_t {
    math_add = 0,
    math_subtract = 1,
    math_multiply = 2,
    math_divide = 3,
    math_remainder = 4,
    math_or = 5,
    math_and = 6,
    math_xor = 7,
};

// The action slot of an operator code, for the errors that name the action.
int32_t action_slot(int32_t op);

inline int32_t sign(int32_t n) { return (n > 0) - (n < 0); }

// |n|; -2147483648 raises math overflow.
int32_t abs_checked(int32_t n);

// data shifted by bits (a negative count is 0): to the right keeping the
// sign, to the left, or to the right filling with zeros. A count of 32 or
// more shifts everything out.
enum class Shift : int32_t { right, left, logical };
int32_t shift(int32_t data, int32_t bits, Shift kind);

// Decimal text of n in a static buffer that the next call overwrites.
const char* to_text(int32_t n);
// The same held by the caller, without a terminating NUL.
class Decimal {
public:
    explicit Decimal(int32_t n);
    const char* data() const { return text_; }
    int32_t size() const { return size_; }

private:
    char text_[11];  // "-2147483648" at most
    int32_t size_;
};

// The longest decimal text of an integer!, "-2147483648".
constexpr int32_t max_decimal_size = 11;
// How many characters the decimal text of n takes, its minus sign included.
int32_t decimal_size(int32_t n);
// Writes the decimal text of n at out, which has room for decimal_size(n)
// characters (no terminating NUL), and returns that size: the way to put
// digits straight into their destination.
int32_t write_decimal(int32_t n, char* out);

// a op b. With a result cell the result is written there too: an integer!,
// or a float! when add, subtract or multiply overflow, or a division is not
// exact. Without one, an overflowing result is the low 32 bits.
int32_t apply_op(int32_t op, int32_t a, int32_t b, Cell* result);

// The arithmetic action on the current frame: arg(0) is the integer and
// the result, arg(1) the other operand.
void do_math(int32_t op);

Cell* make_at(Cell* c, int32_t n);
Cell* push(int32_t n);
void push_new(uint32_t block, int32_t n);
void set_result(int32_t n);

// Appends ASCII text to a string node within a part limit (in force when
// arg is not null); returns the limit less what was written. Shared by the
// number types' form and mold.
int32_t append_limited(uint32_t buffer, const char* text, const Cell* arg, int32_t limit);

// The random source of the number types: a random integer from 1 to n (n
// above 0) or from n to -1 (n below 0); 0 for 0. The secure flag asks for
// the operating system's source.
int32_t random_in_range(int32_t n, bool secure);

// The type of power's exponent: integer! or float!, else script expect-arg.
uint8_t check_power_exponent(const Cell* exponent);
void random_seed(uint32_t seed);

void init();

}  // namespace vum::integer_type
