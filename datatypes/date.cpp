#include "datatypes/date.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::date_type {

namespace {

using namespace actions;
using calendar::Date;

constexpr double seconds_per_day = calendar::seconds_per_day;

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

[[noreturn]] void raise_not_related(int32_t slot, uint8_t t) {
    Cell name = actions::word(slot), type = cell::make_datatype(t);
    errors::raise(err::script::not_related, &name, &type);
}

[[noreturn]] void raise_invalid_arg(const Cell* value) {
    errors::raise(err::script::invalid_arg, value);
}

// The date cell rewritten in place, keeping its new-line mark.
void store(Cell* c, Date d) {
    uint32_t flags = c->header & cell::flag_new_line;
    make_from(c, d);
    c->header |= flags;
}

// ---- make and to

// What a make or to spec block gives: the values by the slot they fill.
struct Spec {
    int32_t count = 0;
    int64_t day = 0, month = 0, year = 0;
    bool has_hour = false, has_minute = false, has_time_value = false;
    int32_t hour = 0, minute = 0, second = 0;
    double second_float = 0, time_value = 0;
    bool has_zone_time = false;
    int32_t zone_hours = 0, zone_minutes = 0;
    double zone_time = 0;
};

enum Slot : int8_t {
    s_error, s_day, s_month, s_year, s_hour, s_minute, s_second, s_second_float, s_time, s_zone_hours,
    s_zone_minutes, s_zone_time,
};
enum ValueClass : int32_t { class_integer, class_time, class_float };
struct Step {
    int8_t next;
    Slot slot;
};

// By state and value class: the state after the value and the slot it
// fills. States without a way on (5, 7, 11 and 13 end the spec) refuse
// any further value.
const Step steps[14][3] = {
    /* 0 */ {{1, s_day}, {0, s_error}, {0, s_error}},
    /* 1 */ {{2, s_month}, {0, s_error}, {0, s_error}},
    /* 2 */ {{3, s_year}, {0, s_error}, {0, s_error}},
    /* 3 */ {{8, s_hour}, {4, s_time}, {0, s_error}},
    /* 4 */ {{6, s_zone_hours}, {5, s_zone_time}, {0, s_error}},
    /* 5 */ {{0, s_error}, {0, s_error}, {0, s_error}},
    /* 6 */ {{7, s_zone_minutes}, {0, s_error}, {0, s_error}},
    /* 7 */ {{0, s_error}, {0, s_error}, {0, s_error}},
    /* 8 */ {{9, s_minute}, {0, s_error}, {0, s_error}},
    /* 9 */ {{10, s_second}, {0, s_error}, {10, s_second_float}},
    /* 10 */ {{12, s_zone_hours}, {11, s_zone_time}, {0, s_error}},
    /* 11 */ {{0, s_error}, {0, s_error}, {0, s_error}},
    /* 12 */ {{13, s_zone_minutes}, {0, s_error}, {0, s_error}},
    /* 13 */ {{0, s_error}, {0, s_error}, {0, s_error}},
};

Spec read_spec(const Cell* spec) {
    Spec s;
    int32_t n = series::length_from_head(spec);
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    int32_t state = 0;
    for (int32_t i = 0; i < n; i++) {
        const Cell* v = items + i;
        ValueClass k;
        switch (cell::type(v)) {
            case type_integer: k = class_integer; break;
            case type_time: k = class_time; break;
            case type_float: k = class_float; break;
            default: errors::raise_bad_to(type_date, spec);
        }
        Step step = steps[state][k];
        int32_t whole = k == class_integer ? cell::get_integer(v) : 0;
        double real = k == class_integer ? 0 : cell::get_double(v);
        switch (step.slot) {
            case s_error: errors::raise_bad_to(type_date, spec);
            case s_day: s.day = whole; break;
            case s_month: s.month = whole; break;
            case s_year: s.year = whole; break;
            case s_hour: s.hour = whole, s.has_hour = true; break;
            case s_minute: s.minute = whole, s.has_minute = true; break;
            case s_second: s.second = whole; break;
            case s_second_float: s.second_float = real; break;
            case s_time: s.time_value = real, s.has_time_value = true; break;
            case s_zone_hours: s.zone_hours = whole; break;
            case s_zone_minutes: s.zone_minutes = whole; break;
            case s_zone_time: s.zone_time = real, s.has_zone_time = true; break;
        }
        state = step.next;
        s.count++;
    }
    if (s.count < 3) errors::raise_bad_to(type_date, spec);
    // Year first: [2020 2 1] is 1 February 2020.
    if (s.day > 99 && s.year < s.day) std::swap(s.day, s.year);
    return s;
}

// The zone's offset in minutes east of UTC, from a zone time or from zone
// hours and minutes; the sign is the value's own, so -0:30 stays west.
int32_t spec_zone_minutes(const Spec& s) {
    if (s.has_zone_time) {
        double x = std::fmod(s.zone_time, 57600.0);  // within 16 hours
        int32_t magnitude = std::abs(time_type::hours(x)) * 60 + time_type::minutes(x);
        return x < 0 ? -magnitude : magnitude;
    }
    int64_t hours = s.zone_hours % 16, minutes = std::abs(int64_t(s.zone_minutes)) % 60;
    bool west = hours < 0 || (hours == 0 && s.zone_minutes < 0);
    int32_t magnitude = int32_t(std::abs(hours) * 60 + minutes);
    return west ? -magnitude : magnitude;
}

void from_block(const Cell* spec, bool checked, Cell* result) {
    Spec s = read_spec(spec);
    // Months out of 1-12 carry into years, days beyond the month into the
    // next months.
    int64_t month_index = s.month - 1, year_shift = month_index / 12;
    if (month_index % 12 < 0) year_shift -= 1;
    int64_t year = s.year + year_shift;
    int32_t month = int32_t(month_index - year_shift * 12) + 1;
    int64_t days = calendar::days_from(year, month, s.day);
    if (!calendar::day_in_range(days)) errors::raise_bad_to(type_date, spec);
    bool has_time = s.count > 3;
    double time = 0;
    uint32_t zone = 0;
    if (has_time) {
        if (s.has_time_value) {
            time = s.time_value;
        } else {
            double second = s.second_float != 0 ? s.second_float : double(s.second);
            time = double(s.hour) * 3600 + double(s.minute) * 60 + second;
        }
        if (!(std::fabs(time) < 1e13)) errors::raise_bad_to(type_date, spec);  // also NaN
        days = calendar::carry_days(days, &time, 0);
        if (!calendar::day_in_range(days)) errors::raise_bad_to(type_date, spec);
    }
    uint32_t bits = calendar::from_days(days, 0, has_time);
    if (checked) {
        bool same = calendar::year_of(bits) == s.year && calendar::month_of(bits) == s.month &&
                    calendar::day_of(bits) == s.day;
        if (!same || (s.has_hour && (s.hour < 0 || s.hour > 23)) ||
            (s.has_minute && time_type::minutes(time) != s.minute))
            errors::raise_bad_to(type_date, spec);
    }
    if (has_time) {
        zone = calendar::zone_from_minutes(spec_zone_minutes(s));
        time = calendar::universal_time(time, zone);
        days = calendar::carry_days(days, &time, zone);
        if (!calendar::day_in_range(days)) errors::raise_bad_to(type_date, spec);
        bits = calendar::from_days(days, zone, true);
    }
    make_from(result, bits, time);
}

void date_make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    uint8_t t = cell::type(spec);
    if (t != type_block && t != type_paren && t != type_hash) errors::raise_bad_to(type_date, spec);
    from_block(spec, true, result);
}

