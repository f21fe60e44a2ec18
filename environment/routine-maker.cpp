#include "environment/routine-maker.h"

#include <string>

#include "datatypes/function.h"
#include "engine/lexer.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::boot {

namespace {

using routines::MachineValue;

constexpr const char* maker_word = "boot-routine";
constexpr const char* maker_spec =
    "\"Makes a routine! of the code registered under a name (while the environment loads)\" "
    "name [word!] \"The name the code is registered under\" spec [block!]";

bool loading = false;

int32_t canonical(const Cell* word) { return symbols::resolve(int32_t(word->w2)); }

// The result type the spec's return: block names by its first word; none
// for anything else.
int32_t declared_result(const Cell* spec) {
    const int32_t return_word = symbols::resolve(symbols::make("return"));
    const struct {
        int32_t symbol;
        int32_t type;
    } results[] = {
        {symbols::resolve(symbols::make("logic!")), type_logic},
        {symbols::resolve(symbols::make("integer!")), type_integer},
        {symbols::resolve(symbols::make("float!")), type_float},
    };
    const Cell* cells = series::cells_head(spec->w2);
    int32_t n = int32_t(nodes::buffer(spec->w2)->count());
    for (int32_t i = int32_t(spec->w1); i + 1 < n; i++) {
        if (cell::type(cells + i) != type_set_word || canonical(cells + i) != return_word) continue;
        const Cell* types = cells + i + 1;
        if (cell::type(types) != type_block || types->w1 >= nodes::buffer(types->w2)->count()) break;
        const Cell* first = series::cells_head(types->w2) + types->w1;
        if (cell::type(first) != type_word) break;
        for (const auto& r : results)
            if (canonical(first) == r.symbol) return r.type;
        break;
    }
    return routines::result_none;
}

// Direct entry: the name word and the spec block, as cells of the call's
// frame. The new routine is left on the stack above the frame, where the
// call layer copies it from.
MachineValue make_routine(const MachineValue* args, int32_t) {
    if (!loading) errors::raise(err::internal::routines);
    const Cell* name = args[0].cell;
    const Cell* spec = args[1].cell;
    int32_t entry = routines::find(symbols::text(int32_t(name->w2)));
    if (entry == 0) errors::raise(err::script::invalid_arg, name);
    int32_t result_type = declared_result(spec);
    Cell none = {type_none, 0, 0, 0};
    routines::push(spec, &none, entry, result_type, false);
    MachineValue result;
    result.cell = stack::top_cell();
    return result;
}

}  // namespace

void install_routine_maker() {
    int32_t entry = routines::register_routine(maker_word, make_routine);
    stack::Mark mark;
    Cell* spec = cell::make_none(stack::push_cell());
    lexer::load_utf8(maker_spec, int32_t(std::char_traits<char>::length(maker_spec)), spec);
    Cell* none = cell::make_none(stack::push_cell());
    routines::push(spec, none, entry, routines::result_none, true);
    Cell word = context::load_word(maker_word);
    context::set_word_value(&word, stack::top_cell());
    loading = true;
}

void remove_routine_maker() {
    loading = false;
    Cell word = context::load_word(maker_word);
    Cell unset = {type_unset, 0, 0, 0};
    context::set_word_value(&word, &unset);
}

}  // namespace vum::boot
