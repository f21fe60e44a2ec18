#include "datatypes/number-scanners.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "base/float-text.h"
#include "datatypes/money.h"
#include "memory/unicode.h"

namespace vum::scan {

// ---- Numbers ----

bool float_text(const uint8_t* s, const uint8_t* e, double* out, int exponent_offset) {
    if (e - s >= 313 || e <= s) return false;
    char buffer[320];
    int32_t n = 0;
    for (const uint8_t* p = s; p < e; ++p) buffer[n++] = *p == ',' ? '.' : char(*p);
    if (!float_shape(buffer, n)) return false;
    int32_t kept = 0;
    for (int32_t i = 0; i < n; ++i)
        if (buffer[i] != '\'') buffer[kept++] = buffer[i];
    int unconsumed = 0;
    *out = floats::parse_text(buffer, buffer + kept, exponent_offset, &unconsumed);
    return unconsumed == 0;
}

// Decimal integer with single ' separators. More than 10 digits or a value
// beyond 32 bits is read again as a float (*is_float set).
bool integer_text(const uint8_t* s, const uint8_t* e, int32_t* n, double* d, bool* is_float) {
    const uint8_t* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p >= e || !is_digit(*p)) return false;
    int64_t v = 0;
    int digits = 0;
    bool previous_quote = false;
    for (; p < e; ++p) {
        if (*p == '\'') {
            if (previous_quote) return false;
            previous_quote = true;
            continue;
        }
        if (!is_digit(*p)) return false;
        previous_quote = false;
        if (++digits <= 11) v = v * 10 + (*p - '0');
    }
    if (previous_quote) return false;
    int64_t signed_v = negative ? -v : v;
    if (digits > 10 || signed_v > std::numeric_limits<int32_t>::max() ||
        signed_v < std::numeric_limits<int32_t>::min()) {
        *is_float = true;
        return float_text(s, e, d);
    }
    *is_float = false;
    *n = int32_t(signed_v);
    return true;
}

bool same_caseless(const uint8_t* p, size_t n, const char* word) {
    if (std::strlen(word) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
        if (c != uint8_t(word[i])) return false;
    }
    return true;
}

