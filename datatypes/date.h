// date!: a calendar date with an optional time of day and time zone,
// written 1-Jan-2020/10:30:00+01:00. Values are immediate: word 1 of the
// cell is the packed date word (datatypes/calendar.h), words 2-3 a double,
// the local time of day minus the zone offset (0 without a time). The
// calendar work is calendar's; this module is the datatype: its makers,
// action handlers, path fields and text form.
#pragma once
#include <cstdint>

#include "datatypes/calendar.h"
#include "datatypes/number-scanners.h"
#include "memory/cell.h"

namespace vum::date_type {

// Path fields and pick indexes.
enum Field : int32_t {
    field_date = 1, field_year, field_month, field_day, field_zone, field_time, field_hour, field_minute,
    field_second, field_weekday, field_yearday, field_timezone, field_week, field_isoweek,
};

inline calendar::Date date_of(const Cell* c) { return {c->w1, cell::get_double(c)}; }

// A date cell from a date word and its (stored) time.
Cell* make_from(Cell* c, uint32_t bits, double time);
inline Cell* make_from(Cell* c, calendar::Date d) { return make_from(c, d.bits, d.time); }

// From a valid calendar date and a local time of day, with the zone an
// offset in minutes east of UTC (whole quarter hours are kept). Without a
// time the date has neither time nor zone.
Cell* make_at(Cell* c, int32_t year, int32_t month, int32_t day, double local_time, int32_t zone_minutes,
              bool has_time);
// A universal time of day from its parts (file times).
Cell* make_at_from_fields(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                          int32_t second, int32_t nanoseconds);
Cell* push(uint32_t bits, double time);
void append_to_block(uint32_t block, uint32_t bits, double time);

// One field of a date, by the indexes above.
void get_field(const Cell* date, int32_t index, Cell* out);
void push_field(const Cell* date, int32_t index);

// Seconds since 1 January 1970 universal, rounded to the second.
double epoch_seconds(const Cell* date);

// The time! from b to a, into result (which may be a).
void difference(const Cell* a, const Cell* b, Cell* result);

// The arithmetic action on the current frame with a date! left operand,
// arg(0), which receives the result.
void do_math(int32_t op);
// An integer! or time! left operand with a date! right one: add swaps them
// and adds; other operations do not apply.
void number_first_math(int32_t op);

void init();

// The maker of date literals, from the fields the lexer checked: false (a
// syntax error) for a year the calendar does not hold.
bool make_from_literal(const scan::DateFields& f, Cell* result);

}  // namespace vum::date_type