void date_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    switch (cell::type(spec)) {
        case type_block: case type_paren: case type_hash:
            from_block(spec, false, result);
            return;
        case type_date:
            *result = *spec;
            return;
        case type_integer: {
            // Seconds since 1-Jan-1970 universal.
            int64_t seconds = cell::get_integer(spec);
            int64_t whole_days = seconds / 86400, rest = seconds % 86400;
            if (rest < 0) whole_days -= 1, rest += 86400;
            uint32_t bits = calendar::from_days(calendar::days_from(1970, 1, 1) + whole_days, 0, true);
            make_from(result, bits, double(rest));
            return;
        }
        default:
            errors::raise_bad_to(type_date, spec);
    }
}


// ---- text

// The first three characters of a month's name, from the `months` block of
// system/locale; English until the environment has a locale.
std::u32string month_name(int32_t month) {
    if (month < 1 || month > 12) return U"???";  // only a hand-made cell has one
    static const char* const english[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::u32string fallback(english[month - 1], english[month - 1] + 3);
    Cell name_word = {type_word, 0, uint32_t(runtime_symbols::id(runtime_symbols::sym_system)), 0};
    Cell locale_word = {type_word, 0, uint32_t(symbols::make("locale")), 0};
    Cell months_word = {type_word, 0, uint32_t(symbols::make("months")), 0};
    // No allocation from here on: the cells read stay where they are.
    const Cell* system = context::global_value_address(int32_t(name_word.w2));
    if (!system || cell::type(system) != type_object) return fallback;
    const Cell* locale = object_type::select_word(system, &locale_word);
    if (cell::type(locale) != type_object) return fallback;
    if (object_type::field_index(locale, &months_word) < 0) return fallback;
    const Cell* months = object_type::select_word(locale, &months_word);
    if (cell::type(months) != type_block || series::length_from_head(months) < month)
        errors::raise(err::script::invalid_months);
    const Cell* name = series::cells_head(months->w2) + months->w1 + month - 1;
    if (cell::type(name) != type_string) errors::raise(err::script::invalid_months);
    std::u32string text;
    int32_t length = string::length(name->w2);
    for (int32_t i = int32_t(name->w1); i < length && text.size() < 3; i++) text += char32_t(string::char_at(name->w2, i));
    return text;
}

std::string two_digits(int32_t n) { return std::string(1, char('0' + n / 10)) + char('0' + n % 10); }

int32_t date_text(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    Date d = date_of(value);
    int32_t year = calendar::year_of(d.bits);
    const char* separator = year >= 0 ? "-" : "/";
    std::u32string month = month_name(calendar::month_of(d.bits));
    std::string head = integer_type::to_text(calendar::day_of(d.bits));
    head += separator;
    limit = integer_type::append_limited(buffer, head.c_str(), arg, limit);
    for (char32_t c : month) {
        if (arg && limit <= 0) break;
        string::append_char(buffer, uint32_t(c));
        limit--;
    }
    std::string tail = separator;
    if (year < 0) tail += '-';
    int32_t magnitude = std::abs(year);
    std::string digits = integer_type::to_text(magnitude);
    if (magnitude < 100) tail += std::string(4 - digits.size(), '0');
    tail += digits;
    limit = integer_type::append_limited(buffer, tail.c_str(), arg, limit);
    if (!calendar::has_time(d.bits)) return limit;
    limit = integer_type::append_limited(buffer, "/", arg, limit);
    uint32_t zone = calendar::zone_of(d.bits);
    limit = time_type::to_text(calendar::local_time(d.time, zone), buffer, arg, limit);
    if (zone == 0) return limit;
    std::string z = zone & calendar::zone_west ? "-" : "+";
    z += two_digits(int32_t(zone >> 2 & 0xF)) + ":" + two_digits(int32_t(zone & 3) * 15);
    return integer_type::append_limited(buffer, z.c_str(), arg, limit);
}

int32_t date_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    Cell v = *value;
    return date_text(&v, buffer, arg, limit);
}

