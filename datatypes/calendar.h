// Calendar arithmetic for date!: the packed date word, the day number (a
// count of days in the proleptic Gregorian calendar, day 0 = 1 March of
// year 0) and everything computed through it: weekdays, days of the year,
// week numbers, zones, and the carrying of whole days out of a time of day.
//
// The date word: year << 17 | has-time << 16 | month << 12 | day << 7 | zone,
// the year signed (bits 17-31). The zone (bits 0-6): bit 6 the sign (set
// west of UTC), bits 2-5 whole hours, bits 0-1 quarter hours.
//
// A date's time is a double: the local time of day minus the zone offset,
// that is universal time counted from the midnight that begins the local
// calendar date. After normalising, time + zone offset lies in [0, 86400).
//
// Divisions of negative values floor throughout, so the counts are right
// for years 0 and below as well as after.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::calendar {

constexpr int32_t seconds_per_day = 86400;
constexpr uint32_t flag_time = 1u << 16;
constexpr uint32_t zone_mask = 0x7F;
constexpr uint32_t zone_west = 0x40;
// The years a date may have: those its literals are read in, so that
// every date molds to text that loads back (the 15 signed bits of the date
// word would hold -16384 to 16383).
constexpr int32_t min_year = -9999;
constexpr int32_t max_year = 9999;

inline int32_t year_of(uint32_t bits) { return int32_t(bits) >> 17; }
inline int32_t month_of(uint32_t bits) { return int32_t(bits >> 12 & 0xF); }
inline int32_t day_of(uint32_t bits) { return int32_t(bits >> 7 & 0x1F); }
inline uint32_t zone_of(uint32_t bits) { return bits & zone_mask; }
inline bool has_time(uint32_t bits) { return (bits & flag_time) != 0; }

// The year must lie in min_year..max_year, month 1-12, day 1-31.
uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone, bool time);

// Zone bits from an offset in minutes east of UTC: whole hours (kept to
// 0-15) and quarter hours, the sign taken from the offset itself so that a
// zone under an hour west keeps it.
uint32_t zone_from_minutes(int32_t minutes);
// The zone's offset east of UTC, in seconds.
int32_t zone_offset(uint32_t zone);

bool leap_year(int64_t year);
int32_t month_length(int64_t year, int32_t month);

// The day number of a year, month (1-12) and day (any value: days beyond
// the month, or 0 and below, count on from the month's first day).
int64_t days_from(int64_t year, int32_t month, int64_t day);
// The day number of a date word.
int32_t days_of(uint32_t bits);
// True when the day number falls within the years a date word holds.
bool day_in_range(int64_t days);
// The date word of a day number; math overflow beyond the years a date
// word holds.
uint32_t from_days(int64_t days, uint32_t zone, bool time);

// 1 Monday ... 7 Sunday.
int32_t weekday(int64_t days);
// Day number of 1 January of the date's year.
int32_t year_start(uint32_t bits);
// Day of the year, 1-based.
int32_t year_day(uint32_t bits);
// Day number of the Monday that begins ISO week 1 of the date's year; the
// weekday of 1 January (1-7) goes to *jan1_weekday when it is not null.
int32_t iso_week_start(uint32_t bits, int32_t* jan1_weekday);
// Sunday-based week: week 1 holds 1 January.
int32_t week(uint32_t bits);
// ISO 8601 week number.
int32_t iso_week(uint32_t bits);

// Seconds since 1 January 1970, universal.
double epoch_seconds(uint32_t bits, double time);

double local_time(double time, uint32_t zone);
double universal_time(double time, uint32_t zone);

// Moves whole days out of the time into the day number, so that the local
// time (time + zone offset) lies in [0, 86400); the time keeps its
// universal meaning. A time that is not finite, or too many days, raise
// math overflow.
int64_t carry_days(int64_t days, double* time, uint32_t zone);

// A date word and its time, the two halves of a date! cell.
struct Date {
    uint32_t bits;
    double time;
};

// The date with the time given, the time first taken as local when
// subtract_zone is set; days carry and the word is rebuilt with the same
// zone and has-time bit.
Date normalize(Date d, double time, bool subtract_zone);
// Moved to a day number, keeping the zone, the has-time bit and the time.
Date at_day(Date d, int64_t days);

// The Monday of ISO week w of the date's year.
Date set_week(Date d, int64_t w);
// The day with weekday k (1 Monday) in the date's Monday-based week.
Date set_weekday(Date d, int64_t k);
// Day k of the date's year.
Date set_yearday(Date d, int64_t k);
// Month a of the date's year, any value: months out of 1-12 carry into
// years, a day beyond the new month's end into the next month.
Date set_month(Date d, int64_t a);
// The Sunday that begins the Sunday-based week w (1 January for w <= 1).
Date set_sunday_week(Date d, int64_t w);

// A new zone from an integer! (hours) or time! value (other values raise
// script invalid-arg). keep_instant off keeps the local time of day, on
// keeps the universal instant (the local date and time shift). Sets the
// has-time bit.
Date set_zone(Date d, const Cell* value, bool keep_instant);

// The seconds from b to a.
double difference(Date a, Date b);

}  // namespace vum::calendar
