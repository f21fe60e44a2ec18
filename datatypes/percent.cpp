#include "datatypes/percent.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/actions.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::percent_type {

namespace {

using namespace actions;

bool is_text_type(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

// float!'s make and to, which build a percent! when asked for one.
MakeFn float_make = nullptr;
MakeFn float_to = nullptr;

// Text is read the way source is, so "50%" is a half; a bare number in the
// text is taken as the fraction itself, as make percent! 0.5 takes it.
bool from_text(const Cell* spec, double* out) {
    std::string text = string::to_utf8(spec);
    Cell loaded = {type_none, 0, 0, 0};
    if (!services::current.load_first_value(text.data(), int32_t(text.size()), &loaded))
        return false;
    switch (cell::type(&loaded)) {
        case type_integer:
            *out = double(cell::get_integer(&loaded));
            return true;
        case type_float: case type_percent:
            *out = cell::get_double(&loaded);
            return true;
        default:
            return false;
    }
}

template <int32_t Slot>
void percent_make(const Cell* prototype, const Cell* spec, int32_t, Cell* result) {
    if (is_text_type(cell::type(spec))) {
        double x = 0;
        if (!from_text(spec, &x)) {
            Cell target = cell::make_datatype(type_percent);
            errors::raise(err::script::bad_to_arg, &target, spec);
        }
        make_at(result, x);
        return;
    }
    (Slot == slot_make ? float_make : float_to)(prototype, spec, type_percent, result);
}

const char* text_of(const Cell* value) {
    return float_type::to_text(cell::get_double(value) * 100.0, float_type::kind_percent);
}

int32_t percent_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value), arg, limit);
}

// The lexer reads no exponent in a percent, so the molded text writes the
// same significant digits out in full: 1.5e-12% becomes 0.0000000000015%.
std::string without_exponent(const char* text) {
    const char* e = std::strchr(text, 'e');
    if (!e) return text;
    std::string sign = text[0] == '-' ? "-" : "";
    std::string digits;
    int32_t point = -1;  // digits before the point
    for (const char* p = text + sign.size(); p < e; ++p) {
        if (*p == '.') point = int32_t(digits.size());
        else digits += *p;
    }
    if (point < 0) point = int32_t(digits.size());
    point += int32_t(std::strtol(e + 1, nullptr, 10));
    while (digits.size() > 1 && digits.back() == '0' && int32_t(digits.size()) > point) digits.pop_back();
    std::string out = sign;
    if (point <= 0) {
        out += "0.";
        out.append(size_t(-point), '0');
        out += digits;
    } else if (point >= int32_t(digits.size())) {
        out += digits;
        out.append(size_t(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, size_t(point));
        out += '.';
        out += digits.substr(size_t(point));
    }
    return out + std::string(std::strchr(e, '%'));
}

int32_t percent_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit,
                     int32_t) {
    return integer_type::append_limited(buffer, without_exponent(text_of(value)).c_str(), arg, limit);
}

}  // namespace

Cell* make_at(Cell* c, double fraction) {
    cell::make_header(c, type_percent);
    c->w1 = 0;
    cell::set_double(c, fraction);
    return c;
}

Cell* push(double fraction) { return make_at(stack::push_cell(), fraction); }

Cell* push_raw(uint32_t low, uint32_t high) {
    Cell* c = stack::push_cell();
    *c = {type_percent, 0, low, high};
    return c;
}

void push_new(uint32_t block, double fraction) { make_at(series::alloc_tail_cell(block), fraction); }

double value(const Cell* c) { return cell::get_double(c); }

void init() {
    float_make = actions::handler<slot_make>(type_float);
    float_to = actions::handler<slot_to>(type_float);
    Row r(type_percent, "percent!", type_float);
    r.set<slot_make>(percent_make<slot_make>)
        .set<slot_to>(percent_make<slot_to>)
        .set<slot_form>(percent_form)
        .set<slot_mold>(percent_mold)
        .inherit<slot_random, slot_compare, slot_absolute, slot_add, slot_divide, slot_multiply, slot_negate,
                 slot_power, slot_remainder, slot_round, slot_subtract, slot_even_q, slot_odd_q>();
    datatype::register_type(r);
}

}  // namespace vum::percent_type
