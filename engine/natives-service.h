// What the service and output natives keep for the rest of the runtime.
#pragma once
#include <cstdint>

namespace vum {
struct Cell;
}

namespace vum::natives {

// The fields of an instant that now reports: local, or UTC with utc.
struct Moment {
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t weekday;       // Monday = 1
    int32_t yearday;       // January 1 = 1
    int32_t zone_minutes;  // east of UTC, in whole quarter hours toward zero
    double time;           // seconds since the day's midnight; whole unless precise
};
Moment moment_at(int64_t seconds, int64_t nanoseconds, bool utc, bool precise);

// The newline flag of the last print (1) or prin (0); 1 before any.
int32_t last_newline();

// Where printed text goes while no value hook is registered: standard
// output, through the same buffered channel as the console's own writes,
// so that both keep their order.
void write_to_standard_output(const Cell* text, int32_t newline);

}  // namespace vum::natives
