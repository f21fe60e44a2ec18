#include "datatypes/time.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "base/float-text.h"
#include "datatypes/actions.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::time_type {

namespace {

using namespace actions;

constexpr double seconds_per_hour = 3600.0;
constexpr double seconds_per_minute = 60.0;
// The smallest fraction of a second that is written, and the nudge of
// even? and odd?.
constexpr double smallest_fraction = 1e-06;

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

[[noreturn]] void raise_not_related(int32_t slot, uint8_t type) {
    Cell name = word(slot), datatype = cell::make_datatype(type);
    errors::raise(err::script::not_related, &name, &datatype);
}

// [hours minutes seconds], each part optional from the end. Only the hours
// may be negative, and then the whole time is.
double from_block(const Cell* spec) {
    int32_t n = series::length_from_head(spec);
    if (n > 3) errors::raise_bad_to(type_time, spec);
    const Cell* items = series::cells_head(spec->w2) + spec->w1;
    double parts[3] = {0, 0, 0};
    bool negative = false;
    for (int32_t i = 0; i < n; i++) {
        uint8_t t = cell::type(items + i);
        if (t != type_integer && !(i == 2 && t == type_float)) errors::raise_bad_to(type_time, spec);
        double x = float_type::number_of(items + i);
        if (x < 0) {
            if (i > 0) errors::raise_bad_to(type_time, spec);
            negative = true;
            x = -x;
        }
        parts[i] = x;
    }
    double seconds = parts[0] * seconds_per_hour + parts[1] * seconds_per_minute + parts[2];
    return negative ? -seconds : seconds;
}

void time_make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    double x = 0;
    switch (cell::type(spec)) {
        case type_time: case type_float: case type_percent:
            x = cell::get_double(spec);
            break;
        case type_integer:
            x = double(cell::get_integer(spec));
            break;
        case type_block: case type_paren: case type_hash:
            x = from_block(spec);
            break;
        // Text is read by the loader, which makes the time itself.
        default:
            errors::raise_bad_to(type_time, spec);
    }
    make_at(result, x);
}

int32_t time_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return to_text(cell::get_double(value), buffer, arg, limit);
}

int32_t time_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return to_text(cell::get_double(value), buffer, arg, limit);
}

// The field an element of a path or a pick index names, or -1.
int32_t index_of_element(const Cell* element, const Cell* value) {
    uint8_t t = cell::type(element);
    if (t == type_integer) {
        int32_t n = cell::get_integer(element);
        return n >= field_hour && n <= field_second ? n : -1;
    }
    if (is_word_kind(t)) return field_index(element, value);
    return -1;
}

// The seconds with one field set to v. Each field moves by the difference
// from what it reads now, so writing back the value read leaves any time,
// negative ones too, as it was.
double with_field(double x, int32_t index, const Cell* v) {
    uint8_t t = cell::type(v);
    if (t != type_integer && !(index == field_second && t == type_float))
        errors::raise(err::script::invalid_arg, v);
    double n = float_type::number_of(v);
    switch (index) {
        case field_hour:
            return x + (n - hours(x)) * seconds_per_hour;
        case field_minute:
            // The minutes are those of the magnitude.
            return x + (x < 0 ? -1 : 1) * (n - minutes(x)) * seconds_per_minute;
        default:
            return x + (n - std::fmod(x, seconds_per_minute));
    }
}

void time_path(const PathStep& step, Cell* result) {
    int32_t index = index_of_element(step.element, step.parent);
    if (index < 0) {
        const Cell* where = step.path ? step.path : step.parent;
        errors::raise(err::script::invalid_path, where, step.element);
    }
    double x = cell::get_double(step.parent);
    if (!step.value) {
        get_field(x, index, result);
        return;
    }
    Cell v = *step.value;
    double updated = with_field(x, index, &v);
    // A time is held in its cell, not in a series: the new time goes to the
    // parent cell, which the path evaluator stores back in its container.
    cell::set_double(const_cast<Cell*>(step.parent), updated);
    *result = v;
    actions::field_set(step, &v);
}

void time_pick(const Cell* value, const Cell* index, int32_t, Cell* result) {
    int32_t field = index_of_element(index, nullptr);
    if (field < 0) errors::raise(err::script::out_of_range, index);
    get_field(cell::get_double(value), field, result);
}

void time_add() {
    if (cell::type(stack::arg(1)) == type_date) return date_type::number_first_math(integer_type::math_add);
    float_type::do_math(integer_type::math_add);
}

void time_subtract() {
    if (cell::type(stack::arg(1)) == type_date) raise_not_related(slot_subtract, type_time);
    float_type::do_math(integer_type::math_subtract);
}

void time_multiply() {
    if (cell::type(stack::arg(1)) == type_time) raise_not_related(slot_multiply, type_time);
    float_type::do_math(integer_type::math_multiply);
}

void time_divide() {
    bool ratio = cell::type(stack::arg(1)) == type_time;
    float_type::do_math(integer_type::math_divide);
    if (ratio) cell::set_type(stack::arg(0), type_float);
}

