// time!: a duration or a time of day, held as a double count of seconds
// (negative times allowed, hours not limited to 24). Arithmetic, comparison
// and rounding are float!'s, with the rules that keep a time a time; the
// text form is hours:minutes:seconds. date! reuses the field splitting, the
// text form and the makers.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::time_type {

enum Field : int32_t { field_hour = 1, field_minute = 2, field_second = 3 };

// The hours toward zero; math overflow beyond 32 bits, infinity and NaN.
int32_t hours(double seconds);
// The minutes within the hour of |seconds|, 0 to 59.
int32_t minutes(double seconds);

// 1, 2 or 3 for a word spelled hour, minute or second (in any letter case);
// otherwise -1, except that when value is a time! any other word raises
// script cannot-use naming the word and the value.
int32_t field_index(const Cell* word, const Cell* value);

// The field of a time: hour and minute as integer!, second as a float!
// keeping the time's sign.
void get_field(double seconds, int32_t index, Cell* out);

Cell* make_at(Cell* c, double seconds);
Cell* push(double seconds);
void push_new(uint32_t block, double seconds);

// Appends the text form of the seconds to a string node within a part
// limit (in force when arg is not null); returns the limit less what was
// written.
int32_t to_text(double seconds, uint32_t buffer, const Cell* arg, int32_t limit);

void init();

}  // namespace vum::time_type