bool special_float(const uint8_t* s, const uint8_t* e, double* out) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    if (e - s != 6 || s[0] != '1' || s[1] != '.' || s[2] != '#') return false;
    if (same_caseless(s + 3, 3, "nan")) {
        *out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (same_caseless(s + 3, 3, "inf")) {
        *out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

bool time_text(const uint8_t* s, const uint8_t* e, double* out) {
    bool negative = false;
    const uint8_t* p = s;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const uint8_t* fields[3][2];
    int count = 0;
    const uint8_t* f = p;
    for (const uint8_t* q = p; q <= e; ++q)
        if (q == e || *q == ':') {
            if (count == 3) return false;
            fields[count][0] = f;
            fields[count][1] = q;
            ++count;
            f = q + 1;
        }
    if (count < 2) return false;
    for (int i = 0; i < count; ++i)
        if (fields[i][0] == fields[i][1]) return false;
    // Ten digits take every hour count a time molds with (up to 2^31 - 1).
    auto integer_field = [](const uint8_t* a, const uint8_t* b, int64_t* v) {
        if (b - a > 10) return false;
        *v = 0;
        for (; a < b; ++a) {
            if (!is_digit(*a)) return false;
            *v = *v * 10 + (*a - '0');
        }
        return *v <= std::numeric_limits<int32_t>::max();
    };
    auto seconds_field = [](const uint8_t* a, const uint8_t* b, double* v) {
        for (const uint8_t* q = a; q < b; ++q)
            if (!is_digit(*q) && *q != '.' && *q != ',') return false;
        return float_text(a, b, v);
    };
    int64_t h = 0, m = 0;
    double sec = 0;
    bool second_is_fraction = false;
    for (const uint8_t* q = fields[1][0]; q < fields[1][1]; ++q)
        if (*q == '.' || *q == ',') second_is_fraction = true;
    if (count == 2 && second_is_fraction) {
        if (!integer_field(fields[0][0], fields[0][1], &m)) return false;
        if (!seconds_field(fields[1][0], fields[1][1], &sec)) return false;
    } else {
        if (!integer_field(fields[0][0], fields[0][1], &h)) return false;
        if (!integer_field(fields[1][0], fields[1][1], &m)) return false;
        if (count == 3 && !seconds_field(fields[2][0], fields[2][1], &sec)) return false;
    }
    double total = double(h) * 3600 + double(m) * 60 + sec;
    *out = negative ? -total : total;
    return std::isfinite(*out);
}

// Tuple parts: digits separated by single dots, 0 to 255 each.
bool tuple_parts(const uint8_t* s, const uint8_t* e, uint8_t* parts, int32_t* count) {
    int32_t n = 0;
    int32_t v = -1;
    for (const uint8_t* p = s;; ++p) {
        if (p == e || *p == '.') {
            if (v < 0 || n == 12) return false;
            parts[n++] = uint8_t(v);
            if (p == e) break;
            v = -1;
            continue;
        }
        if (!is_digit(*p)) return false;
        v = (v < 0 ? 0 : v) * 10 + (*p - '0');
        if (v > 255) return false;
    }
    *count = n;
    return true;
}

Cell tuple_cell(const uint8_t* parts, int32_t count) {
    Cell c = {uint32_t(type_tuple) | uint32_t(count) << cell::tuple_length_shift, 0, 0, 0};
    std::memcpy(&c.w1, parts, size_t(count));
    return c;
}

// ---- Dates ----

namespace {

bool is_letter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// 1 for Monday to 7 for Sunday; day 0 (1970-01-01) was a Thursday.
int64_t iso_weekday(int64_t days) { return ((days % 7) + 7 + 3) % 7 + 1; }

bool leap_year(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t month_length(int32_t y, int32_t m) {
    static const int32_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : lengths[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, DateFields* f) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    f->year = int32_t(yoe + era * 400 + (m <= 2));
    f->month = int32_t(m);
    f->day = int32_t(d);
}

// A run of digits at *p (at most `most`); -1 when there is none.
int32_t digits_at(const uint8_t*& p, const uint8_t* e, int32_t most, int32_t* count) {
    int32_t v = 0;
    *count = 0;
    while (p < e && is_digit(*p) && *count < most) v = v * 10 + (*p++ - '0'), ++*count;
    return *count ? v : -1;
}

// A month: 1 to 12, or 3 to 9 letters that begin an English month name.
int32_t month_at(const uint8_t*& p, const uint8_t* e) {
    int32_t n;
    if (p < e && is_digit(*p)) {
        int32_t m = digits_at(p, e, 2, &n);
        return m >= 1 && m <= 12 ? m : -1;
    }
    static const char* names[12] = {"january", "february", "march",     "april",   "may",      "june",
                                    "july",    "august",   "september", "october", "november", "december"};
    const uint8_t* q = p;
    while (q < e && is_letter(*q)) ++q;
    size_t len = size_t(q - p);
    if (len < 3 || len > 9) return -1;
    for (int32_t m = 0; m < 12; ++m) {
        if (len > std::strlen(names[m])) continue;
        bool same = true;
        for (size_t i = 0; i < len && same; ++i) same = (p[i] | 0x20) == names[m][i];
        if (same) {
            p = q;
            return m + 1;
        }
    }
    return -1;
}

// hh:mm[:ss[.f]] or the compact hhmm[ss[.f]], as seconds of the day.
bool time_of_day_at(const uint8_t*& p, const uint8_t* e, double* seconds) {
    int32_t n;
    int32_t h, m, s = 0;
    int32_t lead = digits_at(p, e, 6, &n);
    if (lead < 0) return false;
    if (p < e && *p == ':') {
        if (n > 2) return false;
        h = lead;
        ++p;
        m = digits_at(p, e, 2, &n);
        if (n != 2) return false;
        if (p < e && *p == ':') {
            ++p;
            s = digits_at(p, e, 2, &n);
            if (n != 2) return false;
        }
    } else if (n == 4 || n == 6) {
        h = lead / (n == 4 ? 100 : 10000);
        m = n == 4 ? lead % 100 : lead / 100 % 100;
        s = n == 4 ? 0 : lead % 100;
    } else {
        return false;
    }
    double fraction = 0;
    if (p < e && (*p == '.' || *p == ',')) {
        const uint8_t* f = p + 1;
        double scale = 0.1;
        while (f < e && is_digit(*f)) fraction += (*f++ - '0') * scale, scale /= 10;
        if (f == p + 1) return false;
        p = f;
    }
    if (h > 23 || m > 59 || s > 59) return false;
    *seconds = h * 3600.0 + m * 60.0 + s + fraction;
    return true;
}

// Z, or +hh:mm, +hhmm, +hh (or -), within 15 hours, in quarter hours.
bool zone_at(const uint8_t*& p, const uint8_t* e, int32_t* quarters) {
    if (*p == 'Z' || *p == 'z') {
        ++p;
        *quarters = 0;
        return true;
    }
    if (*p != '+' && *p != '-') return false;
    bool west = *p++ == '-';
    int32_t n;
    int32_t h = digits_at(p, e, 2, &n);
    if (n != 2 && !(n == 1 && p < e && *p == ':')) return false;  // +2:00 as well as +02:00
    int32_t m = 0;
    if (p < e && *p == ':') ++p;
    if (p < e && is_digit(*p)) {
        m = digits_at(p, e, 2, &n);
        if (n != 2 || m > 59) return false;
    }
    int32_t q = h * 4 + m / 15;
    if (q > 60) return false;
    *quarters = west ? -q : q;
    return true;
}

}  // namespace

bool date_text(const uint8_t* s, const uint8_t* e, DateFields* f) {
    *f = DateFields{0, 0, 0, false, 0, false, 0};
    const uint8_t* p = s;
    bool negative = p < e && *p == '-';
    if (negative || (p < e && *p == '+')) ++p;
    int32_t n;
    int32_t first = digits_at(p, e, 8, &n);
    if (first < 0) return false;
    bool compact = false;
    if (n == 8 && p < e && (*p == 'T' || *p == 't')) {  // yyyymmddThh...
        f->year = first / 10000;
        f->month = first / 100 % 100;
        f->day = first % 100;
        compact = true;
    } else if (n >= 3 && n <= 4) {  // yyyy-mm-dd, yyyy-Www[-d], yyyy-ddd
        f->year = negative ? -first : first;
        if (p >= e || *p != '-') return false;
        ++p;
        if (p < e && (*p == 'W' || *p == 'w')) {
            ++p;
            int32_t week = digits_at(p, e, 2, &n);
            if (n != 2 || week < 1 || week > 53) return false;
            int32_t weekday = 1;
            if (p < e && *p == '-') {
                ++p;
                weekday = digits_at(p, e, 1, &n);
                if (weekday < 1 || weekday > 7) return false;
            }
            // Week 53 exists in years that start on a Thursday, or leap
            // years that start on a Wednesday.
            int64_t jan1 = iso_weekday(days_from_civil(f->year, 1, 1));
            if (week == 53 && jan1 != 4 && !(jan1 == 3 && leap_year(f->year))) return false;
            int64_t jan4 = days_from_civil(f->year, 1, 4);
            int64_t day = jan4 - (iso_weekday(jan4) - 1) + (week - 1) * 7 + (weekday - 1);
            DateFields c = *f;
            civil_from_days(day, &c);
            f->year = c.year, f->month = c.month, f->day = c.day;
        } else {
            const uint8_t* q = p;
            int32_t v = digits_at(q, e, 3, &n);
            if (n == 3 && (q >= e || *q != '-')) {  // ordinal
                p = q;
                if (v < 1 || v > (leap_year(f->year) ? 366 : 365)) return false;
                DateFields c = *f;
                civil_from_days(days_from_civil(f->year, 1, 1) + v - 1, &c);
                f->month = c.month, f->day = c.day;
            } else {
                f->month = month_at(p, e);
                if (f->month < 0 || p >= e || *p != '-') return false;
                ++p;
                f->day = digits_at(p, e, 2, &n);
                if (f->day < 0) return false;
            }
        }
    } else if (n <= 2 && !negative) {  // dd-mm-yyyy, dd/mm/yyyy
        if (p >= e || (*p != '-' && *p != '/')) return false;
        uint8_t sep = *p++;
        f->day = first;
        f->month = month_at(p, e);
        if (f->month < 0 || p >= e || *p != sep) return false;
        ++p;
        bool before_zero = sep == '/' && p < e && *p == '-';  // years before 0 mold as dd/Mon/-yyyy
        if (before_zero) ++p;
        int32_t year = digits_at(p, e, 4, &n);
        if (year < 0 || (before_zero && n < 3)) return false;
        f->year = before_zero ? -year : n <= 2 ? (year < 50 ? 2000 + year : 1900 + year) : year;
    } else {
        return false;
    }
    if (f->month < 1 || f->month > 12 || f->day < 1 || f->day > month_length(f->year, f->month)) return false;
    if (f->year < -9999 || f->year > 9999) return false;
    if (p < e && (*p == '/' || *p == 'T' || *p == 't')) {
        ++p;
        if (!time_of_day_at(p, e, &f->seconds)) return false;
        f->has_time = true;
        if (p < e) {
            if (!zone_at(p, e, &f->zone)) return false;
            f->has_zone = true;
        }
    } else if (compact) {
        return false;
    }
    return p == e;
}

// ---- Money ----

namespace {
void upper_ascii(char* text) {
    for (; *text; ++text)
        if (uint8_t(*text) > 96) *text = char(*text - 32);
}
}  // namespace

bool money_shape(const uint8_t* s, const uint8_t* e, MoneyParts* m) {
    const uint8_t* p = s;
    if (p < e && (*p == '+' || *p == '-')) m->negative = *p++ == '-';
    if (p < e && is_letter(*p)) {
        if (e - p < 5 || !is_letter(p[1]) || !is_letter(p[2]) || p[3] != '$') return false;
        std::memcpy(m->currency, p, 3);
        upper_ascii(m->currency);
        p += 4;
    } else if (p < e && *p == '$') {
        ++p;
    }
    if (p >= e) return false;
    bool point = false;
    uint8_t previous = 0;
    for (; p < e; previous = *p, ++p) {
        if (is_digit(*p)) {
            m->digits += char(*p);
            if (!point) ++m->integral;
        } else if (*p == '\'') {
            if (!is_digit(previous) || p + 1 == e || !is_digit(p[1])) return false;
        } else if (*p == '.') {
            if (point || !is_digit(previous) || p + 1 == e) return false;
            point = true;
        } else {
            return false;
        }
    }
    return !m->digits.empty();
}

// ---- Point coordinates ----

namespace {
float to_float32(double d) {
    if (!std::isfinite(d)) return float(d);
    if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return float(d);
}
}  // namespace

uint32_t float_bits(double d) {
    float f = to_float32(d);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

bool coordinate(const uint8_t* s, const uint8_t* e, double* out) {
    while (s < e && (*s == ' ' || *s == '\t')) ++s;
    while (e > s && (e[-1] == ' ' || e[-1] == '\t')) --e;
    if (s < e && e[-1] != '#' && std::find(s, e, '#') != e) return special_float(s, e, out);
    return float_text(s, e, out);
}

// ---- Conversions from text ----

namespace {
// Character i of a string run in its unit, as a byte (non-ASCII becomes 0xFF).
uint8_t unit_byte(const uint8_t* text, uint32_t unit, int32_t i) {
    uint32_t c = unicode::get_unit(text, unit, uint32_t(i));
    return c < 0x80 ? uint8_t(c) : 0xFF;
}

std::string unit_text(const uint8_t* text, int32_t length, uint32_t unit) {
    std::string bytes;
    for (int32_t i = 0; i < length; ++i) bytes += char(unit_byte(text, unit, i));
    return bytes;
}
}  // namespace

bool float_shape(const char* text, int32_t length) {
    // Classes: other, sign, digit, exponent, point, apostrophe.
    static const int8_t next[9][6] = {
        {10, 0, 1, 10, 4, 10}, {10, 10, 1, 6, 5, 2}, {10, 10, 1, 10, 10, 10}, {10, 10, 3, 6, 10, 4},
        {10, 10, 3, 10, 10, 10}, {10, 10, 3, 10, 10, 10}, {10, 7, 8, 10, 10, 10}, {10, 10, 8, 10, 10, 10},
        {10, 10, 8, 10, 10, 10},
    };
    static const bool accepting[9] = {false, true, true, true, true, true, false, false, true};
    int state = 0;
    bool signed_already = false;
    for (int32_t i = 0; i < length && state != 10; ++i) {
        char c = text[i];
        int k = c == '+' || c == '-' ? 1 : (c >= '0' && c <= '9') ? 2 : (c == 'e' || c == 'E') ? 3 : c == '.' ? 4
              : c == '\'' ? 5 : 0;
        if (state == 0 && k == 1) {
            if (signed_already) return false;  // one leading sign only
            signed_already = true;
        }
        state = next[state][k];
    }
    return state != 10 && accepting[state];
}

int32_t scan_integer(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code) {
    int32_t i = 0;
    bool negative = false;
    if (length > 0) {
        uint8_t b = unit_byte(text, unit, 0);
        if (b == '+' || b == '-') negative = b == '-', i = 1;
    }
    if (i >= length) {
        *code = -1;
        return 0;
    }
    int64_t v = 0;
    for (; i < length; ++i) {
        uint8_t b = unit_byte(text, unit, i);
        if (b == '\'') continue;
        if (!is_digit(b)) {
            *code = -1;
            return 0;
        }
        v = v * 10 + (b - '0');
        if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) {
            *code = -2;
            return 0;
        }
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max()) {
        *code = -2;
        return 0;
    }
    return int32_t(v);
}

double scan_float(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code) {
    if (length >= 313 || length <= 0) {
        *code = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::string bytes = unit_text(text, length, unit);
    double d;
    if (!float_text(reinterpret_cast<const uint8_t*>(bytes.data()),
                    reinterpret_cast<const uint8_t*>(bytes.data() + bytes.size()), &d)) {
        *code = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    return d;
}

void scan_tuple(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code, Cell* target) {
    std::string bytes = unit_text(text, length, unit);
    uint8_t parts[12];
    int32_t count = 0;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    if (length <= 0 || !tuple_parts(b, b + bytes.size(), parts, &count)) {
        *code = -1;
        return;
    }
    *target = tuple_cell(parts, count);
}

void scan_money(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code, Cell* target) {
    std::string bytes = unit_text(text, length, unit);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    MoneyParts m;
    if (!money_shape(b, b + bytes.size(), &m) ||
        !money_type::make_from_lexer(m.negative, m.currency, m.digits.data(), int32_t(m.digits.size()), m.integral,
                                     target))
        *code = -1;
}

}  // namespace vum::scan