// The whole seconds of the time nudged away from zero, so that a time a
// hair below a whole second counts as that second.
int32_t parity(double x) {
    if (!std::isfinite(x)) return -1;
    double nudged = x >= 0 ? x + smallest_fraction : x - smallest_fraction;
    int32_t whole = int32_t(std::trunc(std::fmod(nudged, seconds_per_minute)));
    return whole & 1;
}
bool time_even(const Cell* value) { return parity(cell::get_double(value)) == 0; }
bool time_odd(const Cell* value) { return parity(cell::get_double(value)) == 1; }

void time_round(const Cell* value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                bool half_ceiling, Cell* result) {
    Cell rounded;
    float_type::round_value(cell::get_double(value), type_time, scale, even, down, half_down, floor, ceiling,
                            half_ceiling, &rounded);
    make_at(result, float_type::number_of(&rounded));
}

void append(std::string& text, const char* part) { text += part; }

}  // namespace

int32_t hours(double seconds) {
    double h = std::trunc(seconds / seconds_per_hour);
    if (!(h >= -2147483648.0 && h <= 2147483647.0)) errors::raise(err::math::overflow);
    return int32_t(h);
}

int32_t minutes(double seconds) {
    if (!std::isfinite(seconds)) errors::raise(err::math::overflow);
    return int32_t(std::floor(std::fmod(std::fabs(seconds), seconds_per_hour) / seconds_per_minute));
}

int32_t field_index(const Cell* word, const Cell* value) {
    using runtime_symbols::id;
    int32_t symbol = symbols::resolve(int32_t(word->w2));
    if (symbol == symbols::resolve(id(runtime_symbols::sym_hour))) return field_hour;
    if (symbol == symbols::resolve(id(runtime_symbols::sym_minute))) return field_minute;
    if (symbol == symbols::resolve(id(runtime_symbols::sym_second))) return field_second;
    if (value && cell::type(value) == type_time) errors::raise(err::script::cannot_use, word, value);
    return -1;
}

void get_field(double seconds, int32_t index, Cell* out) {
    switch (index) {
        case field_hour: cell::make_integer(out, hours(seconds)); break;
        case field_minute: cell::make_integer(out, minutes(seconds)); break;
        default: cell::make_float(out, std::fmod(seconds, seconds_per_minute)); break;
    }
}

Cell* make_at(Cell* c, double seconds) {
    cell::make_header(c, type_time);
    cell::set_double(c, seconds);
    return c;
}

Cell* push(double seconds) { return make_at(stack::push_cell(), seconds); }

void push_new(uint32_t block, double seconds) { make_at(series::alloc_tail_cell(block), seconds); }

int32_t to_text(double x, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (!std::isfinite(x))
        return integer_type::append_limited(buffer, float_type::to_text(x, float_type::kind_double), arg, limit);
    std::string text;
    if (x < 0) {
        text = "-";
        x = -x;
    }
    double h = std::floor(x / seconds_per_hour);
    int32_t m = int32_t(std::floor(std::fmod(x, seconds_per_hour) / seconds_per_minute));
    double s = std::fmod(x, seconds_per_minute);
    std::string second_text = "00";
    if (s >= smallest_fraction) {
        std::string digits = float_type::to_text(s, float_type::kind_seconds);
        if (std::strtod(digits.c_str(), nullptr) >= seconds_per_minute) {
            // Rounded to the digits written, the seconds make a whole
            // minute: carry it rather than write 60.
            if (++m == 60) {
                m = 0;
                h += 1;
            }
        } else {
            if (digits.size() == 1 || digits[1] == '.') second_text = "0";
            else second_text.clear();
            second_text += digits;
        }
    }
    if (h <= 2147483647.0) append(text, integer_type::to_text(int32_t(h)));
    else append(text, floats::form_text(h, 0, 0));
    text += ':';
    if (m < 10) text += '0';
    append(text, integer_type::to_text(m));
    text += ':';
    text += second_text;
    return integer_type::append_limited(buffer, text.c_str(), arg, limit);
}

void init() {
    Row r(type_time, "time!", type_float);
    r.set<slot_make>(time_make)
        .inherit<slot_random>()
        .set<slot_to>(time_make)
        .set<slot_form>(time_form)
        .set<slot_mold>(time_mold)
        .set<slot_eval_path>(time_path)
        .inherit<slot_compare>()
        .inherit<slot_absolute>()
        .set<slot_add>(time_add)
        .set<slot_divide>(time_divide)
        .set<slot_multiply>(time_multiply)
        .inherit<slot_negate>()
        .inherit<slot_remainder>()
        .set<slot_round>(time_round)
        .set<slot_subtract>(time_subtract)
        .set<slot_even_q>(time_even)
        .set<slot_odd_q>(time_odd)
        .set<slot_pick>(time_pick);
    datatype::register_type(r);
}

}  // namespace vum::time_type
