#include "datatypes/tag.h"

#include <algorithm>

#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string-type.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::tag {

using namespace actions;

Cell* push(const Cell* value) { return stack::push_copy(value); }

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    gc::Local v(*value);
    limit = string::put_limited(buffer, "<", arg, limit);
    if (string::limit_used(arg, limit)) return limit;
    limit = string::form(&v, buffer, arg, limit);
    if (string::limit_used(arg, limit)) return limit;
    return string::put_limited(buffer, ">", arg, limit);
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return form(value, buffer, arg, limit);
}

}  // namespace vum::tag

namespace vum::email {

using namespace actions;

namespace {

const Cell none = {type_none, 0, 0, 0};

bool names(const Cell* element, const char* field) {
    return cell::type(element) == type_word &&
           symbols::resolve(int32_t(element->w2)) == symbols::resolve(symbols::make(field));
}

}  // namespace

Cell* push(const Cell* value) { return stack::push_copy(value); }

int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return string::form(value, buffer, arg, limit);
}

void eval_path(const PathStep& step, Cell* result) {
    gc::Local element(*step.element);
    if (cell::type(&element) == type_integer) {
        string::eval_path(step, result);
        return;
    }
    gc::Local s(*step.parent);
    bool user = names(&element, "user");
    if (!user && !names(&element, "host")) {
        Cell path = step.path ? *step.path : none;
        errors::raise(err::script::invalid_path, &path, &element);
    }
    int32_t head = string::clip_head(&s);
    int32_t tail = string::length(s.w2);
    int32_t at = string::find_char(&s, '@');
    // Without an "@" the whole text is the user part and the host is empty.
    int32_t user_end = at < 0 ? tail : head + at;
    int32_t from = user ? head : std::min(user_end + 1, tail);
    int32_t count = user ? user_end - head : tail - from;

    if (!step.value) {
        Cell out;
        cell::make_series(&out, type_string, series::copy_part(s.w2, from, count), 0);
        *result = out;
        return;
    }
    gc::Local v(*step.value);
    gc::Local target(static_cast<const Cell&>(s));
    Cell part;
    cell::make_integer(&part, count);
    gc::Local changed(none);
    if (!user && at < 0) {
        // A host given to an address without one needs its "@" as well.
        target.w1 = uint32_t(tail);
        Cell separator = {type_char, 0, '@', 0};
        string::change(&target, &separator, nullptr, false, nullptr, &changed);
        target.w1 = uint32_t(string::length(s.w2));
    } else {
        target.w1 = uint32_t(from);
    }
    string::change(&target, &v, &part, false, nullptr, &changed);
    *result = v;
}

}  // namespace vum::email

namespace {

using namespace vum;
using namespace vum::actions;

// A text kind takes string!'s handlers unless it says otherwise: all but
// random, set-path, the math and bitwise slots, sort, trim and the port
// actions.
Row text_kind(int32_t type, const char* name) {
    Row r(type, name, type_string);
    r.inherit(text_series_slots)
        .inherit<slot_make, slot_reflect, slot_to, slot_form, slot_mold, slot_eval_path, slot_compare, slot_append,
                 slot_put>();
    return r;
}

}  // namespace

namespace vum::tag_type {

void init() {
    datatype::register_type(text_kind(type_tag, "tag!").set<slot_form>(tag::form).set<slot_mold>(tag::mold));
}

}  // namespace vum::tag_type

namespace vum::email_type {

void init() {
    datatype::register_type(
        text_kind(type_email, "email!").set<slot_mold>(email::mold).set<slot_eval_path>(email::eval_path));
}

}  // namespace vum::email_type
