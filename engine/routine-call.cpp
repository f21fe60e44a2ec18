#include "engine/routine-call.h"

#include "datatypes/function.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::eval {

namespace {

using routines::MachineValue;

// The canonical symbols of the type words that decide how an argument
// passes. Symbol ids belong to one runtime: init_routine_calls takes them
// afresh whenever the interpreter starts.
struct MachineWords {
    int32_t logic = 0;
    int32_t integer = 0;
    int32_t real = 0;
    int32_t any_type = 0;
} machine_words;

int32_t canonical_of(const char* text) { return symbols::resolve(symbols::make(text)); }

// The value a type word names, or null when it has none to read: an
// unbound word, or one of a context without storage of its own.
const Cell* type_word_value(const Cell* word) {
    uint32_t ctx = word->w1;
    int32_t index = int32_t(word->w3);
    if (ctx == 0 || index < 0) return nullptr;
    const Cell* c = context::context_cell(ctx);
    if (c->w2 == 0 || (c->header & cell::flag_stack_context)) return nullptr;
    if (index >= int32_t(nodes::buffer(c->w2)->count())) return nullptr;
    return series::cells_head(c->w2) + index;
}

bool accepts(const Cell* types, uint8_t t) {
    if (!types) return false;
    if (cell::type(types) == type_typeset) return typeset::has_type(types, t);
    return cell::type(types) == type_datatype && types->w1 == t;
}

[[noreturn]] void refuse(const Cell* name, const Cell* argument, const Cell* spec_word) {
    Cell type = cell::make_datatype(cell::type(argument));
    Cell word = *spec_word;
    word.header = type_word;
    errors::raise(err::script::expect_arg, name, &type, &word);
}

// The spec positions of the argument words: those before the first
// refinement or set-word. Returns how many there are.
int32_t argument_positions(uint32_t spec, int32_t (&positions)[routines::max_arguments]) {
    const Cell* cells = series::cells_head(spec);
    int32_t n = int32_t(nodes::buffer(spec)->count());
    int32_t k = 0;
    for (int32_t i = 0; i < n && k < routines::max_arguments; i++) {
        uint8_t t = cell::type(cells + i);
        if (t == type_refinement || t == type_set_word) break;
        if (t == type_word) positions[k++] = i;
    }
    return k;
}

// Checks argument a against the first word of its type block and puts it
// into *out in the form that word asks for. Nothing here allocates until
// an error is raised.
void marshal(const Cell* name, uint32_t spec, int32_t position, const Cell* argument, MachineValue* out) {
    const Cell* cells = series::cells_head(spec);
    int32_t n = int32_t(nodes::buffer(spec)->count());
    const Cell* types = position + 1 < n ? cells + position + 1 : nullptr;
    const Cell* first = nullptr;
    if (types && cell::type(types) == type_block && int32_t(types->w1) < int32_t(nodes::buffer(types->w2)->count()))
        first = series::cells_head(types->w2) + types->w1;
    if (!first || cell::type(first) != type_word) {
        Cell bad = first ? *first : types ? *types : Cell{type_none, 0, 0, 0};
        errors::raise(err::script::invalid_type_spec, &bad);
    }
    int32_t word = symbols::resolve(int32_t(first->w2));
    if (word != machine_words.any_type && !accepts(type_word_value(first), cell::type(argument)))
        refuse(name, argument, cells + position);
    if (word == machine_words.logic)
        out->integer = argument->w1 != 0;
    else if (word == machine_words.integer)
        out->integer = cell::get_integer(argument);
    else if (word == machine_words.real)
        out->real = cell::get_double(argument);
    else
        out->cell = argument;
}

}  // namespace

void init_routine_calls() {
    machine_words.logic = canonical_of("logic!");
    machine_words.integer = canonical_of("integer!");
    machine_words.real = canonical_of("float!");
    machine_words.any_type = canonical_of("any-type!");
}

void call_routine(const Cell* routine, const Cell* name) {
    routines::RoutineFn code =
        routines::entry(cell::get_integer(series::cells_head(routine->w3) + function::info_code));
    if (!code) errors::raise(err::internal::not_done);
    int32_t result_type = routines::result_type(routine);
    Cell* frame = stack::s.args;
    MachineValue args[routines::max_arguments];

    if (routine->header & cell::flag_routine_direct) {
        int32_t n = routines::argument_count(routine);
        for (int32_t i = 0; i < n; i++) args[i].cell = frame + i;
        MachineValue result = code(args, n);
        if (result.cell) *frame = *result.cell;
        return;
    }

    int32_t positions[routines::max_arguments];
    int32_t n = argument_positions(routine->w2, positions);
    for (int32_t a = n - 1; a >= 0; a--) marshal(name, routine->w2, positions[a], frame + a, &args[a]);
    MachineValue result = code(args, n);
    switch (result_type) {
        case type_logic: cell::make_logic(frame, result.integer != 0); break;
        case type_integer: cell::make_integer(frame, result.integer); break;
        case type_float: cell::make_float(frame, result.real); break;
        default: break;  // the code set the result slot, or left it
    }
}

}  // namespace vum::eval
