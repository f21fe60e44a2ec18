#include <gtest/gtest.h>

#include <cmath>

#include "datatype-fixture.h"
#include "datatypes/calendar.h"
#include "datatypes/date.h"

using namespace vum;
using calendar::Date;

namespace {

class CalendarTest : public DatatypeTest {};

// The day number as first written, with divisions truncating: right for
// year 1 and later, which must keep their numbers.
int64_t truncating_days(int64_t year, int64_t month, int64_t day) {
    int64_t m = (month + 9) % 12;
    int64_t y = year - m / 10;
    return 365 * y + y / 4 - y / 100 + y / 400 + (306 * m + 5) / 10 + (day - 1);
}

// Every day of the years the literals allow: the day numbers run on by one
// from day to day, turn back into the same date, and agree with the
// truncating formula from year 1 on.
TEST_F(CalendarTest, EveryDayFromYearMinus9999To9999) {
    int64_t expected = calendar::days_from(-9999, 1, 1);
    for (int32_t y = -9999; y <= 9999; y++) {
        for (int32_t m = 1; m <= 12; m++) {
            for (int32_t d = 1, n = calendar::month_length(y, m); d <= n; d++, expected++) {
                uint32_t bits = calendar::pack(y, m, d, 0, false);
                int32_t days = calendar::days_of(bits);
                ASSERT_EQ(days, expected) << y << "-" << m << "-" << d;
                ASSERT_EQ(calendar::from_days(days, 0, false), bits) << y << "-" << m << "-" << d;
                if (y >= 1) {
                    ASSERT_EQ(days, truncating_days(y, m, d)) << y << "-" << m << "-" << d;
                }
            }
        }
    }
}

TEST_F(CalendarTest, FixedPoints) {
    EXPECT_EQ(calendar::days_from(0, 3, 1), 0);
    EXPECT_EQ(calendar::days_from(0, 2, 29), -1);  // year 0 is a leap year
    EXPECT_EQ(calendar::days_from(-1, 3, 1), -366);  // over 29 February of year 0
    EXPECT_EQ(calendar::weekday(0), 3);  // 1 March of year 0 was a Wednesday
    EXPECT_EQ(calendar::weekday(-1), 2);
    EXPECT_EQ(calendar::weekday(calendar::days_from(2000, 1, 1)), 6);
    EXPECT_EQ(calendar::weekday(calendar::days_from(-1, 12, 31)), 5);  // a Friday, as 400 years on
    EXPECT_EQ(calendar::weekday(calendar::days_from(399, 12, 31)), 5);
    for (int64_t y : {0, -4, -400, 2000, 2024}) EXPECT_TRUE(calendar::leap_year(y)) << y;
    for (int64_t y : {-1, -100, 1900, 2023}) EXPECT_FALSE(calendar::leap_year(y)) << y;
    // ISO weeks on either side of year 0.
    EXPECT_EQ(calendar::iso_week(calendar::pack(0, 1, 1, 0, false)), 52);  // a Saturday after a common year
    EXPECT_EQ(calendar::iso_week(calendar::pack(-1, 12, 31, 0, false)), 52);
    EXPECT_EQ(calendar::year_day(calendar::pack(-4, 12, 31, 0, false)), 366);
}

TEST_F(CalendarTest, CarryingDays) {
    struct Case {
        double time;
        int32_t zone_minutes;
        int64_t days;
        double left;
    } cases[] = {
        {-1, 0, -1, 86399},        {86400, 0, 1, 0},         {86399.5, 0, 0, 86399.5},
        {-1800, 60, 0, -1800},     {-3601, 60, -1, 82799},   {82800, 60, 1, -3600},
        {-86400 * 3.0 - 1, 0, -4, 86399}, {88200, -30, 1, 1800},
    };
    for (const Case& c : cases) {
        double t = c.time;
        int64_t days = calendar::carry_days(0, &t, calendar::zone_from_minutes(c.zone_minutes));
        EXPECT_EQ(days, c.days) << c.time << " " << c.zone_minutes;
        EXPECT_EQ(t, c.left) << c.time << " " << c.zone_minutes;
    }
}

TEST_F(CalendarTest, Zones) {
    struct Case {
        int32_t minutes;
        uint32_t bits;
        int32_t offset;
    } cases[] = {
        {0, 0, 0},          {330, 5 << 2 | 2, 19800}, {-30, 0x40 | 2, -1800},
        {-480, 0x40 | 8 << 2, -28800}, {900, 15 << 2, 54000}, {-14, 0, 0},  // under a quarter: no zone, no sign
    };
    for (const Case& c : cases) {
        EXPECT_EQ(calendar::zone_from_minutes(c.minutes), c.bits) << c.minutes;
        EXPECT_EQ(calendar::zone_offset(c.bits), c.offset) << c.minutes;
    }
}

TEST_F(CalendarTest, Moves) {
    Date d{calendar::pack(2020, 1, 31, 8, true), 3600};
    auto ymd = [](Date x) {
        return std::to_string(calendar::year_of(x.bits)) + "-" + std::to_string(calendar::month_of(x.bits)) + "-" +
               std::to_string(calendar::day_of(x.bits));
    };
    EXPECT_EQ(ymd(calendar::set_month(d, 13)), "2021-1-31");
    EXPECT_EQ(ymd(calendar::set_month(d, 0)), "2019-12-31");
    EXPECT_EQ(ymd(calendar::set_month(d, -11)), "2019-1-31");
    EXPECT_EQ(ymd(calendar::set_month(d, -12)), "2018-12-31");
    EXPECT_EQ(ymd(calendar::set_month(d, 2)), "2020-3-2");
    EXPECT_EQ(ymd(calendar::set_week(d, 1)), "2019-12-30");
    EXPECT_EQ(ymd(calendar::set_weekday(d, 1)), "2020-1-27");
    EXPECT_EQ(ymd(calendar::set_yearday(d, 366)), "2020-12-31");
    // The moves keep the zone, the time flag and the time.
    Date moved = calendar::set_month(d, 5);
    EXPECT_EQ(calendar::zone_of(moved.bits), 8u);
    EXPECT_TRUE(calendar::has_time(moved.bits));
    EXPECT_EQ(moved.time, 3600);
}

TEST_F(CalendarTest, EpochSeconds) {
    uint32_t epoch = calendar::pack(1970, 1, 1, 0, true);
    EXPECT_EQ(calendar::epoch_seconds(epoch, 0), 0);
    EXPECT_EQ(calendar::epoch_seconds(calendar::pack(1969, 12, 31, 0, true), 86399), -1);
    EXPECT_EQ(calendar::epoch_seconds(epoch, -1800), -1800);  // 1-Jan-1970/0:00+00:30
    EXPECT_EQ(calendar::epoch_seconds(epoch, 0.5), 1);
    EXPECT_EQ(calendar::epoch_seconds(epoch, -0.5), 0);
}

TEST_F(CalendarTest, BeyondTheYearsADateHolds) {
    Cell e = caught([] { calendar::from_days(calendar::days_from(calendar::max_year, 12, 31) + 1, 0, false); });
    EXPECT_EQ(error_id(e), "overflow");
    e = caught([] { calendar::from_days(calendar::days_from(calendar::min_year, 1, 1) - 1, 0, false); });
    EXPECT_EQ(error_id(e), "overflow");
    e = caught([] {
        double t = NAN;
        calendar::carry_days(0, &t, 0);
    });
    EXPECT_EQ(error_id(e), "overflow");
    EXPECT_EQ(calendar::year_of(calendar::from_days(calendar::days_from(calendar::min_year, 1, 1), 0, false)),
              calendar::min_year);
}

// File times: a universal time from its parts, nanoseconds as the fraction.
TEST_F(CalendarTest, MakerFromFields) {
    Cell c;
    date_type::make_at_from_fields(&c, 2020, 1, 2, 3, 4, 5, 500000000);
    EXPECT_EQ(mold(c), "2-Jan-2020/3:04:05.5");
    date_type::make_at(&c, 2020, 1, 1, 30 * 60, -60, true);
    EXPECT_EQ(mold(c), "1-Jan-2020/0:30:00-01:00");
    EXPECT_EQ(cell::get_double(&c), 5400);
}

}  // namespace
