#include "datatypes/calendar.h"

#include <cmath>
#include <cstdlib>

#include "datatypes/time.h"
#include "memory/raise-error.h"

namespace vum::calendar {

namespace {

// Division and remainder rounding toward minus infinity: day 0 lies in
// year 0, and years before it must count their leap days the same way as
// the years after.
int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days from 1 March of year 0 to 1 March of year y.
int64_t days_before_march(int64_t y) {
    return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
}

[[noreturn]] void raise_overflow() { errors::raise(err::math::overflow); }

const int64_t first_day = days_from(min_year, 1, 1);
const int64_t last_day = days_from(max_year, 12, 31);

}  // namespace

uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone, bool time) {
    return uint32_t(year) << 17 | (time ? flag_time : 0) | uint32_t(month) << 12 | uint32_t(day) << 7 |
           (zone & zone_mask);
}

uint32_t zone_from_minutes(int32_t minutes) {
    bool west = minutes < 0;
    uint32_t magnitude = west ? uint32_t(-int64_t(minutes)) : uint32_t(minutes);
    uint32_t hours = magnitude / 60 & 0xF;
    uint32_t quarters = magnitude % 60 / 15;
    uint32_t bits = hours << 2 | quarters;
    // A zone of no offset has no sign: -0:00 would mold as one.
    return bits && west ? bits | zone_west : bits;
}

int32_t zone_offset(uint32_t zone) {
    int32_t seconds = int32_t(zone >> 2 & 0xF) * 3600 + int32_t(zone & 3) * 15 * 60;
    return zone & zone_west ? -seconds : seconds;
}

