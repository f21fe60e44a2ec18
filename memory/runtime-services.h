// The services through which the lower floors reach the code above them.
// A floor may not include what sits above it, so what it needs from there
// is a function here. The composition root (runtime::fill_services, in
// base/runtime-init.cpp) fills every one once, before any layer starts, and
// start-up stops with the name of any left unset: a reader calls its
// service without testing for null, so a missing one is a fault reported at
// start-up, never a call silently dropped later.
//
// Unit tests that start only the lower floors fill the services those
// floors reach with stand-ins of their own (tests/unit/partial-services.h).
//
// The declarations need nothing above memory/.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

namespace vum::call {
struct Request;
}
namespace vum::errors {
struct ErrorValues;
}

namespace vum::services {

struct Services {
    // ---- reached from memory/

    // object!'s on-change*: a field of an object that asks to hear of its
    // changes was set through its context. The cells may be anywhere.
    void (*change_handler)(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value);
    // object!'s on-deep-change*: a series the object owns is changing. Every
    // cell is a protected copy; the handler may allocate.
    void (*deep_change_handler)(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                                const Cell* new_value, int32_t index, int32_t part);
    // map!'s normal form of a key, before the table hashes it.
    void (*prepare_map_key)(Cell* key);
    // image!'s marking of what only its record reaches; called for every
    // image! cell marked, after the record's series.
    void (*mark_image)(uint32_t node);
    // Making and reporting error! values (memory/raise-error.h). Used once
    // error::init has made the prototype (errors::values_ready).
    const errors::ErrorValues* error_values;
    // The evaluator's note on an error about to be thrown: where it arose,
    // and the trace event while tracing.
    void (*note_error)(const Cell* error);

    // ---- reached from datatypes/

    // The lexer: the first value of a text into *out (false when it holds
    // none); the type a whole spelling loads as (0: not one value); a
    // string's text loaded into a block.
    bool (*load_first_value)(const char* text, int32_t length, Cell* out);
    int32_t (*lex_type)(const char* text, int32_t length);
    void (*load_text)(const Cell* text, Cell* result);
    // The interpreter: a function's local count, with its spec node in
    // *spec_node; the evaluation of a make spec bound to the new object.
    int32_t (*count_locals)(const Cell* function, uint32_t* spec_node);
    void (*evaluate_spec)(const Cell* block);
    // The environment's settings: the money-digits option (null: none set);
    // the call frames an error report shows; the scripts being run, copied
    // to *out (false: none).
    const Cell* (*money_digits)();
    int32_t (*stack_trace_level)();
    bool (*source_files)(Cell* out);

    // ---- reached from memory/call.h

    // Runs a call built by call::Call (the interpreter's runner).
    void (*run_call)(call::Request& request, Cell* result);
};

inline Services current{};

// Empty when every service of s is set; else a report naming the first one
// unset, as start-up prints it.
std::string missing_report(const Services& s = current);
// Start-up's check: a service left unset ends the process with the report.
void require_complete();

}  // namespace vum::services
