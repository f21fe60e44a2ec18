#include "datatypes/symbol-context.h"

#include <string>

#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::symbol_type {

namespace {

using namespace actions;

// The name's code points, read from its byte series (word 3 of an entry or
// of any copy of one).
std::u32string code_points(const Cell* entry) {
    SeriesBuffer* bytes = nodes::buffer(entry->w3);
    const uint8_t* p = bytes->head_ptr();
    const uint8_t* end = bytes->tail_ptr();
    std::u32string out;
    while (p < end) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        out.push_back(cp < 0 ? 0xFFFD : char32_t(cp));
    }
    return out;
}

bool equality_op(int32_t op) {
    return op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find;
}

int32_t symbol_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_symbol) return not_comparable;
    // One name series: the same symbol.
    if (a->w3 == b->w3) return 0;
    if (op == op_same) return 1;
    std::u32string x = code_points(a), y = code_points(b);
    if (equality_op(op) && x.size() != y.size()) return 1;
    bool fold = op != op_strict_equal && op != op_case_sort;
    size_t n = x.size() < y.size() ? x.size() : y.size();
    for (size_t i = 0; i < n; i++) {
        uint32_t p = x[i], q = y[i];
        if (fold) {
            p = case_map::map_char(p, 0);
            q = case_map::map_char(q, 0);
        }
        if (p != q) return p < q ? -1 : 1;
    }
    return x.size() == y.size() ? 0 : x.size() < y.size() ? -1 : 1;
}

}  // namespace

int32_t compare_names(int32_t symbol_a, int32_t symbol_b, int32_t op) {
    if (symbol_a == symbol_b) return 0;
    return symbol_compare(symbols::entry(symbol_a), symbols::entry(symbol_b), op);
}

uint32_t cache_string(int32_t symbol) {
    uint32_t node = symbols::entry(symbol)->w2;
    if (node) return node;
    int32_t length = 0;
    // The name bytes may move while the string is made.
    std::string name(symbols::text(symbol, &length));
    node = unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(name.data()), int32_t(name.size()));
    symbols::entry(symbol)->w2 = node;
    return node;
}

Cell* push_string(const Cell* word) {
    int32_t symbol = int32_t(word->w2);
    uint32_t node = cache_string(symbol);
    Cell s;
    cell::make_series(&s, type_string, node);
    return stack::push_copy(&s);
}

void init() {
    Row r(type_symbol, "symbol!");
    r.set<slot_compare>(symbol_compare);
    datatype::register_type(r);
}

}  // namespace vum::symbol_type

namespace vum::context_type {

void init() {
    datatype::register_type(actions::Row(type_context, "context!"));
}

}  // namespace vum::context_type