int32_t date_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    Cell v = *value;
    return date_text(&v, buffer, arg, limit);
}

// ---- paths and pick

struct FieldName {
    runtime_symbols::Symbol symbol;
    int32_t index;
};
const FieldName field_names[] = {
    {runtime_symbols::sym_date, field_date},         {runtime_symbols::sym_year, field_year},
    {runtime_symbols::sym_month, field_month},       {runtime_symbols::sym_day, field_day},
    {runtime_symbols::sym_zone, field_zone},         {runtime_symbols::sym_time, field_time},
    {runtime_symbols::sym_hour, field_hour},         {runtime_symbols::sym_minute, field_minute},
    {runtime_symbols::sym_second, field_second},     {runtime_symbols::sym_weekday, field_weekday},
    {runtime_symbols::sym_yearday, field_yearday},   {runtime_symbols::sym_julian, field_yearday},
    {runtime_symbols::sym_timezone, field_timezone}, {runtime_symbols::sym_week, field_week},
    {runtime_symbols::sym_isoweek, field_isoweek},
};

// The field an element names, or -1.
int32_t index_of_element(const Cell* element) {
    uint8_t t = cell::type(element);
    if (t == type_integer) {
        int32_t n = cell::get_integer(element);
        return n >= field_date && n <= field_isoweek ? n : -1;
    }
    if (!is_word_kind(t)) return -1;
    int32_t symbol = symbols::resolve(int32_t(element->w2));
    for (const FieldName& f : field_names)
        if (symbol == symbols::resolve(runtime_symbols::id(f.symbol))) return f.index;
    return -1;
}