bool leap_year(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t month_length(int64_t year, int32_t month) {
    static const int32_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : lengths[month - 1];
}

int64_t days_from(int64_t year, int32_t month, int64_t day) {
    int64_t m = (month + 9) % 12;  // March = 0
    int64_t y = year - m / 10;     // January and February end the year before
    return days_before_march(y) + (306 * m + 5) / 10 + (day - 1);
}

int32_t days_of(uint32_t bits) { return int32_t(days_from(year_of(bits), month_of(bits), day_of(bits))); }

bool day_in_range(int64_t days) { return days >= first_day && days <= last_day; }

uint32_t from_days(int64_t g, uint32_t zone, bool time) {
    if (!day_in_range(g)) raise_overflow();
    // The estimate is exact to a year; a cycle of 400 years is 146097 days
    // and 400 x 3652425 / 10000 of them, so flooring keeps it exact for
    // negative day numbers too.
    int64_t y = int64_t(std::floor((10000.0 * double(g) + 14780.0) / 3652425.0));
    int64_t ddd = g - days_before_march(y);
    if (ddd < 0) {
        y -= 1;
        ddd = g - days_before_march(y);
    }
    int64_t mi = (100 * ddd + 52) / 3060;
    int32_t month = int32_t((mi + 2) % 12 + 1);
    int32_t year = int32_t(y + (mi + 2) / 12);
    int32_t day = int32_t(ddd - (mi * 306 + 5) / 10 + 1);
    return pack(year, month, day, zone, time);
}

int32_t weekday(int64_t days) { return int32_t(floor_mod(days + 2, 7)) + 1; }

int32_t year_start(uint32_t bits) { return int32_t(days_from(year_of(bits), 1, 1)); }

int32_t year_day(uint32_t bits) { return days_of(bits) - year_start(bits) + 1; }

namespace {

int64_t iso_start_of_year(int64_t year, int32_t* jan1_weekday) {
    int64_t j = days_from(year, 1, 1);
    int64_t b = floor_mod(j + 2, 7);  // 0 = Monday
    if (jan1_weekday) *jan1_weekday = int32_t(b) + 1;
    return b < 4 ? j - b : j - b + 7;  // 1 January is Monday to Thursday: its week is week 1
}

}  // namespace

int32_t iso_week_start(uint32_t bits, int32_t* jan1_weekday) {
    return int32_t(iso_start_of_year(year_of(bits), jan1_weekday));
}

int32_t week(uint32_t bits) {
    int32_t e = int32_t(floor_mod(year_start(bits) + 3, 7));  // 0 = Sunday
    int32_t d = year_day(bits);
    return d <= 7 - e ? 1 : (d + e - 1) / 7 + 1;
}

int32_t iso_week(uint32_t bits) {
    int32_t jan1 = 0;
    int32_t s = iso_week_start(bits, &jan1);
    int32_t n = days_of(bits);
    if (n < s) {
        // The last week of the year before.
        if (jan1 == 5) return 53;
        if (jan1 == 6) return leap_year(year_of(bits) - 1) ? 53 : 52;
        return 52;
    }
    int64_t s_next = iso_start_of_year(int64_t(year_of(bits)) + 1, nullptr);
    return n < s_next ? (n - s) / 7 + 1 : 1;
}

double epoch_seconds(uint32_t bits, double time) {
    int64_t days = days_of(bits) - days_from(1970, 1, 1);
    // Rounded to the nearest second, halves up, for negative stored times
    // (a zone east of UTC near midnight) as for positive ones.
    return double(days) * seconds_per_day + std::floor(time + 0.5);
}

double local_time(double time, uint32_t zone) { return time + zone_offset(zone); }
double universal_time(double time, uint32_t zone) { return time - zone_offset(zone); }

int64_t carry_days(int64_t days, double* time, uint32_t zone) {
    if (!std::isfinite(*time)) raise_overflow();
    double offset = zone_offset(zone);
    double k = std::floor((*time + offset) / seconds_per_day);
    if (std::fabs(k) > 1e8) raise_overflow();
    days += int64_t(k);
    *time -= k * seconds_per_day;
    // Rounding may leave the local time a hair outside the day.
    if (*time + offset < 0) {
        days -= 1;
        *time += seconds_per_day;
    } else if (*time + offset >= seconds_per_day) {
        days += 1;
        *time -= seconds_per_day;
    }
    return days;
}

Date normalize(Date d, double time, bool subtract_zone) {
    uint32_t zone = zone_of(d.bits);
    if (subtract_zone) time = universal_time(time, zone);
    int64_t days = carry_days(days_of(d.bits), &time, zone);
    return {from_days(days, zone, has_time(d.bits)), time};
}

Date at_day(Date d, int64_t days) { return {from_days(days, zone_of(d.bits), has_time(d.bits)), d.time}; }

Date set_week(Date d, int64_t w) { return at_day(d, iso_week_start(d.bits, nullptr) + 7 * w - 7); }

Date set_weekday(Date d, int64_t k) {
    int64_t n = days_of(d.bits);
    return at_day(d, n + k - floor_mod(n + 2, 7) - 1);
}

Date set_yearday(Date d, int64_t k) { return at_day(d, year_start(d.bits) + k - 1); }

Date set_month(Date d, int64_t a) {
    // Month 0 is December of the year before, -11 January of the year
    // before, 13 January of the next.
    int64_t year = year_of(d.bits) + floor_div(a - 1, 12);
    int32_t month = int32_t(floor_mod(a - 1, 12)) + 1;
    return at_day(d, days_from(year, month, day_of(d.bits)));
}

Date set_sunday_week(Date d, int64_t w) {
    int64_t j = year_start(d.bits);
    if (w <= 1) return at_day(d, j);
    int64_t e = floor_mod(j + 3, 7);  // weekday of 1 January, 0 = Sunday
    return at_day(d, j + 7 * w - e - 7);
}

Date set_zone(Date d, const Cell* value, bool keep_instant) {
    int32_t minutes = 0;
    switch (cell::type(value)) {
        case type_integer:
            minutes = cell::get_integer(value) % 16 * 60;
            break;
        case type_time: {
            double x = std::fmod(cell::get_double(value), 57600.0);  // within 16 hours
            if (!std::isfinite(x)) errors::raise(err::script::invalid_arg, value);
            int32_t magnitude = std::abs(time_type::hours(x)) * 60 + time_type::minutes(x);
            minutes = x < 0 ? -magnitude : magnitude;
            break;
        }
        default:
            errors::raise(err::script::invalid_arg, value);
    }
    uint32_t old_zone = zone_of(d.bits), zone = zone_from_minutes(minutes);
    uint32_t bits = (d.bits & ~zone_mask) | zone | flag_time;
    if (keep_instant) return normalize({bits, d.time}, d.time, false);
    double local = local_time(d.time, old_zone);
    return {bits, universal_time(local, zone)};
}

double difference(Date a, Date b) {
    return double(int64_t(days_of(a.bits)) - days_of(b.bits)) * seconds_per_day + (a.time - b.time);
}

}  // namespace vum::calendar
