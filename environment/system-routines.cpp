#include "environment/system-routines.h"

#include <strings.h>

#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/money-currencies.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::boot {

namespace {

using routines::MachineValue;

MachineValue integer(int32_t n) { return MachineValue{.integer = n}; }

// ---- system/state/GC

MachineValue collector_active(const MachineValue*, int32_t) { return integer(gc::state.enabled != 0); }

// One collection marks and sweeps the nodes and compacts the series
// frames: it is a cycle of each.
MachineValue collector_cycles(const MachineValue*, int32_t) { return integer(gc::state.collections); }

// ---- system/state/interpreted?

MachineValue interpreter_below(const MachineValue*, int32_t) {
    for (const stack::Frame* f = stack::s.calls_top - 1; f >= stack::s.calls_begin; f--)
        if (f->header & stack::flag_hidden) return integer(1);
    return integer(0);
}

// ---- system/options/float

bool spelled(const Cell* word, const char* text) {
    return strcasecmp(symbols::text(int32_t(word->w2)), text) == 0;
}

// word [word!] on? [logic!]: pretty? or full?.
MachineValue set_float_switch(const MachineValue* args, int32_t) {
    const Cell* word = args[0].cell;
    bool on = args[1].integer != 0;
    if (spelled(word, "pretty?")) float_type::pretty = on;
    else if (spelled(word, "full?")) float_type::full = on;
    return integer(0);
}

// ---- system/locale/currencies

// code [word!]: a new currency code at the end of the list; the script
// error protected when the list cannot take it.
MachineValue add_currency(const MachineValue* args, int32_t) {
    const Cell* word = args[0].cell;
    int32_t length = 0;
    const char* text = symbols::text(int32_t(word->w2), &length);
    if (!money_type::currencies::append(text, length)) errors::raise(err::script::protected_);
    return integer(0);
}

}  // namespace

void register_system_routines() {
    routines::register_routine("collector-active?", collector_active);
    routines::register_routine("collector-series-cycles", collector_cycles);
    routines::register_routine("collector-nodes-cycles", collector_cycles);
    routines::register_routine("interpreter-below?", interpreter_below);
    routines::register_routine("set-float-switch", set_float_switch);
    routines::register_routine("add-currency", add_currency);
}

}  // namespace vum::boot