// A time of day with one of its fields replaced, by the time! path rules:
// the field moves by the difference from what it reads now.
double with_time_field(double x, int32_t index, const Cell* v) {
    double n = float_type::number_of(v);
    switch (index) {
        case field_hour: return x + (n - time_type::hours(x)) * 3600;
        case field_minute: return x + (x < 0 ? -1 : 1) * (n - time_type::minutes(x)) * 60;
        default: return x + (n - std::fmod(x, 60.0));
    }
}

Date with_field(Date d, int32_t index, const Cell* v) {
    using namespace calendar;
    uint8_t t = cell::type(v);
    switch (index) {
        case field_date:
            if (t != type_date) raise_invalid_arg(v);
            break;
        case field_time:
            if (t != type_time && t != type_none) raise_invalid_arg(v);
            break;
        case field_zone: case field_timezone:
            break;  // the zone change checks its value
        case field_second:
            if (t != type_integer && t != type_float) raise_invalid_arg(v);
            break;
        default:
            if (t != type_integer) raise_invalid_arg(v);
    }
    int64_t n = t == type_integer ? cell::get_integer(v) : 0;
    uint32_t zone = zone_of(d.bits);
    switch (index) {
        case field_date: {
            // The other date's calendar date and time flag; a date left
            // without a time has neither time nor zone.
            uint32_t other = v->w1;
            bool timed = has_time(other);
            uint32_t bits = pack(year_of(other), month_of(other), day_of(other), timed ? zone : 0, timed);
            return {bits, timed ? d.time : 0};
        }
        case field_year:
            return at_day(d, days_from(n, month_of(d.bits), day_of(d.bits)));
        case field_month:
            return set_month(d, n);
        case field_day:
            return at_day(d, days_from(year_of(d.bits), month_of(d.bits), n));
        case field_zone:
            return set_zone(d, v, false);
        case field_timezone:
            return set_zone(d, v, true);
        case field_time:
            if (t == type_none) return {d.bits & ~(flag_time | zone_mask), 0};
            return normalize({d.bits | flag_time, d.time}, cell::get_double(v), true);
        case field_hour: case field_minute: case field_second: {
            // The field is set in the local time of day, whatever the zone.
            double local = with_time_field(local_time(d.time, zone), index, v);
            return normalize({d.bits | flag_time, d.time}, local, true);
        }
        case field_weekday:
            return set_weekday(d, n);
        case field_yearday:
            return set_yearday(d, n);
        case field_week:
            return set_sunday_week(d, n);
        default:
            return set_week(d, n);
    }
}

void date_path(const PathStep& step, Cell* result) {
    int32_t index = index_of_element(step.element);
    if (index < 0) {
        const Cell* where = step.path ? step.path : step.parent;
        errors::raise(err::script::invalid_path, where, step.element);
    }
    if (!step.value) {
        get_field(step.parent, index, result);
        return;
    }
    Cell v = *step.value;
    Date d = with_field(date_of(step.parent), index, &v);
    // A date is held in its cell, not in a series: the new date goes to the
    // parent cell, which the path evaluator stores back in its container.
    store(const_cast<Cell*>(step.parent), d);
    *result = v;
    actions::field_set(step, &v);
}

