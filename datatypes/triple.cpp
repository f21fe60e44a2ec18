#include "datatypes/triple.h"

#include <string>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"

namespace vum::triple_type {

namespace {

using namespace actions;

// Written as a construction, which no action of the language reads back.
std::string text_of(const Cell* value) {
    std::string text = "make triple! [";
    text += integer_type::to_text(int32_t(value->w1));
    text += ' ';
    text += integer_type::to_text(int32_t(value->w2));
    text += ' ';
    text += integer_type::to_text(int32_t(value->w3));
    text += ']';
    return text;
}

int32_t triple_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return integer_type::append_limited(buffer, text_of(value).c_str(), arg, limit);
}

int32_t triple_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return triple_form(value, buffer, arg, limit);
}

}  // namespace

Cell* make_at(Cell* c, int32_t a, int32_t b, int32_t c3) {
    *c = {type_triple, uint32_t(a), uint32_t(b), uint32_t(c3)};
    return c;
}

void init() {
    Row r(type_triple, "triple!");
    r.set<slot_form>(triple_form)
        .set<slot_mold>(triple_mold);
    datatype::register_type(r);
}

}  // namespace vum::triple_type
