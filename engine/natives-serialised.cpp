// The serialised-value codec's door until load and save come with the
// environment: two internal natives in the table's entries past the public
// ones, bound to global words at start-up.
//   vumbin-encode data compact?   a binary! of the whole file
//   vumbin-decode payload         the value, or a block of the values
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/native.h"
#include "engine/lexer.h"
#include "engine/natives.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

constexpr int32_t encode_entry = native_count + 1;
constexpr int32_t decode_entry = native_count + 2;
static_assert(decode_entry <= table_size, "the internal natives fit the table");

void encode_native(const int32_t*) {
    Cell* result = stack::push_cell();
    cell::make_none(result);
    if (stack::arg(1)->w1 != 0)
        vumbin::encode_compact(stack::arg(0), result);
    else
        vumbin::encode_fixed(stack::arg(0), result);
    *stack::arg(0) = *result;
    stack::keep_result_only();
}

// Data of ten bytes or fewer cannot be a file: it is refused before the
// decoder looks at it.
void decode_native(const int32_t*) {
    const Cell* payload = stack::arg(0);
    if (cell::type(payload) != type_binary || binary::length_from_index(payload) <= 10)
        errors::raise(err::script::invalid_data, payload);
    Cell* block = stack::push_cell();
    block_actions::make_at(block, 4);
    vumbin::set_mode(vumbin::Mode::saved);
    vumbin::decode(binary::position_pointer(payload), binary::length_from_index(payload), block, true, payload);
    *stack::arg(0) = block::length_from_head(block) == 1 ? series::cells_head(block->w2)[0] : *block;
    stack::keep_result_only();
}

void bind(const char* name, const char* spec_source, int32_t entry) {
    gc::Local spec(Cell{type_none, 0, 0, 0});
    lexer::load_utf8(spec_source, int32_t(std::strlen(spec_source)), &spec);
    gc::Local value(Cell{type_none, 0, 0, 0});
    make_value(&spec, entry, type_native, &value);
    Cell word = context::make_global(symbols::make(name));
    context::set_in(&word, &value, context::global, false);
}

}  // namespace

void register_serialised_natives() {
    set_native(encode_entry, encode_native);
    set_native(decode_entry, decode_native);
}

void bind_serialised_natives() {
    bind("vumbin-encode", "data [any-type!] compact? [logic!]", encode_entry);
    bind("vumbin-decode", "payload [binary!]", decode_entry);
}

}  // namespace vum::natives