void date_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    int32_t field = index_of_element(index);
    if (field < 0) errors::raise(err::script::out_of_range, index);
    get_field(value, field, result);
}

// ---- comparison

// Dates compare as instants: the other date's time is counted from this
// date's midnight, so two writings of one moment in different zones are
// equal even when their local dates differ. same? asks for the same
// writing too: date word and time bit for bit.
int32_t date_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_date) return not_comparable;
    Date x = date_of(a), y = date_of(b);
    if (op == op_same) {
        uint64_t bx, by;
        std::memcpy(&bx, &x.time, sizeof bx);
        std::memcpy(&by, &y.time, sizeof by);
        return x.bits == y.bits && bx == by ? 0 : 1;
    }
    int64_t shift = int64_t(calendar::days_of(y.bits)) - calendar::days_of(x.bits);
    double tx = x.time, ty = y.time + double(shift) * seconds_per_day;
    bool equal = float_type::almost_equal(tx, ty);
    switch (op) {
        case op_equal: case op_not_equal: case op_strict_equal: case op_find:
        case op_equal_path_10: case op_equal_path_11:
            return equal ? 0 : 1;
        default:
            if (equal) return 0;
            return tx < ty ? -1 : 1;
    }
}

// ---- arithmetic

void date_add() { date_type::do_math(integer_type::math_add); }
void date_subtract() { date_type::do_math(integer_type::math_subtract); }

// ---- random

void date_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    Date d = date_of(value);
    if (seed) {
        integer_type::random_seed(d.bits + uint32_t(int32_t(std::trunc(d.time))));
        cell::make_unset(result);
        return;
    }
    int32_t n = calendar::days_of(d.bits);
    // Uniform over the days from the calendar's day 0 up to the date's.
    int32_t days = n > 0 ? integer_type::random_in_range(n, secure) - 1
                 : n < 0 ? integer_type::random_in_range(n, secure) + 1
                         : 0;
    if (!calendar::has_time(d.bits)) {
        make_from(result, calendar::from_days(days, 0, false), 0);
        return;
    }
    uint32_t zone = uint32_t(integer_type::random_in_range(128, secure) - 1);
    if ((zone & ~calendar::zone_west) == 0) zone = 0;
    double local = double(integer_type::random_in_range(3601, secure) - 1) / 3600.0 * seconds_per_day;
    Date r = calendar::normalize({calendar::from_days(days, zone, true), 0}, local, true);
    make_from(result, r);
}

}  // namespace

Cell* make_from(Cell* c, uint32_t bits, double time) {
    cell::make_header(c, type_date);
    c->w1 = bits;
    cell::set_double(c, time);
    return c;
}

Cell* make_at(Cell* c, int32_t year, int32_t month, int32_t day, double local_time, int32_t zone_minutes,
              bool has_time) {
    if (!has_time) return make_from(c, calendar::pack(year, month, day, 0, false), 0);
    uint32_t zone = calendar::zone_from_minutes(zone_minutes);
    Date d = calendar::normalize({calendar::pack(year, month, day, zone, true), 0}, local_time, true);
    return make_from(c, d);
}

Cell* make_at_from_fields(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                          int32_t second, int32_t nanoseconds) {
    double time = double(hour) * 3600 + double(minute) * 60 + double(second) + double(nanoseconds) * 1e-9;
    return make_at(c, year, month, day, time, 0, true);
}

Cell* push(uint32_t bits, double time) { return make_from(stack::push_cell(), bits, time); }

void append_to_block(uint32_t block, uint32_t bits, double time) {
    make_from(series::alloc_tail_cell(block), bits, time);
}

void get_field(const Cell* date, int32_t index, Cell* out) {
    using namespace calendar;
    Date d = date_of(date);
    uint32_t zone = zone_of(d.bits);
    bool timed = has_time(d.bits);
    double local = local_time(d.time, zone);
    switch (index) {
        case field_date: make_from(out, pack(year_of(d.bits), month_of(d.bits), day_of(d.bits), 0, false), 0); break;
        case field_year: cell::make_integer(out, year_of(d.bits)); break;
        case field_month: cell::make_integer(out, month_of(d.bits)); break;
        case field_day: cell::make_integer(out, day_of(d.bits)); break;
        case field_zone: case field_timezone:
            if (timed) time_type::make_at(out, zone_offset(zone));
            else cell::make_none(out);
            break;
        case field_time:
            if (timed) time_type::make_at(out, local);
            else cell::make_none(out);
            break;
        case field_hour: cell::make_integer(out, time_type::hours(local)); break;
        case field_minute: cell::make_integer(out, time_type::minutes(local)); break;
        case field_second: cell::make_float(out, std::fmod(local, 60.0)); break;
        case field_weekday: cell::make_integer(out, weekday(days_of(d.bits))); break;
        case field_yearday: cell::make_integer(out, year_day(d.bits)); break;
        case field_week: cell::make_integer(out, week(d.bits)); break;
        default: cell::make_integer(out, iso_week(d.bits)); break;
    }
}

void push_field(const Cell* date, int32_t index) {
    Cell d = *date;
    get_field(&d, index, stack::push_cell());
}

double epoch_seconds(const Cell* date) { return calendar::epoch_seconds(date->w1, cell::get_double(date)); }

void difference(const Cell* a, const Cell* b, Cell* result) {
    double seconds = calendar::difference(date_of(a), date_of(b));
    time_type::make_at(result, seconds);
}

void do_math(int32_t op) {
    Cell* left = stack::arg(0);
    const Cell* right = stack::arg(1);
    Date d = date_of(left);
    bool subtract = op == integer_type::math_subtract;
    switch (cell::type(right)) {
        case type_integer: {
            int64_t n = cell::get_integer(right);
            d = calendar::at_day(d, calendar::days_of(d.bits) + (subtract ? -n : n));
            break;
        }
        case type_time: {
            double t = cell::get_double(right);
            d = calendar::normalize({d.bits | calendar::flag_time, d.time}, subtract ? d.time - t : d.time + t,
                                    false);
            break;
        }
        case type_date: {
            if (!subtract) raise_not_related(integer_type::action_slot(op), type_date);
            // Whole days between them once the times' difference has
            // carried, in the first date's zone.
            Date other = date_of(right);
            double t = d.time - other.time;
            int64_t days = int64_t(calendar::days_of(d.bits)) - calendar::days_of(other.bits);
            days = calendar::carry_days(days, &t, calendar::zone_of(d.bits));
            cell::make_integer(left, int32_t(days));
            return;
        }
        default: {
            Cell type = cell::make_datatype(cell::type(right));
            errors::raise(err::script::invalid_type, &type);
        }
    }
    make_from(left, d);
}

void number_first_math(int32_t op) {
    Cell* left = stack::arg(0);
    Cell* right = stack::arg(1);
    if (op != integer_type::math_add) raise_not_related(integer_type::action_slot(op), cell::type(left));
    Cell number = *left;
    *left = *right;
    *right = number;
    date_type::do_math(op);
}

void init() {
    Row r(type_date, "date!");
    r.set<slot_make>(date_make)
        .set<slot_random>(date_random)
        .set<slot_to>(date_to)
        .set<slot_form>(date_form)
        .set<slot_mold>(date_mold)
        .set<slot_eval_path>(date_path)
        .set<slot_compare>(date_compare)
        .set<slot_add>(date_add)
        .set<slot_subtract>(date_subtract)
        .set<slot_pick>(date_pick);
    datatype::register_type(r);
}

bool make_from_literal(const scan::DateFields& f, Cell* result) {
    if (f.year < calendar::min_year || f.year > calendar::max_year) return false;
    make_at(result, f.year, f.month, f.day, f.seconds, f.has_zone ? f.zone * 15 : 0, f.has_time);
    return true;
}

}  // namespace vum::date_type
